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

    // Queues `reply` for the line as the faults shape it: late, split, behind
    // noise. False when this reply is to be withheld.
    bool schedule(const Bytes& reply, Clock::time_point now, Outbox& outbox);

    // Whether the instrument vanishes when a request arrives after `served`
    // requests have been answered.
    bool vanishes_after(unsigned served) const { return faults_.exit_after != 0 && served >= faults_.exit_after; }

private:
    Faults faults_;
    unsigned replies_ = 0;
};

}  // namespace tolvan_sim
