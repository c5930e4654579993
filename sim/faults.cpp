// Shaping of replies by the fault options.
#include "faults.h"

#include <string>

#include "outbox.h"

namespace tolvan_sim {

bool FaultInjector::schedule(const Bytes& reply, Clock::time_point now, Outbox& outbox) {
    ++replies_;
    if (faults_.drop_every != 0 && replies_ % faults_.drop_every == 0) return false;

    const Clock::time_point due = now + faults_.delay;
    if (faults_.noise != 0) outbox.add(due, Bytes(faults_.noise, 0x00), "noise");
    if (faults_.split_gap.count() == 0 || reply.size() < 2) {
        outbox.add(due, reply, {});
        return true;
    }
    const auto half = static_cast<std::ptrdiff_t>(reply.size() / 2);
    const std::string gap = std::to_string(faults_.split_gap.count());
    outbox.add(due, Bytes(reply.begin(), reply.begin() + half), "part 1 of 2");
    outbox.add(due + faults_.split_gap, Bytes(reply.begin() + half, reply.end()), "part 2 of 2, " + gap + " ms later");
    return true;
}

}  // namespace tolvan_sim
