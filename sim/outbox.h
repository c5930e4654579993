// Bytes waiting for their moment to go out on the line.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <string>
#include <string_view>

#include "frame.h"

namespace tolvan_sim {

class PseudoTerminal;
class WireLog;

class Outbox {
public:
    explicit Outbox(WireLog& log) : log_(log) {}

    // Queues `bytes` to go out at `due`. A client that stops reading cannot
    // make the queue grow without end: past a limit the oldest entries that
    // have not started to go out are dropped, and logged as lost.
    void add(Clock::time_point due, Bytes bytes, std::string note);

    // Writes the entries that are due, oldest first, as far as the line takes
    // them now; never waits. Logs each entry as it completes. With no client on
    // the line nobody would receive them: they are logged as lost, not written.
    void send_due(Clock::time_point now, PseudoTerminal& line);

    // Whether a due entry waits for the client to read (the line is full).
    bool stalled() const { return stalled_; }

    // Bytes queued and not yet written.
    std::size_t waiting() const { return queued_; }

    // How long until the next entry is due; `longest` when nothing waits or
    // when the line is full.
    std::chrono::milliseconds wait(Clock::time_point now, std::chrono::milliseconds longest) const;

    // Logs every entry still waiting as lost, for `reason`, and forgets it.
    void abandon(std::string_view reason);

private:
    struct Entry {
        Clock::time_point due;
        Bytes bytes;
        std::string note;
        std::size_t written = 0;  // bytes already on the line
    };
    void lose(const Entry& entry, std::string_view reason);

    WireLog& log_;
    std::deque<Entry> entries_;  // ordered by due time; equal times keep their order
    std::size_t queued_ = 0;     // bytes in entries_ not yet written
    bool stalled_ = false;
};

}  // namespace tolvan_sim
