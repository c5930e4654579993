// Fault injection: how each reply goes out, if at all, and when the
// instrument vanishes.
#pragma once

#include "frame.h"
#include "options.h"

namespace tolvan_sim {

class Outbox;

class FaultInjector {
public:
    explicit FaultInjector(const Faults& faults) : faults_(faults) {}

    // Counts one more reply; true when --drop-every withholds it.
    bool withhold();

    // Queues a piece of a reply, due at `at`, as the faults shape it: late,
    // split, and behind noise when it is the `first` piece of its reply. A
    // piece never goes out before the end of the piece queued before it.
    void send(const Bytes& piece, Clock::time_point at, bool first, Outbox& outbox);

    // Whether the instrument vanishes when a request arrives after `served`
    // requests have been answered.
    bool vanishes_after(unsigned served) const { return faults_.exit_after != 0 && served >= faults_.exit_after; }

private:
    Faults faults_;
    unsigned replies_ = 0;
    Clock::time_point last_due_{};  // when the last piece queued goes out, or its split half
};

}  // namespace tolvan_sim
