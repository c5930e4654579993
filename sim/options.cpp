// Command-line parsing and the help text.
#include "options.h"

#include <getopt.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <string_view>

namespace tolvan_sim {

namespace {

constexpr const char* help_text = R"(Usage: tolvan-sim [OPTION]...
Simulated multi-channel optical attenuator on a pseudo-terminal.

Prints the path of the serial end (such as /dev/pts/3) as the first line on
standard output, then answers request frames on it until SIGTERM or SIGINT,
and exits 0. The simulator does not keep the serial end open itself: lsof
shows nobody on it until a client opens it, and clients may open and close it
any number of times. Requests with a bad frame, a bad checksum, an unknown
channel or command, or a payload the instrument cannot accept get no reply.

Instrument:
  --channels N            number of channels, 1 to 255 (default 4)
  --wavelengths [CH=]LIST  wavelengths in nm, comma-separated, 0 to 255 of them
                          (an empty LIST is allowed), for channel CH, or for
                          every channel without CH=; repeatable, later ones
                          win (default 1310,1490,1550 on every channel)
  --versions M,H,S        module, hardware and software version, each 0 to
                          255 (default 2,50,32)

Faults:
  --delay MS              wait MS milliseconds before each reply (default 5);
                          more than 200 makes replies arrive after the
                          driver's pause
  --split MS              send each reply in two parts, the second half MS
                          milliseconds after the first (default 0: whole)
  --drop-every N          send no reply to every Nth request that would get
                          one (default 0: never)
  --noise N               send N noise bytes (0x00) ahead of each reply
                          (default 0)
  --exit-after N          answer N requests, then exit as soon as the next
                          request arrives, leaving it unanswered, as if the
                          instrument were unplugged (default 0: never)

Other:
  --log FILE              append one line per frame to FILE ("-": standard
                          error): "rx" a request received, "tx" bytes sent,
                          "bad" bytes ignored, "drop" a reply withheld, each
                          followed by the bytes in hex and, after "#", a note
  --help                  show this help and exit

A request frame is 7B, channel, length (frame size - 2), two command bytes,
payload, checksum, 7D, where the checksum is minus the sum of all bytes before
it, modulo 256. Replies use the same layout. Commands: 00 03 version,
07 2E wavelength list, 14 36 status, 00 05 close full screen, 14 3A select
wavelength (position), 14 3C set attenuation (0.01 dB steps, low byte first),
14 34 clear (00 00) or disconnect (FF FF). A disconnected channel reports
attenuation FF FF until it is set or cleared.
)";

[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "tolvan-sim: %s\nTry 'tolvan-sim --help' for more information.\n", message.c_str());
    std::exit(2);
}

unsigned number(std::string_view text, unsigned low, unsigned high, const char* what) {
    unsigned value = 0;
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end || value < low || value > high) {
        fail(std::string("invalid ") + what + " '" + std::string(text) + "' (expected " + std::to_string(low) +
             " to " + std::to_string(high) + ")");
    }
    return value;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    if (text.empty()) return parts;
    std::size_t begin = 0;
    while (true) {
        const std::size_t comma = text.find(separator, begin);
        parts.push_back(text.substr(begin, comma - begin));
        if (comma == std::string_view::npos) return parts;
        begin = comma + 1;
    }
}

std::vector<std::uint16_t> wavelength_list(std::string_view text) {
    std::vector<std::uint16_t> list;
    for (std::string_view item : split(text, ',')) {
        list.push_back(static_cast<std::uint16_t>(number(item, 0, 0xFFFF, "wavelength")));
    }
    if (list.size() > std::numeric_limits<std::uint8_t>::max()) fail("more than 255 wavelengths");
    return list;
}

Versions versions(std::string_view text) {
    const auto parts = split(text, ',');
    if (parts.size() != 3) fail("--versions takes three numbers: module,hardware,software");
    return {static_cast<std::uint8_t>(number(parts[0], 0, 255, "version")),
            static_cast<std::uint8_t>(number(parts[1], 0, 255, "version")),
            static_cast<std::uint8_t>(number(parts[2], 0, 255, "version"))};
}

std::chrono::milliseconds milliseconds(std::string_view text, const char* what) {
    return std::chrono::milliseconds(number(text, 0, 3'600'000, what));
}

enum Key { channels_key = 256, wavelengths_key, versions_key, delay_key, split_key, drop_key, noise_key, exit_key,
           log_key, help_key };

}  // namespace

Options parse_options(int argc, char** argv) {
    static const option long_options[] = {
        {"channels", required_argument, nullptr, channels_key},
        {"wavelengths", required_argument, nullptr, wavelengths_key},
        {"versions", required_argument, nullptr, versions_key},
        {"delay", required_argument, nullptr, delay_key},
        {"split", required_argument, nullptr, split_key},
        {"drop-every", required_argument, nullptr, drop_key},
        {"noise", required_argument, nullptr, noise_key},
        {"exit-after", required_argument, nullptr, exit_key},
        {"log", required_argument, nullptr, log_key},
        {"help", no_argument, nullptr, help_key},
        {nullptr, 0, nullptr, 0},
    };

    Options options;
    unsigned channel_count = 4;
    std::vector<std::uint16_t> everywhere{1310, 1490, 1550};
    std::map<unsigned, std::vector<std::uint16_t>> per_channel;

    opterr = 0;
    int key;
    while ((key = getopt_long(argc, argv, ":", long_options, nullptr)) != -1) {
        const std::string_view value = optarg ? optarg : "";
        switch (key) {
        case channels_key: channel_count = number(value, 1, 255, "channel count"); break;
        case wavelengths_key: {
            const std::size_t equals = value.find('=');
            if (equals == std::string_view::npos) {
                everywhere = wavelength_list(value);
                per_channel.clear();
            } else {
                per_channel[number(value.substr(0, equals), 1, 255, "channel")] =
                    wavelength_list(value.substr(equals + 1));
            }
            break;
        }
        case versions_key: options.versions = versions(value); break;
        case delay_key: options.faults.delay = milliseconds(value, "delay"); break;
        case split_key: options.faults.split_gap = milliseconds(value, "split gap"); break;
        case drop_key: options.faults.drop_every = number(value, 0, 1'000'000, "drop interval"); break;
        case noise_key: options.faults.noise = number(value, 0, 1024, "noise byte count"); break;
        case exit_key: options.faults.exit_after = number(value, 0, 1'000'000'000, "request count"); break;
        case log_key:
            if (value.empty()) fail("--log needs a file name");
            options.log_path = value;
            break;
        case help_key: std::fputs(help_text, stdout); std::exit(0);
        case ':': fail(std::string("option '") + argv[optind - 1] + "' needs a value");
        default: fail(std::string("unknown option '") + argv[optind - 1] + "'");
        }
    }
    if (optind < argc) fail(std::string("unexpected argument '") + argv[optind] + "'");

    for (const auto& entry : per_channel) {
        if (entry.first > channel_count) {
            fail("--wavelengths names channel " + std::to_string(entry.first) + " but there are only " +
                 std::to_string(channel_count) + " channels");
        }
    }
    options.channels.resize(channel_count);
    for (unsigned channel = 1; channel <= channel_count; ++channel) {
        auto found = per_channel.find(channel);
        options.channels[channel - 1].wavelengths = found != per_channel.end() ? found->second : everywhere;
    }
    return options;
}

}  // namespace tolvan_sim
