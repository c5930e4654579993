// The frame log: a version line and a session line, then one line per frame
// that crossed the line or was ignored, each with its time, and each starting
// with the session's name, so that logs appended to one file at once are told
// apart.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "frame.h"

namespace tolvan_sim {

// The first line of every log; a reader refuses a higher number.
inline constexpr std::string_view log_version_line = "# tolvan-sim log ";
inline constexpr unsigned log_version = 2;
// "# session NAME pid PID": the second line of a session (format 2 on).
inline constexpr std::string_view session_line = "# session ";
// Ends the event line "# N log lines dropped...": the log misses N lines.
inline constexpr std::string_view dropped_lines_note = " log lines dropped: the log's reader did not keep up";

// A session's name: 8 to 32 letters, digits, '-' or '_'; long enough never to
// be taken for a kind of line ("rx", "lost").
bool valid_session_name(std::string_view name);

class WireLog {
public:
    // Empty path: no log. "-": standard error. Otherwise the file, appended
    // to. Throws std::system_error when the file cannot be opened. Writes the
    // version line and the session line; `session` names the lines (empty:
    // a name is made up).
    WireLog(const std::string& path, const std::string& session);
    // Writes what it can of what waits, and the count of dropped lines.
    ~WireLog();
    WireLog(const WireLog&) = delete;
    WireLog& operator=(const WireLog&) = delete;

    // "<session> <kind> <hex bytes> <time>[ # note]". The time of a request ("rx") or
    // of ignored bytes ("bad") is "@" and the milliseconds since the log
    // began; that of anything sent or withheld is "+" and the milliseconds
    // since the last request.
    void frame(std::string_view kind, const Bytes& bytes, std::string_view note = {});
    // "<session> # <text>": events that are not frames.
    void comment(std::string_view text);

    // Writes what waits as far as the reader takes it now; never waits. Call
    // it often: a reader that caught up is told how many lines it missed.
    void flush();

private:
    void write_line(std::string line);
    void write_pending();
    // Writes what the sink takes now; how much it took; -1 when it is gone.
    long write_some(const char* data, std::size_t count);

    enum class Sink { none, plain, socket, polled };
    Sink sink_ = Sink::none;
    int fd_ = -1;
    bool owned_ = false;
    std::string name_;          // the session's name and a space: what starts each line
    std::string pending_;       // whole lines the reader has not taken yet
    unsigned long dropped_ = 0; // lines dropped since the last report
    Clock::time_point began_ = Clock::now();
    Clock::time_point last_request_ = began_;
};

// Writes "tolvan-sim: <message>" and a line end to standard error, waiting
// for room at most 100 ms in all: a reader that never reads (a pipe nobody
// empties, that the log filled) must not keep the simulator from ending.
void report(std::string_view message);

}  // namespace tolvan_sim
