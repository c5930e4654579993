// Timed writes to the line.
#include "outbox.h"

#include <algorithm>

#include "pty.h"
#include "wire_log.h"

namespace tolvan_sim {

void Outbox::add(Clock::time_point due, Bytes bytes, std::string note) {
    auto later = std::upper_bound(entries_.begin(), entries_.end(), due,
                                  [](Clock::time_point time, const Entry& entry) { return time < entry.due; });
    entries_.insert(later, Entry{due, std::move(bytes), std::move(note)});
}

void Outbox::send_due(Clock::time_point now, PseudoTerminal& line, WireLog& log) {
    while (!entries_.empty() && entries_.front().due <= now) {
        Entry entry = std::move(entries_.front());
        entries_.pop_front();
        if (!line.write(entry.bytes.data(), entry.bytes.size())) {
            entry.note += entry.note.empty() ? "not delivered" : ", not delivered";
        }
        log.frame("tx", entry.bytes, entry.note);
    }
}

std::chrono::milliseconds Outbox::wait(Clock::time_point now, std::chrono::milliseconds longest) const {
    if (entries_.empty()) return longest;
    if (entries_.front().due <= now) return std::chrono::milliseconds(0);
    // Round up, so that the next look finds the entry due.
    auto left = std::chrono::ceil<std::chrono::milliseconds>(entries_.front().due - now);
    return std::min(left, longest);
}

}  // namespace tolvan_sim
