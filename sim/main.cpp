// tolvan-sim: a simulated attenuator on a pseudo-terminal. Prints the serial
// end's path, then serves requests until SIGTERM, SIGINT or SIGHUP.
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
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

void pause_for(milliseconds span) {
    timespec time{0, static_cast<long>(span.count()) * 1'000'000L};
    nanosleep(&time, nullptr);
}

class Server {
public:
    Server(const Options& options, PseudoTerminal& line, WireLog& log, StateFile& state)
        : line_(line), log_(log), state_(state), instrument_(options.channels, options.versions), reader_(frame_silence),
          faults_(options.faults), outbox_(log) {}

    // Runs until a stop signal or until the instrument vanishes.
    void run() {
        while (!stop_requested) {
            Clock::time_point now = Clock::now();
            outbox_.send_due(now, line_);
            wait(outbox_.wait(now, tick), outbox_.stalled());
            if (!take_input()) {
                outbox_.abandon("the instrument vanished before it went out");
                return;
            }
        }
        outbox_.abandon("stopped before it went out");
        log_.comment("stopped by signal");
    }

private:
    // Waits for input, or for room on the line when `for_room`, at most
    // `span`. With no client on the serial end, poll reports a hang-up at
    // once: then sleep instead, and see that the next client finds the line
    // raw whatever the last one left (a client may come and go between two
    // looks, so the settings are checked, not the event).
    void wait(milliseconds span, bool for_room) {
        pollfd input{line_.fd(), static_cast<short>(POLLIN | (for_room ? POLLOUT : 0)), 0};
        const int ready = poll(&input, 1, static_cast<int>(span.count()));
        const bool hung_up = ready > 0 && (input.revents & POLLHUP) && !(input.revents & POLLIN);
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
            for (const Rejected& bytes : rejected) log_.frame("bad", bytes.raw, bytes.reason);
            rejected.clear();
            if (!complete) return true;

            if (faults_.vanishes_after(served_)) {
                log_.frame("rx", request.raw);
                log_.comment("exit after " + std::to_string(served_) + " requests");
                return false;
            }
            Outcome outcome = instrument_.handle(request);
            if (!outcome.reply) {
                log_.frame("bad", request.raw, outcome.rejection);
                continue;
            }
            // Before the reply is queued: a client that has its reply finds the file current.
            state_.publish(instrument_.channels());
            log_.frame("rx", request.raw);
            ++served_;
            if (!faults_.schedule(*outcome.reply, now, outbox_)) log_.frame("drop", *outcome.reply);
        }
    }

    PseudoTerminal& line_;
    WireLog& log_;
    StateFile& state_;
    Instrument instrument_;
    FrameReader reader_;
    FaultInjector faults_;
    Outbox outbox_;
    unsigned served_ = 0;
    bool client_ = false;  // whether a client had the serial end open at the last look
};

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse_options(argc, argv);
    install_signal_handlers();
    try {
        if (options.stop_on_stdin_close) stop_when_stdin_closes();
        WireLog log(options.log_path);
        PseudoTerminal line;
        StateFile state(options.state_path);
        state.publish(options.channels);
        // Logged first: whoever reads the path may look at the log at once.
        log.comment("serving on " + line.path());
        std::printf("%s\n", line.path().c_str());
        std::fflush(stdout);
        Server(options, line, log, state).run();
    } catch (const std::system_error& error) {
        std::fprintf(stderr, "tolvan-sim: %s\n", error.what());
        return 1;
    }
    return 0;
}
