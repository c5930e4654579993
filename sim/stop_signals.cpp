// Stop signals, and standard input's end taken as one.
#include "stop_signals.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

namespace tolvan_sim {

namespace {

volatile sig_atomic_t requested = 0;

// What standard input has said, read by the watching thread or, at exit, by
// the main thread; guarded by input_mutex.
std::timed_mutex input_mutex;
bool input_ended = false;
bool announced = false;  // "stop": the parent stops the simulator and reads what it leaves
bool released = false;   // "done": the parent has read it
std::string line;        // the line being read, cut short: the words are short

void on_stop_signal(int) { requested = 1; }

[[noreturn]] void raise_error(int error, const char* what) {
    throw std::system_error(error, std::generic_category(), what);
}

void take_line(std::string_view said) {
    if (said == "stop") announced = true;
    if (said == "done") announced = released = true;
}

// Waits up to `timeout` ms (-1: for ever) for standard input, then reads what
// is there. Call it with input_mutex held, or from the only reader.
void read_input(int timeout) {
    pollfd input{STDIN_FILENO, POLLIN, 0};
    const int ready = poll(&input, 1, timeout);
    if (ready == 0 || (ready < 0 && errno == EINTR)) return;
    char got_bytes[256];
    const ssize_t got = ready < 0 ? -1 : ::read(STDIN_FILENO, got_bytes, sizeof got_bytes);
    if (got > 0) {
        for (const char byte : std::string_view(got_bytes, static_cast<std::size_t>(got))) {
            if (byte == '\n') {
                take_line(line);
                line.clear();
            } else if (line.size() < 8) {
                line += byte;
            }
        }
    } else if (got == 0 || errno != EINTR) {
        input_ended = true;  // end of file, or an input that can give nothing more
    }
}

}  // namespace

void install_stop_handlers() {
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
        if (sigaction(sig, &action, nullptr) != 0) raise_error(errno, "sigaction");
    }
    if (signal(SIGPIPE, SIG_IGN) == SIG_ERR) raise_error(errno, "signal(SIGPIPE)");
}

bool stop_requested() { return requested != 0; }

void stop_when_stdin_closes() {
    // The thread blocks every signal, so that they keep reaching the main
    // thread and interrupt what that waits for; it starts with the mask of
    // the thread that creates it.
    sigset_t all, previous;
    sigfillset(&all);
    if (const int error = pthread_sigmask(SIG_BLOCK, &all, &previous); error != 0) {
        raise_error(error, "pthread_sigmask");
    }
    try {
        std::thread([] {
            while (true) {
                // Wait without the lock, then read under it: the main thread
                // may have read what woke this one.
                pollfd input{STDIN_FILENO, POLLIN, 0};
                if (poll(&input, 1, -1) < 0 && errno == EINTR) continue;
                const std::lock_guard<std::timed_mutex> lock(input_mutex);
                read_input(0);
                if (input_ended) break;
            }
            // The signal interrupts the main thread's wait; should it fail, the
            // flag is seen after that wait, within a few milliseconds.
            if (::kill(::getpid(), SIGTERM) != 0) requested = 1;
        }).detach();
    } catch (...) {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        throw;
    }
    if (const int error = pthread_sigmask(SIG_SETMASK, &previous, nullptr); error != 0) {
        raise_error(error, "pthread_sigmask");
    }
}

bool stop_announced() {
    // Should the thread be held in a read (an input that poll cannot watch,
    // as a terminal on some systems), nothing was announced there.
    std::unique_lock<std::timed_mutex> lock(input_mutex, std::chrono::milliseconds(100));
    if (!lock.owns_lock()) return false;
    // The parent writes "stop" before it sends the signal: the line is there.
    if (!input_ended) read_input(0);
    return announced;
}

void wait_for_release() {
    const std::lock_guard<std::timed_mutex> lock(input_mutex);
    while (!released && !input_ended) read_input(-1);
}

bool parent_gone(std::chrono::milliseconds grace) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + grace;
    // Should the thread be held in a read, the files stay: nothing waits for ever.
    std::unique_lock<std::timed_mutex> lock(input_mutex, deadline);
    if (!lock.owns_lock()) return false;
    while (!input_ended && !announced) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        read_input(static_cast<int>(left));
    }
    return input_ended && !announced;
}

}  // namespace tolvan_sim
