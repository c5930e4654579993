// Frames of the instrument's serial protocol: the checksum, building a reply,
// and cutting request frames out of the byte stream that arrives.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tolvan_sim {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

inline constexpr std::uint8_t start_byte = 0x7B;
inline constexpr std::uint8_t end_byte = 0x7D;

// The low byte of minus the sum of `count` bytes from `data`.
std::uint8_t checksum(const std::uint8_t* data, std::size_t count);

// 7B, channel, length, the two command bytes, payload, checksum, 7D.
Bytes encode(std::uint8_t channel, std::uint8_t command_hi, std::uint8_t command_lo, const Bytes& payload);

// A request that is framed correctly and carries the right checksum.
struct Request {
    Bytes raw;
    std::uint8_t channel = 0;
    std::uint8_t command_hi = 0;
    std::uint8_t command_lo = 0;
    Bytes payload;
};

// Bytes that were thrown away, and why.
struct Rejected {
    Bytes raw;
    std::string reason;
};

// Collects the bytes read from the line and hands out whole frames. A frame
// that stops arriving half way is dropped after a short silence, so that it
// cannot swallow the start of the next request.
class FrameReader {
public:
    explicit FrameReader(std::chrono::milliseconds silence_limit) : silence_limit_(silence_limit) {}

    // Adds bytes read from the line. Take every request off (next() until it
    // gives false) before feeding more: then the buffer never holds more than
    // the bytes fed last and one unfinished frame.
    void feed(const std::uint8_t* data, std::size_t count, Clock::time_point now);

    // Takes the next complete request off the buffer; rejected bytes met on
    // the way are appended to `rejected`. False when no complete request is
    // there.
    bool next(Request& request, std::vector<Rejected>& rejected, Clock::time_point now);

private:
    std::span<const std::uint8_t> pending() const { return std::span(buffer_).subspan(taken_); }
    void discard(std::size_t count, std::string_view reason, std::vector<Rejected>& rejected);
    void resynchronise(std::string_view reason, std::vector<Rejected>& rejected);
    void skip_bad_lengths(std::vector<Rejected>& rejected);

    Bytes buffer_;
    std::size_t taken_ = 0;  // bytes at the front already handed out or rejected
    Clock::time_point last_arrival_{};
    std::chrono::milliseconds silence_limit_;
};

std::string to_hex(const Bytes& bytes);

}  // namespace tolvan_sim
