// The simulator's command line.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "instrument.h"

namespace tolvan_sim {

struct Faults {
    std::chrono::milliseconds delay{5};      // from a request to its reply (0 when relayed or replayed)
    std::chrono::milliseconds split_gap{0};  // 0: replies go out whole
    unsigned drop_every = 0;                 // 0: no reply is withheld
    unsigned noise = 0;                      // bytes sent ahead of each reply
    unsigned exit_after = 0;                 // 0: serve until told to stop
};

// Who answers the requests.
enum class Mode {
    simulate,  // the simulated instrument
    relay,     // a real instrument on a serial device, passed through
    replay,    // replies read from a log
};

struct Options {
    std::vector<Channel> channels;
    Versions versions;
    Faults faults;
    std::string log_path;  // empty: no log; "-": standard error
    std::string session;   // the name that starts each of its log lines; empty: one made up
    Mode mode = Mode::simulate;
    std::string source;  // the device (relay) or the log (replay)
    std::string state_path;  // empty: the state is not published
    bool stop_on_stdin_close = false;
    std::string private_dir;  // removed with the log and state in it when standard input ends
};

// Parses argv. Prints the help and exits 0 for --help; prints a message and
// exits 2 for anything it cannot accept.
Options parse_options(int argc, char** argv);

}  // namespace tolvan_sim
