// The attenuator itself: its channels, their wavelength lists, selections and
// attenuation, and the answer it gives to each request.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "frame.h"

namespace tolvan_sim {

struct Versions {
    std::uint8_t module = 2;
    std::uint8_t hardware = 50;
    std::uint8_t software = 32;
};

struct Channel {
    std::vector<std::uint16_t> wavelengths;  // nanometres, in the order the instrument reports them
    std::uint8_t position = 0;               // 0-based index of the selected wavelength
    std::uint16_t attenuation = 0;           // 0.01 dB steps
    bool connected = true;
};

// What the instrument makes of one request: a reply, or a reason to stay silent.
struct Outcome {
    std::optional<Bytes> reply;
    std::string rejection;
};

class Instrument {
public:
    Instrument(std::vector<Channel> channels, Versions versions);

    Outcome handle(const Request& request);

    // Channel n is channels()[n - 1].
    const std::vector<Channel>& channels() const { return channels_; }

private:
    Channel* channel(std::uint8_t number);

    std::vector<Channel> channels_;  // channel n is channels_[n - 1]
    Versions versions_;
};

}  // namespace tolvan_sim
