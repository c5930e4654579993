// Frame checksum, reply encoding and request framing.
#include "frame.h"

#include <algorithm>
#include <cstdio>

namespace tolvan_sim {

namespace {

// Start byte, channel, length byte, two command bytes, checksum, end byte.
constexpr std::size_t frame_overhead = 7;
// The length byte counts everything between the start and the end byte.
constexpr std::size_t smallest_length = frame_overhead - 2;
// No request carries more than two payload bytes; a larger length byte is
// noise, and waiting for that many bytes would only delay the next request.
constexpr std::size_t largest_length = smallest_length + 8;

}  // namespace

std::uint8_t checksum(const std::uint8_t* data, std::size_t count) {
    unsigned sum = 0;
    for (std::size_t i = 0; i < count; ++i) sum += data[i];
    return static_cast<std::uint8_t>(-sum & 0xFFu);
}

Bytes encode(std::uint8_t channel, std::uint8_t command_hi, std::uint8_t command_lo, const Bytes& payload) {
    Bytes frame;
    frame.reserve(frame_overhead + payload.size());
    frame.push_back(start_byte);
    frame.push_back(channel);
    frame.push_back(static_cast<std::uint8_t>(smallest_length + payload.size()));
    frame.push_back(command_hi);
    frame.push_back(command_lo);
    frame.insert(frame.end(), payload.begin(), payload.end());
    frame.push_back(checksum(frame.data(), frame.size()));
    frame.push_back(end_byte);
    return frame;
}

void FrameReader::feed(const std::uint8_t* data, std::size_t count, Clock::time_point now) {
    if (count == 0) return;
    buffer_.insert(buffer_.end(), data, data + count);
    last_arrival_ = now;
}

void FrameReader::discard(std::size_t count, std::string reason, std::vector<Rejected>& rejected) {
    count = std::min(count, buffer_.size());
    if (count == 0) return;
    rejected.push_back({Bytes(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(count)), std::move(reason)});
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(count));
}

void FrameReader::resynchronise(std::string reason, std::vector<Rejected>& rejected) {
    // Drop the start byte that misled us and everything up to the next one.
    auto next_start = std::find(buffer_.begin() + 1, buffer_.end(), start_byte);
    discard(static_cast<std::size_t>(next_start - buffer_.begin()), std::move(reason), rejected);
}

bool FrameReader::next(Request& request, std::vector<Rejected>& rejected, Clock::time_point now) {
    const bool silent = now - last_arrival_ >= silence_limit_;
    while (!buffer_.empty()) {
        if (buffer_.front() != start_byte) {
            auto start = std::find(buffer_.begin(), buffer_.end(), start_byte);
            discard(static_cast<std::size_t>(start - buffer_.begin()), "no start byte", rejected);
            continue;
        }
        if (buffer_.size() < 3) {
            if (silent) discard(buffer_.size(), "incomplete frame", rejected);
            return false;
        }
        const std::size_t length = buffer_[2];
        if (length < smallest_length || length > largest_length) {
            resynchronise("bad length byte", rejected);
            continue;
        }
        const std::size_t size = length + 2;
        if (buffer_.size() < size) {
            if (silent) discard(buffer_.size(), "incomplete frame", rejected);
            return false;
        }
        if (buffer_[size - 1] != end_byte) {
            resynchronise("no end byte", rejected);
            continue;
        }
        if (checksum(buffer_.data(), size - 2) != buffer_[size - 2]) {
            discard(size, "bad checksum", rejected);
            continue;
        }
        request.raw.assign(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(size));
        request.channel = buffer_[1];
        request.command_hi = buffer_[3];
        request.command_lo = buffer_[4];
        request.payload.assign(buffer_.begin() + 5, buffer_.begin() + static_cast<std::ptrdiff_t>(size - 2));
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(size));
        return true;
    }
    return false;
}

std::string to_hex(const Bytes& bytes) {
    std::string text;
    text.reserve(bytes.size() * 3);
    char digits[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(digits, sizeof digits, i ? " %02X" : "%02X", bytes[i]);
        text += digits;
    }
    return text;
}

}  // namespace tolvan_sim
