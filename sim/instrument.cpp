// Request handling of the attenuator: one branch per command, each checking
// the request's length and payload before touching the channel's state.
#include "instrument.h"

#include <utility>

namespace tolvan_sim {

namespace {

constexpr std::uint8_t work_mode = 0;
// A disconnected channel blocks the light: it reports the largest attenuation.
constexpr std::uint16_t blocked = 0xFFFF;

// Command bytes.
constexpr std::uint16_t read_version = 0x0003;
constexpr std::uint16_t close_full_screen = 0x0005;
constexpr std::uint16_t read_wavelengths = 0x072E;
constexpr std::uint16_t read_status = 0x1436;
constexpr std::uint16_t select_wavelength = 0x143A;
constexpr std::uint16_t set_attenuation = 0x143C;
constexpr std::uint16_t clear_or_disconnect = 0x1434;

constexpr std::uint16_t clear_payload = 0x0000;
constexpr std::uint16_t disconnect_payload = 0xFFFF;

std::uint8_t low(std::uint16_t value) { return static_cast<std::uint8_t>(value & 0xFF); }
std::uint8_t high(std::uint16_t value) { return static_cast<std::uint8_t>(value >> 8); }
std::uint16_t u16(const Bytes& payload) { return static_cast<std::uint16_t>(payload[0] | (payload[1] << 8)); }

Outcome reject(std::string reason) { return {std::nullopt, std::move(reason)}; }

}  // namespace

Instrument::Instrument(std::vector<Channel> channels, Versions versions)
    : channels_(std::move(channels)), versions_(versions) {}

Channel* Instrument::channel(std::uint8_t number) {
    if (number == 0 || number > channels_.size()) return nullptr;
    return &channels_[number - 1];
}

Outcome Instrument::handle(const Request& request) {
    Channel* target = channel(request.channel);
    if (!target) return reject("no such channel");
    const std::uint16_t command = static_cast<std::uint16_t>(request.command_hi << 8 | request.command_lo);
    const Bytes& payload = request.payload;
    auto acknowledge = [&] { return Outcome{encode(request.channel, request.command_hi, request.command_lo, {}), {}}; };
    auto reply = [&](Bytes body) {
        return Outcome{encode(request.channel, request.command_hi, request.command_lo, body), {}};
    };

    switch (command) {
    case read_version:
        if (!payload.empty()) return reject("unexpected payload");
        return reply({versions_.module, versions_.hardware, versions_.software});

    case close_full_screen:
        // Only the instrument's own display changes: nothing a request reads.
        if (!payload.empty()) return reject("unexpected payload");
        return acknowledge();

    case read_wavelengths: {
        if (!payload.empty()) return reject("unexpected payload");
        Bytes body{static_cast<std::uint8_t>(target->wavelengths.size())};
        for (std::uint16_t wavelength : target->wavelengths) {
            body.push_back(low(wavelength));
            body.push_back(high(wavelength));
        }
        return reply(std::move(body));
    }

    case read_status: {
        if (!payload.empty()) return reject("unexpected payload");
        const std::uint16_t attenuation = target->connected ? target->attenuation : blocked;
        return reply({work_mode, static_cast<std::uint8_t>(target->connected), target->position, low(attenuation),
                      high(attenuation)});
    }

    case select_wavelength:
        if (payload.size() != 1) return reject("payload must be one byte");
        if (payload[0] >= target->wavelengths.size()) return reject("no wavelength at that position");
        target->position = payload[0];
        return acknowledge();

    case set_attenuation:
        if (payload.size() != 2) return reject("payload must be two bytes");
        target->attenuation = u16(payload);
        target->connected = true;
        return acknowledge();

    case clear_or_disconnect:
        if (payload.size() != 2) return reject("payload must be two bytes");
        if (u16(payload) == clear_payload) {
            target->attenuation = 0;
            target->connected = true;
        } else if (u16(payload) == disconnect_payload) {
            target->connected = false;
        } else {
            return reject("neither clear nor disconnect");
        }
        return acknowledge();

    default:
        return reject("unknown command");
    }
}

}  // namespace tolvan_sim
