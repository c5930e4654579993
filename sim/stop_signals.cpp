// Stop signals, and standard input's end taken as one.
#include "stop_signals.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <system_error>
#include <thread>

namespace tolvan_sim {

namespace {

volatile sig_atomic_t requested = 0;
std::atomic<bool> input_ended{false};

void on_stop_signal(int) { requested = 1; }

[[noreturn]] void raise_error(int error, const char* what) {
    throw std::system_error(error, std::generic_category(), what);
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

bool stdin_ended() { return input_ended; }

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
            std::array<char, 256> discarded;
            while (true) {
                const ssize_t got = ::read(STDIN_FILENO, discarded.data(), discarded.size());
                if (got == 0 || (got < 0 && errno != EINTR)) break;
            }
            input_ended = true;
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

}  // namespace tolvan_sim
