// The pass-through between the client's requests and a real instrument.
#include "relay.h"

#include <array>

namespace tolvan_sim {

namespace {

// Requests waiting for a device that does not take them.
constexpr std::size_t queue_limit = 64 * 1024;
// The device's input is read a chunk at a time, and at most this much in one
// pass of the serving loop.
constexpr std::size_t chunk_size = 4096;
constexpr std::size_t input_per_pass = 64 * 1024;

}  // namespace

bool Relay::pass_on(const Bytes& bytes) {
    if (to_device_.size() + bytes.size() > queue_limit) {
        log_.frame("lost", bytes, "the device does not take what it is sent");
    } else {
        to_device_.insert(to_device_.end(), bytes.begin(), bytes.end());
    }
    if (to_device_.empty()) return true;
    const long put = device_.write_some(to_device_.data(), to_device_.size(), gone_reason_);
    if (put < 0) return false;
    to_device_.erase(to_device_.begin(), to_device_.begin() + put);
    return true;
}

void Relay::request(bool withhold) {
    withhold_reply_ = withhold;
    first_piece_ = true;
}

bool Relay::take_replies(FaultInjector& faults, Outbox& outbox) {
    std::array<std::uint8_t, chunk_size> chunk;
    std::size_t count = 0;
    for (std::size_t taken = 0; taken < input_per_pass; taken += count) {
        const auto got = device_.read(chunk.data(), chunk.size(), count, gone_reason_);
        if (got == SerialDevice::Read::gone) return false;
        if (got == SerialDevice::Read::nothing) break;
        const Bytes piece(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(count));
        if (withhold_reply_) {
            log_.frame("drop", piece);
        } else {
            faults.send(piece, Clock::now(), first_piece_, outbox);
            first_piece_ = false;
        }
    }
    return true;
}

}  // namespace tolvan_sim
