// Command-line parsing and the help text.
#include "options.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <string_view>

#include "wire_log.h"

namespace tolvan_sim {

namespace {

constexpr const char* help_text = R"(Usage: tolvan-sim [OPTION]...
Simulated multi-channel optical attenuator on a pseudo-terminal.

Prints the path of the serial end (such as /dev/pts/3) as the first line on
standard output, then answers request frames on it until SIGTERM, SIGINT or
SIGHUP, and exits 0. The simulator does not keep the serial end open itself:
lsof shows nobody on it until a client opens it, and clients may open and
close it any number of times. Requests with a bad frame, a bad checksum, an
unknown channel or command, or a payload the instrument cannot accept get no
reply.

Instrument:
  --channels N            number of channels, 1 to 255 (default 4)
  --wavelengths [CH=]LIST  wavelengths in nm, comma-separated, 0 to 124 of them
                          (an empty LIST is allowed; a list reply cannot
                          describe more than 124), for channel CH, or for
                          every channel without CH=; repeatable, later ones
                          win (default 1310,1490,1550 on every channel)
  --versions M,H,S        module, hardware and software version, each 0 to
                          255 (default 2,50,32)

Faults:
  --delay MS              wait MS milliseconds before each reply (default 5,
                          0 with --relay or --replay); more than 200 makes
                          replies arrive after the driver's pause
  --split MS              send each reply in two parts, the second half MS
                          milliseconds after the first (default 0: whole)
  --drop-every N          send no reply to every Nth request that would get
                          one (default 0: never)
  --noise N               send N noise bytes (0x00) ahead of each reply
                          (default 0)
  --exit-after N          answer N requests (refused ones do not count), then
                          exit as soon as the next request arrives, leaving
                          it unanswered, as if the instrument were unplugged
                          (default 0: never)

Real instrument:
  --relay DEVICE          pass requests through to a real instrument on the
                          serial device DEVICE (115200 baud, 8N1) and its
                          bytes back to the client, adding no delay of its
                          own (--delay 0 unless given); the fault options
                          apply on top; with --log, a recording for --replay.
                          If the device vanishes, so does the simulator, as
                          an unplugged instrument would (exit status 1)
  --replay FILE           answer from a log FILE that --relay or --log wrote:
                          each request gets the reply recorded for the same
                          bytes, with its recorded timing and parts (--delay
                          0 unless given); a request recorded several times
                          gets its replies in turn, then the last again; one
                          never recorded gets no reply ("bad" in the log)
With --relay or --replay the instrument is the real one, or the recording:
the options --channels, --wavelengths and --versions are refused.

Other:
  --log FILE              append one line per frame to FILE ("-": standard
                          error); see "Log" below
  --session NAME          the name that starts each of this run's log lines:
                          8 to 32 letters, digits, '-' or '_' (default: 8
                          random hex digits)
  --state FILE            keep FILE holding what the instrument holds now, as
                          JSON: {"format": "tolvan-sim state 1", "channels":
                          {"1": {"attenuation": 0, "connected": true,
                          "wavelength_index": 0, "wavelengths": [1310, ...]},
                          ...}} (attenuation in mdB as a status reply gives
                          it, null while the channel is disconnected). It is
                          written before the serial end's path is printed and
                          replaced whole (through FILE.tmp) after every
                          request that changes it, before that request's
                          reply is queued. Not written with --relay or
                          --replay, which model no instrument
  --stop-on-stdin-close   stop as on SIGTERM when standard input reaches end
                          of file: started with a pipe there whose write end
                          the parent keeps, the simulator ends when its
                          parent does, however the parent ends; lines
                          written there are read and, but for the two of
                          --private-dir, ignored
  --private-dir DIR       with --stop-on-stdin-close: DIR is a folder the
                          parent made for the --log and --state files, which
                          are removed, and DIR if nothing else is there, once
                          nobody will read them. A parent that stops the
                          simulator itself writes the line "stop" first:
                          once stopped, the simulator then ends its standard
                          output when the files are complete, and waits for
                          the line "done" (the parent has read them) or for
                          the end of standard input (the parent has gone)
                          before it removes them and exits. Without "stop",
                          they are removed when standard input ended before
                          a stop signal or within 0.1 s after it (a signal
                          to the process group)
  --help                  show this help and exit
  --version               show the version and exit

Options are written in full, never abbreviated; a value may also follow an
equals sign (--delay=300).

A request frame is 7B, channel, length (frame size - 2), two command bytes,
payload, checksum, 7D, where the checksum is minus the sum of all bytes before
it, modulo 256. Replies use the same layout. Commands: 00 03 version,
07 2E wavelength list, 14 36 status, 00 05 close full screen, 14 3A select
wavelength (position), 14 3C set attenuation (0.01 dB steps, low byte first),
14 34 clear (00 00) or disconnect (FF FF). A disconnected channel reports
attenuation FF FF until it is set or cleared.

Log (format 2): every run appends a session to FILE, "# tolvan-sim log 2"
and "# session NAME pid PID", then its lines, each starting with NAME and a
space, so that runs that append to one file, one after the other or at the
same time, are told apart; each line is appended whole. After the name, a
line starting with "#" is an event; every other line is a frame: its kind,
its bytes in hex, its time and, after " # ", an optional note:
  # tolvan-sim log 2
  # session 5f3a9c1e pid 4242
  5f3a9c1e # serving on /dev/pts/3
  5f3a9c1e rx 7B 01 05 00 03 7C 7D @1503.120
  5f3a9c1e tx 7B 01 08 00 03 02 32 20 25 7D +5.084
Kinds: "rx" a request received, "tx" bytes sent, "bad" bytes ignored (the
note says why), "drop" a reply withheld, "lost" bytes no client received (none
held the line, the client stopped reading and the output queue was full, or
the simulator stopped first). The time of "rx" and "bad" is "@" and the
milliseconds since the simulator started; that of the others is "+" and the
milliseconds since the request logged last. --replay takes each request's
reply from the "tx" lines of its session after its "rx" line (a line belongs
to the last session line before it that gives its name); it reads format 1
too (lines without a name, each session from its version line to the next),
takes blank lines and Windows line ends, and refuses a file it cannot read
(cut short, damaged, of a newer format, or without a request) with its name
and line number. A log reader that does not keep up never holds the
simulator up: lines it cannot take are dropped, and a line "# N log lines
dropped" says so when it catches up or at exit; --replay refuses such a log.

Exit status: 0 after a stop signal or --exit-after; 1 when the log or the
device cannot be opened, the --state file cannot be written, the serial end's
path cannot be printed (nobody reads standard output), or the device vanished;
2 for a command line or a --replay file it cannot accept.

Examples:
  tolvan-sim --wavelengths 2=1310,1550 --log -
  tolvan-sim --relay /dev/ttyUSB0 --log session.log
  tolvan-sim --replay session.log --split 30
)";

// The reply to a wavelength-list request carries the list's size in its
// length byte: 5 + 1 count byte + 2 bytes per wavelength must stay within 255.
constexpr std::size_t most_wavelengths = (std::numeric_limits<std::uint8_t>::max() - 6) / 2;

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
    if (list.size() > most_wavelengths) {
        fail("--wavelengths lists " + std::to_string(list.size()) + " wavelengths for a channel; a list reply " +
             "holds at most " + std::to_string(most_wavelengths));
    }
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

enum class Key {
    channels, wavelengths, versions, delay, split, drop_every, noise, exit_after, relay, replay, log, state,
    session, stop_on_stdin_close, private_dir, help, version
};

struct Spelling {
    std::string_view name;
    Key key;
    bool takes_value;
};

// Options are matched by their full name only: an abbreviation could mean
// two options (--version, --versions).
constexpr Spelling spellings[] = {
    {"--channels", Key::channels, true}, {"--wavelengths", Key::wavelengths, true},
    {"--versions", Key::versions, true}, {"--delay", Key::delay, true},
    {"--split", Key::split, true},       {"--drop-every", Key::drop_every, true},
    {"--noise", Key::noise, true},       {"--exit-after", Key::exit_after, true},
    {"--relay", Key::relay, true},       {"--replay", Key::replay, true},
    {"--log", Key::log, true},           {"--state", Key::state, true},
    {"--session", Key::session, true},
    {"--stop-on-stdin-close", Key::stop_on_stdin_close, false},
    {"--private-dir", Key::private_dir, true},
    {"--help", Key::help, false},
    {"--version", Key::version, false},
};

const Spelling& spelling(std::string_view argument) {
    if (!argument.starts_with("-") || argument == "-") fail("unexpected argument '" + std::string(argument) + "'");
    const std::string_view name = argument.substr(0, argument.find('='));
    for (const Spelling& known : spellings) {
        if (known.name == name) return known;
    }
    fail("unknown option '" + std::string(name) + "'");
}

}  // namespace

Options parse_options(int argc, char** argv) {
    Options options;
    unsigned channel_count = 4;
    std::vector<std::uint16_t> everywhere{1310, 1490, 1550};
    std::map<unsigned, std::vector<std::uint16_t>> per_channel;
    bool delay_given = false;
    std::string_view instrument_option;  // one that --relay and --replay have no use for

    for (int index = 1; index < argc; ++index) {
        const std::string_view argument = argv[index];
        const Spelling& option = spelling(argument);
        const std::size_t equals = argument.find('=');
        std::string_view value;
        if (!option.takes_value) {
            if (equals != std::string_view::npos) fail("option '" + std::string(option.name) + "' takes no value");
        } else if (equals != std::string_view::npos) {
            value = argument.substr(equals + 1);
        } else if (index + 1 < argc) {
            value = argv[++index];
        } else {
            fail("option '" + std::string(option.name) + "' needs a value");
        }

        if (option.key == Key::channels || option.key == Key::wavelengths || option.key == Key::versions) {
            instrument_option = option.name;
        }
        switch (option.key) {
        case Key::channels: channel_count = number(value, 1, 255, "channel count"); break;
        case Key::wavelengths: {
            const std::size_t channel_end = value.find('=');
            if (channel_end == std::string_view::npos) {
                everywhere = wavelength_list(value);
                per_channel.clear();
            } else {
                per_channel[number(value.substr(0, channel_end), 1, 255, "channel")] =
                    wavelength_list(value.substr(channel_end + 1));
            }
            break;
        }
        case Key::versions: options.versions = versions(value); break;
        case Key::delay:
            options.faults.delay = milliseconds(value, "delay");
            delay_given = true;
            break;
        case Key::split: options.faults.split_gap = milliseconds(value, "split gap"); break;
        case Key::drop_every: options.faults.drop_every = number(value, 0, 1'000'000, "drop interval"); break;
        case Key::noise: options.faults.noise = number(value, 0, 1024, "noise byte count"); break;
        case Key::exit_after: options.faults.exit_after = number(value, 0, 1'000'000'000, "request count"); break;
        case Key::relay:
        case Key::replay: {
            const Mode mode = option.key == Key::relay ? Mode::relay : Mode::replay;
            if (options.mode != Mode::simulate && options.mode != mode) fail("--relay and --replay exclude each other");
            if (value.empty()) fail("option '" + std::string(option.name) + "' needs a file name");
            options.mode = mode;
            options.source = value;
            break;
        }
        case Key::log:
            if (value.empty()) fail("--log needs a file name");
            options.log_path = value;
            break;
        case Key::session:
            if (!valid_session_name(value)) {
                fail("--session takes 8 to 32 letters, digits, '-' or '_', not '" + std::string(value) + "'");
            }
            options.session = value;
            break;
        case Key::state:
            if (value.empty()) fail("--state needs a file name");
            options.state_path = value;
            break;
        case Key::stop_on_stdin_close: options.stop_on_stdin_close = true; break;
        case Key::private_dir:
            if (value.empty()) fail("--private-dir needs a folder name");
            options.private_dir = value;
            break;
        case Key::help: std::fputs(help_text, stdout); std::exit(0);
        case Key::version: std::printf("tolvan-sim %s\n", TOLVAN_SIM_VERSION); std::exit(0);
        }
    }

    if (!options.private_dir.empty() && !options.stop_on_stdin_close) {
        fail("--private-dir is removed when standard input ends: it needs --stop-on-stdin-close");
    }
    if (options.mode != Mode::simulate) {
        // The real instrument, or the recording, has its own channels.
        if (!instrument_option.empty()) {
            fail(std::string(instrument_option) + " describes the simulated instrument: it has no effect with " +
                 (options.mode == Mode::relay ? "--relay" : "--replay"));
        }
        if (!delay_given) options.faults.delay = std::chrono::milliseconds(0);
    }
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
