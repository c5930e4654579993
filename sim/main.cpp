// tolvan-sim: a simulated attenuator on a pseudo-terminal. Prints the serial
// end's path, then serves requests until SIGTERM, SIGINT or SIGHUP: as the
// simulated instrument, as a relay to a real one, or replaying a recording.
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "faults.h"
#include "frame.h"
#include "instrument.h"
#include "options.h"
#include "outbox.h"
#include "pty.h"
#include "recording.h"
#include "serial_device.h"
#include "state_file.h"
#include "wire_log.h"

namespace {

using namespace tolvan_sim;
using std::chrono::milliseconds;

volatile sig_atomic_t stop_requested = 0;

void on_stop_signal(int) { stop_requested = 1; }

void install_signal_handlers() {
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

// --stop-on-stdin-close: a thread waits for standard input to end, then stops
// the simulator exactly as SIGTERM does. It blocks every signal itself, so
// that they keep reaching the main thread and interrupt what that waits for.
void stop_when_stdin_closes() {
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    std::thread([] {
        std::array<char, 256> discarded;
        while (true) {
            const ssize_t got = ::read(STDIN_FILENO, discarded.data(), discarded.size());
            if (got == 0 || (got < 0 && errno != EINTR)) break;
        }
        ::kill(::getpid(), SIGTERM);
    }).detach();
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

// Upper bound of one wait, so that signals, partial frames and clients that
// come and go are noticed promptly.
constexpr milliseconds tick{10};
// A frame that stops arriving for this long is given up.
constexpr milliseconds frame_silence{50};
// Input is read and answered a chunk at a time, and at most this much in one
// pass of the loop, so that replies go out and stop signals are seen while a
// client floods the line.
constexpr std::size_t chunk_size = 4096;
constexpr std::size_t input_per_pass = 64 * 1024;
// Requests waiting for a relayed device that does not take them.
constexpr std::size_t device_queue_limit = 64 * 1024;

void pause_for(milliseconds span) {
    timespec time{0, static_cast<long>(span.count()) * 1'000'000L};
    nanosleep(&time, nullptr);
}

class Server {
public:
    Server(const Options& options, PseudoTerminal& line, WireLog& log, StateFile& state, Recording* recording,
           SerialDevice* device)
        : mode_(options.mode), line_(line), log_(log), state_(state), instrument_(options.channels, options.versions),
          recording_(recording), device_(device), reader_(frame_silence), faults_(options.faults), outbox_(log) {}

    // Runs until a stop signal, until the instrument vanishes (--exit-after)
    // or until the relayed device does; the exit status.
    int run() {
        while (!stop_requested) {
            Clock::time_point now = Clock::now();
            outbox_.send_due(now, line_);
            log_.flush();
            wait(outbox_.wait(now, tick), outbox_.stalled());
            if (!take_device_input() || !pass_on({})) {
                outbox_.abandon("the device vanished before it went out");
                log_.comment("device " + device_->path() + " vanished: " + device_gone_);
                std::fprintf(stderr, "tolvan-sim: device %s vanished: %s\n", device_->path().c_str(),
                             device_gone_.c_str());
                return 1;
            }
            if (!take_input()) {
                outbox_.abandon("the instrument vanished before it went out");
                return 0;
            }
        }
        outbox_.abandon("stopped before it went out");
        log_.comment("stopped by signal");
        return 0;
    }

private:
    // Waits for input from the client or the device, or for room on the line
    // when `for_room`, at most `span`. With no client on the serial end, poll
    // reports a hang-up at once: then sleep instead, and see that the next
    // client finds the line raw whatever the last one left (a client may come
    // and go between two looks, so the settings are checked, not the event).
    void wait(milliseconds span, bool for_room) {
        pollfd watched[2] = {{line_.fd(), static_cast<short>(POLLIN | (for_room ? POLLOUT : 0)), 0}, {-1, 0, 0}};
        if (device_) watched[1] = {device_->fd(), static_cast<short>(POLLIN | (to_device_.empty() ? 0 : POLLOUT)), 0};
        const int ready = poll(watched, device_ ? 2 : 1, static_cast<int>(span.count()));
        const short line_events = watched[0].revents;
        const bool hung_up = ready > 0 && (line_events & POLLHUP) && !(line_events & POLLIN);
        if (!hung_up) {
            client_ = true;
            return;
        }
        if (client_) {
            client_ = false;
            log_.comment("client closed the line");
        }
        line_.keep_raw();
        pause_for(span);
    }

    // Reads and answers what arrived, chunk by chunk, so that the input
    // buffer stays small. False when the instrument vanishes.
    bool take_input() {
        std::array<std::uint8_t, chunk_size> chunk;
        std::size_t count = 0;
        for (std::size_t taken = 0; taken < input_per_pass && !stop_requested; taken += count) {
            if (line_.read(chunk.data(), chunk.size(), count) != PseudoTerminal::Read::data) break;
            // A relayed request goes out at once, not after the framing.
            if (device_ && !pass_on(Bytes(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(count)))) break;
            reader_.feed(chunk.data(), count, Clock::now());
            if (!answer_requests()) return false;
        }
        // Also when nothing came: a frame left unfinished is given up after a silence.
        return answer_requests();
    }

    bool answer_requests() {
        const Clock::time_point now = Clock::now();
        Request request;
        std::vector<Rejected> rejected;
        while (true) {
            const bool complete = reader_.next(request, rejected, now);
            for (const Rejected& bytes : rejected) {
                log_.frame("bad", bytes.raw, device_ ? bytes.reason + ", passed on" : bytes.reason);
            }
            rejected.clear();
            if (!complete) return true;

            if (faults_.vanishes_after(served_)) {
                log_.frame("rx", request.raw);
                log_.comment("exit after " + std::to_string(served_) + " requests");
                return false;
            }
            switch (mode_) {
            case Mode::simulate: simulate(request, now); break;
            case Mode::replay: replay(request, now); break;
            case Mode::relay: relay(request); break;
            }
        }
    }

    void simulate(const Request& request, Clock::time_point now) {
        Outcome outcome = instrument_.handle(request);
        if (!outcome.reply) {
            log_.frame("bad", request.raw, outcome.rejection);
            return;
        }
        // Before the reply is queued: a client that has its reply finds the file current.
        state_.publish(instrument_.channels());
        log_.frame("rx", request.raw);
        ++served_;
        if (faults_.withhold()) {
            log_.frame("drop", *outcome.reply);
        } else {
            faults_.send(*outcome.reply, now, true, outbox_);
        }
    }

    void replay(const Request& request, Clock::time_point now) {
        const Reply* reply = recording_->next(request.raw);
        if (!reply) {
            log_.frame("bad", request.raw, "no reply recorded for this request");
            return;
        }
        log_.frame("rx", request.raw);
        ++served_;
        if (reply->empty()) return;
        if (faults_.withhold()) {
            Bytes whole;
            for (const Piece& piece : *reply) whole.insert(whole.end(), piece.bytes.begin(), piece.bytes.end());
            log_.frame("drop", whole);
            return;
        }
        bool first = true;
        for (const Piece& piece : *reply) {
            faults_.send(piece.bytes, now + piece.after, first, outbox_);
            first = false;
        }
    }

    // The request is on its way to the device already; what comes back
    // until the next one is its reply.
    void relay(const Request& request) {
        log_.frame("rx", request.raw);
        ++served_;
        withhold_reply_ = faults_.withhold();
        first_piece_ = true;
    }

    // Reads what the device sent and queues it for the client. False when
    // the device has vanished.
    bool take_device_input() {
        if (!device_) return true;
        std::array<std::uint8_t, chunk_size> chunk;
        std::size_t count = 0;
        for (std::size_t taken = 0; taken < input_per_pass; taken += count) {
            const auto got = device_->read(chunk.data(), chunk.size(), count, device_gone_);
            if (got == SerialDevice::Read::gone) return false;
            if (got == SerialDevice::Read::nothing) break;
            const Bytes piece(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(count));
            if (withhold_reply_) {
                log_.frame("drop", piece);
            } else {
                faults_.send(piece, Clock::now(), first_piece_, outbox_);
                first_piece_ = false;
            }
        }
        return true;
    }

    // Adds `bytes` to what goes to the device and writes what it takes now.
    // False when the device has vanished.
    bool pass_on(const Bytes& bytes) {
        if (!device_) return true;
        if (to_device_.size() + bytes.size() > device_queue_limit) {
            log_.frame("lost", bytes, "the device does not take what it is sent");
        } else {
            to_device_.insert(to_device_.end(), bytes.begin(), bytes.end());
        }
        if (to_device_.empty()) return true;
        const long put = device_->write_some(to_device_.data(), to_device_.size(), device_gone_);
        if (put < 0) return false;
        to_device_.erase(to_device_.begin(), to_device_.begin() + put);
        return true;
    }

    Mode mode_;
    PseudoTerminal& line_;
    WireLog& log_;
    StateFile& state_;
    Instrument instrument_;
    Recording* recording_;  // with --replay
    SerialDevice* device_;  // with --relay
    FrameReader reader_;
    FaultInjector faults_;
    Outbox outbox_;
    unsigned served_ = 0;
    bool client_ = false;  // whether a client had the serial end open at the last look
    Bytes to_device_;      // requests the device has not taken yet
    std::string device_gone_;
    bool withhold_reply_ = false;  // the device's reply to the last request is withheld
    bool first_piece_ = true;      // nothing of that reply has come yet
};

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse_options(argc, argv);
    install_signal_handlers();
    std::optional<Recording> recording;
    try {
        if (options.mode == Mode::replay) recording.emplace(options.source);
    } catch (const BadRecording& error) {
        std::fprintf(stderr, "tolvan-sim: %s\n", error.what());
        return 2;
    }
    try {
        if (options.stop_on_stdin_close) stop_when_stdin_closes();
        WireLog log(options.log_path);
        std::optional<SerialDevice> device;
        if (options.mode == Mode::relay) device.emplace(options.source);
        PseudoTerminal line;
        // A relay or a replay models no instrument: it has no state to publish.
        StateFile state(options.mode == Mode::simulate ? options.state_path : std::string());
        state.publish(options.channels);
        // Logged first: whoever reads the path may look at the log at once.
        log.comment("serving on " + line.path());
        if (device) log.comment("relaying to " + device->path());
        if (recording) log.comment("replaying " + options.source);
        std::printf("%s\n", line.path().c_str());
        std::fflush(stdout);
        return Server(options, line, log, state, recording ? &*recording : nullptr, device ? &*device : nullptr)
            .run();
    } catch (const std::system_error& error) {
        std::fprintf(stderr, "tolvan-sim: %s\n", error.what());
        return 1;
    }
}
