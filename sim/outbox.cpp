// Timed writes to the line, which never wait for a client that does not read.
#include "outbox.h"

#include <algorithm>

#include "pty.h"
#include "wire_log.h"

namespace tolvan_sim {

namespace {

// What may wait to go out, beyond what the line itself holds, when a client
// sends requests faster than it reads the replies: over 5,000 status replies.
constexpr std::size_t queue_limit = 64 * 1024;

std::string joined(std::string_view note, std::string_view more) {
    std::string text(note);
    if (!text.empty() && !more.empty()) text += ", ";
    text += more;
    return text;
}

}  // namespace

void Outbox::add(Clock::time_point due, Bytes bytes, std::string note) {
    queued_ += bytes.size();
    auto later = std::upper_bound(entries_.begin(), entries_.end(), due,
                                  [](Clock::time_point time, const Entry& entry) { return time < entry.due; });
    entries_.insert(later, Entry{due, std::move(bytes), std::move(note)});
    while (queued_ > queue_limit) {
        // An entry partly on the line stays, so that no frame is cut short.
        auto oldest = std::find_if(entries_.begin(), entries_.end(), [](const Entry& entry) { return entry.written == 0; });
        if (oldest == entries_.end()) break;
        lose(*oldest, "output queue full");
        entries_.erase(oldest);
    }
}

void Outbox::send_due(Clock::time_point now, PseudoTerminal& line) {
    stalled_ = false;
    if (entries_.empty() || entries_.front().due > now) return;
    // Bytes written after the last client closed the line would wait there
    // for the next one.
    const bool nobody_there = line.hung_up();
    while (!entries_.empty() && entries_.front().due <= now) {
        Entry& entry = entries_.front();
        if (nobody_there) {
            lose(entry, "no client on the line");
        } else {
            const std::size_t written =
                line.write_some(entry.bytes.data() + entry.written, entry.bytes.size() - entry.written);
            entry.written += written;
            queued_ -= written;
            if (entry.written < entry.bytes.size()) {
                stalled_ = true;
                return;
            }
            log_.frame("tx", entry.bytes, entry.note);
        }
        entries_.pop_front();
    }
}

std::chrono::milliseconds Outbox::wait(Clock::time_point now, std::chrono::milliseconds longest) const {
    if (entries_.empty() || stalled_) return longest;
    if (entries_.front().due <= now) return std::chrono::milliseconds(0);
    // Round up, so that the next look finds the entry due.
    auto left = std::chrono::ceil<std::chrono::milliseconds>(entries_.front().due - now);
    return std::min(left, longest);
}

void Outbox::abandon(std::string_view reason) {
    for (const Entry& entry : entries_) lose(entry, reason);
    entries_.clear();
    stalled_ = false;
}

void Outbox::lose(const Entry& entry, std::string_view reason) {
    // Only what did not go out is lost; a frame cut short says how much did.
    const Bytes rest(entry.bytes.begin() + static_cast<std::ptrdiff_t>(entry.written), entry.bytes.end());
    std::string note = joined(entry.note, reason);
    if (entry.written != 0) {
        note = joined(note, "after its first " + std::to_string(entry.written) + " of " +
                                std::to_string(entry.bytes.size()) + " bytes");
    }
    queued_ -= rest.size();
    log_.frame("lost", rest, note);
}

}  // namespace tolvan_sim
