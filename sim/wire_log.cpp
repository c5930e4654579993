// Frame log lines. The log never holds the simulator up: a reader that stalls
// (a pipe nobody reads, a FIFO whose reader sleeps) makes lines wait in a
// bounded buffer, and beyond it lines are dropped and counted, never written
// with a wait.
#include "wire_log.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <random>
#include <system_error>

namespace tolvan_sim {

namespace {

// Lines waiting for a slow reader, beyond what the pipe itself holds.
constexpr std::size_t pending_limit = 32 * 1024;

#ifndef MSG_NOSIGNAL
constexpr int MSG_NOSIGNAL = 0;  // SIGPIPE is ignored anyway
#endif

std::string milliseconds(Clock::duration span) {
    const auto micro = std::chrono::duration_cast<std::chrono::microseconds>(span).count();
    char text[32];
    std::snprintf(text, sizeof text, "%lld.%03lld", static_cast<long long>(micro / 1000),
                  static_cast<long long>(micro % 1000));
    return text;
}

// Eight hex digits, different for each run (two runs appending to one file at
// once share one with a chance of one in four billion).
std::string made_up_name() {
    std::uint32_t value = 0;
    try {
        value = std::random_device()();
    } catch (const std::exception&) {
        // No source of randomness: the process and the moment.
        value = static_cast<std::uint32_t>(::getpid()) * 2654435761u ^
                static_cast<std::uint32_t>(Clock::now().time_since_epoch().count());
    }
    char text[9];
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(value));
    return text;
}

// Standard error may be shared with the parent (a terminal, a pipe): its
// flags are not ours to change. On Linux the pipe or terminal is opened
// again, a description of our own that may be non-blocking.
int reopen_nonblocking(int fd) {
#ifdef __linux__
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    const int own = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat original {}, reopened {};
    if (own >= 0 && fstat(fd, &original) == 0 && fstat(own, &reopened) == 0 && original.st_dev == reopened.st_dev &&
        original.st_ino == reopened.st_ino) {
        return own;
    }
    if (own >= 0) ::close(own);
#else
    (void)fd;
#endif
    return -1;
}

}  // namespace

bool valid_session_name(std::string_view name) {
    if (name.size() < 8 || name.size() > 32) return false;
    for (const char c : name) {
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!letter && !(c >= '0' && c <= '9') && c != '-' && c != '_') return false;
    }
    return true;
}

WireLog::WireLog(const std::string& path, const std::string& session) {
    if (path.empty()) return;
    struct stat info {};
    if (path == "-") {
        fd_ = STDERR_FILENO;
        if (fstat(fd_, &info) != 0 || S_ISREG(info.st_mode)) {
            sink_ = Sink::plain;
        } else if (S_ISSOCK(info.st_mode)) {
            sink_ = Sink::socket;
        } else if (const int own = reopen_nonblocking(fd_); own >= 0) {
            fd_ = own;
            owned_ = true;
            sink_ = Sink::plain;
        } else {
            sink_ = Sink::polled;
        }
    } else {
        // A FIFO waits here for its reader, as any writer's open does.
        fd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666);
        if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "cannot open log " + path);
        owned_ = true;
        sink_ = Sink::plain;
        // A FIFO or a terminal must not make a write wait.
        if (fstat(fd_, &info) != 0) throw std::system_error(errno, std::generic_category(), "cannot use log " + path);
        if (!S_ISREG(info.st_mode)) {
            const int flags = fcntl(fd_, F_GETFL);
            if (flags < 0 || fcntl(fd_, F_SETFL, flags | O_NONBLOCK) != 0) {
                throw std::system_error(errno, std::generic_category(), "cannot make log " + path + " non-blocking");
            }
        }
    }
    // Both header lines in one write: a session's lines follow its own.
    const std::string name = session.empty() ? made_up_name() : session;
    name_ = name + " ";
    write_line(std::string(log_version_line) + std::to_string(log_version) + "\n" + std::string(session_line) + name +
               " pid " + std::to_string(::getpid()));
}

WireLog::~WireLog() {
    if (sink_ == Sink::none) return;
    write_pending();
    if (dropped_ != 0) {
        // Past the limit: the last line, if the reader takes it.
        pending_ += name_ + "# " + std::to_string(dropped_) + std::string(dropped_lines_note) + "\n";
        write_pending();
    }
    if (owned_) ::close(fd_);
}

void WireLog::frame(std::string_view kind, const Bytes& bytes, std::string_view note) {
    if (sink_ == Sink::none) return;
    const Clock::time_point now = Clock::now();
    std::string line = name_;
    line += kind;
    line += ' ';
    line += to_hex(bytes);
    if (kind == "rx" || kind == "bad") {
        line += " @" + milliseconds(now - began_);
        if (kind == "rx") last_request_ = now;
    } else {
        line += " +" + milliseconds(now - last_request_);
    }
    if (!note.empty()) {
        line += " # ";
        line += note;
    }
    write_line(std::move(line));
}

void WireLog::comment(std::string_view text) {
    if (sink_ == Sink::none) return;
    write_line(name_ + "# " + std::string(text));
}

void WireLog::flush() {
    if (sink_ == Sink::none) return;
    write_pending();
    if (dropped_ != 0 && pending_.empty()) {
        const unsigned long dropped = dropped_;
        dropped_ = 0;
        write_line(name_ + "# " + std::to_string(dropped) + std::string(dropped_lines_note));
    }
}

void WireLog::write_line(std::string line) {
    // Whole lines go to the file in one write each (a file opened for
    // appending takes each write whole), so that the lines of two simulators
    // appending at once never mix within a line.
    line += '\n';
    // A line longer than the limit still goes when nothing waits, so that a
    // long run of ignored bytes is logged whole.
    if (!pending_.empty() && pending_.size() + line.size() > pending_limit) {
        ++dropped_;
        return;
    }
    pending_ += line;
    write_pending();
}

void WireLog::write_pending() {
    std::size_t done = 0;
    while (done < pending_.size()) {
        const long put = write_some(pending_.data() + done, pending_.size() - done);
        if (put < 0) {
            // The reader has gone for good (a closed pipe, a full disk):
            // nothing written from now on would reach anyone.
            dropped_ += static_cast<unsigned long>(std::count(pending_.begin() + done, pending_.end(), '\n'));
            done = pending_.size();
            break;
        }
        if (put == 0) break;
        done += static_cast<std::size_t>(put);
    }
    pending_.erase(0, done);
}

long WireLog::write_some(const char* data, std::size_t count) {
    ssize_t put = 0;
    switch (sink_) {
    case Sink::none: return -1;
    case Sink::plain: put = ::write(fd_, data, count); break;
    case Sink::socket: put = ::send(fd_, data, count, MSG_DONTWAIT | MSG_NOSIGNAL); break;
    case Sink::polled: {
        // A blocking description shared with others: write only what a pipe
        // that reports room takes without waiting.
        pollfd out{fd_, POLLOUT, 0};
        if (poll(&out, 1, 0) <= 0 || !(out.revents & POLLOUT)) return 0;
        put = ::write(fd_, data, std::min<std::size_t>(count, PIPE_BUF));
        break;
    }
    }
    if (put >= 0) return put;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
    return -1;
}

void report(std::string_view message) {
    const std::string line = "tolvan-sim: " + std::string(message) + "\n";
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(100);
    std::size_t done = 0;
    while (done < line.size()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd out{STDERR_FILENO, POLLOUT, 0};
        const int ready = poll(&out, 1, static_cast<int>(std::max<decltype(left)>(left, 0)));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0 || !(out.revents & POLLOUT)) return;
        // A pipe that reports room takes this much without waiting.
        const std::size_t count = std::min<std::size_t>(line.size() - done, PIPE_BUF);
        const ssize_t put = ::write(STDERR_FILENO, line.data() + done, count);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return;
        done += static_cast<std::size_t>(put);
    }
}

}  // namespace tolvan_sim
