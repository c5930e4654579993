// Bytes waiting for their moment to go out on the line.
#pragma once

#include <chrono>
#include <deque>
#include <string>

#include "frame.h"

namespace tolvan_sim {

class PseudoTerminal;
class WireLog;

class Outbox {
public:
    void add(Clock::time_point due, Bytes bytes, std::string note);

    // Writes every entry that is due, oldest first, and logs it.
    void send_due(Clock::time_point now, PseudoTerminal& line, WireLog& log);

    // How long until the next entry is due; `longest` when nothing waits.
    std::chrono::milliseconds wait(Clock::time_point now, std::chrono::milliseconds longest) const;

private:
    struct Entry {
        Clock::time_point due;
        Bytes bytes;
        std::string note;
    };
    std::deque<Entry> entries_;  // ordered by due time; equal times keep their order
};

}  // namespace tolvan_sim
