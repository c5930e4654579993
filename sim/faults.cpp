// Shaping of replies by the fault options.
#include "faults.h"

#include <algorithm>
#include <string>

#include "outbox.h"

namespace tolvan_sim {

bool FaultInjector::withhold() {
    ++replies_;
    return faults_.drop_every != 0 && replies_ % faults_.drop_every == 0;
}

void FaultInjector::send(const Bytes& piece, Clock::time_point at, bool first, Outbox& outbox) {
    // Pieces closer than the split gap would otherwise interleave, those of one
    // reply and those of a reply and the next: an instrument sends one at a time.
    const Clock::time_point due = std::max(at + faults_.delay, last_due_);
    if (first && faults_.noise != 0) outbox.add(due, Bytes(faults_.noise, 0x00), "noise");
    last_due_ = due;
    if (faults_.split_gap.count() == 0 || piece.size() < 2) {
        outbox.add(due, piece, {});
        return;
    }
    last_due_ = due + faults_.split_gap;
    const auto half = static_cast<std::ptrdiff_t>(piece.size() / 2);
    const std::string gap = std::to_string(faults_.split_gap.count());
    outbox.add(due, Bytes(piece.begin(), piece.begin() + half), "part 1 of 2");
    outbox.add(due + faults_.split_gap, Bytes(piece.begin() + half, piece.end()), "part 2 of 2, " + gap + " ms later");
}

}  // namespace tolvan_sim
