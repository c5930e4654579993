// Frame checksum, reply encoding and request framing.
#include "frame.h"

#include <algorithm>

namespace tolvan_sim {

namespace {

// Start byte, channel, length byte, two command bytes, checksum, end byte.
constexpr std::size_t frame_overhead = 7;
// The length byte counts everything between the start and the end byte.
constexpr std::size_t smallest_length = frame_overhead - 2;
// No request carries more than two payload bytes; a larger length byte is
// noise, and waiting for that many bytes would swallow the requests behind it.
constexpr std::size_t largest_length = smallest_length + 2;

bool plausible_length(std::uint8_t length) { return length >= smallest_length && length <= largest_length; }

// The position of the first start byte after `position`; the size when there is none.
std::size_t start_after(std::span<const std::uint8_t> bytes, std::size_t position) {
    const auto found = std::find(bytes.begin() + static_cast<std::ptrdiff_t>(position) + 1, bytes.end(), start_byte);
    return static_cast<std::size_t>(found - bytes.begin());
}

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
    // What was taken goes in one move, not frame by frame.
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(taken_));
    taken_ = 0;
    buffer_.insert(buffer_.end(), data, data + count);
    last_arrival_ = now;
}

void FrameReader::discard(std::size_t count, std::string_view reason, std::vector<Rejected>& rejected) {
    const auto bytes = pending().first(std::min(count, pending().size()));
    if (bytes.empty()) return;
    rejected.push_back({Bytes(bytes.begin(), bytes.end()), std::string(reason)});
    taken_ += bytes.size();
}

void FrameReader::resynchronise(std::string_view reason, std::vector<Rejected>& rejected) {
    // Drop the start byte that misled us and everything up to the next one.
    discard(start_after(pending(), 0), reason, rejected);
}

void FrameReader::skip_bad_lengths(std::vector<Rejected>& rejected) {
    // As resynchronise(), for a whole run of start bytes whose length byte is
    // impossible: a flood of start bytes (each the length byte of the one two
    // before) goes in one step, not byte by byte.
    const auto bytes = pending();
    std::size_t run = 0;
    while (bytes.size() - run >= 3 && bytes[run] == start_byte && !plausible_length(bytes[run + 2])) {
        run = start_after(bytes, run);
    }
    discard(run, "bad length byte", rejected);
}

bool FrameReader::next(Request& request, std::vector<Rejected>& rejected, Clock::time_point now) {
    const bool silent = now - last_arrival_ >= silence_limit_;
    while (!pending().empty()) {
        const auto bytes = pending();
        if (bytes[0] != start_byte) {
            const auto start = std::find(bytes.begin(), bytes.end(), start_byte);
            discard(static_cast<std::size_t>(start - bytes.begin()), "no start byte", rejected);
            continue;
        }
        if (bytes.size() < 3) {
            if (silent) discard(bytes.size(), "incomplete frame", rejected);
            return false;
        }
        if (!plausible_length(bytes[2])) {
            skip_bad_lengths(rejected);
            continue;
        }
        const std::size_t length = bytes[2];
        const std::size_t size = length + 2;
        if (bytes.size() < size) {
            if (silent) discard(bytes.size(), "incomplete frame", rejected);
            return false;
        }
        if (bytes[size - 1] != end_byte) {
            resynchronise("no end byte", rejected);
            continue;
        }
        if (checksum(bytes.data(), size - 2) != bytes[size - 2]) {
            discard(size, "bad checksum", rejected);
            continue;
        }
        const auto frame = bytes.first(size);
        request.raw.assign(frame.begin(), frame.end());
        request.channel = frame[1];
        request.command_hi = frame[3];
        request.command_lo = frame[4];
        request.payload.assign(frame.begin() + 5, frame.end() - 2);
        taken_ += size;
        return true;
    }
    return false;
}

std::string to_hex(const Bytes& bytes) {
    static constexpr char digits[] = "0123456789ABCDEF";
    if (bytes.empty()) return {};
    std::string text(bytes.size() * 3 - 1, ' ');
    char* out = text.data();
    for (std::uint8_t byte : bytes) {
        out[0] = digits[byte >> 4];
        out[1] = digits[byte & 0x0F];
        out += 3;
    }
    return text;
}

}  // namespace tolvan_sim
