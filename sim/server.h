// The serving loop: reads the client's requests off the pseudo-terminal and
// answers each as the simulated instrument, from a recording (--replay), or
// through a real instrument (--relay), with the fault options on top.
#pragma once

#include <deque>
#include <string_view>

#include "faults.h"
#include "frame.h"
#include "instrument.h"
#include "options.h"
#include "outbox.h"
#include "pty.h"
#include "recording.h"
#include "relay.h"
#include "state_file.h"
#include "wire_log.h"

namespace tolvan_sim {

class Server {
public:
    // `recording` with --replay, `relay` with --relay; null otherwise.
    Server(const Options& options, PseudoTerminal& line, WireLog& log, StateFile& state, Recording* recording,
           Relay* relay);

    // Runs until a stop is requested, until the instrument vanishes
    // (--exit-after) or until the relayed device does; the exit status.
    int run();

private:
    // --replay: a recorded reply going out, a piece at a time as each falls due.
    struct Playback {
        Recording::Cursor pieces;  // those still to go
        Clock::time_point asked;   // when its request arrived
        bool withheld;             // --drop-every: each piece is logged "drop" when it falls due
        bool started = false;      // a piece of it has gone to the outbox (or been logged)
    };

    void wait(std::chrono::milliseconds span, bool for_room);
    bool take_input();
    bool answer_requests();
    void simulate(const Request& request, Clock::time_point now);
    void replay(const Request& request, Clock::time_point now);
    void relay(const Request& request);
    void play(Clock::time_point now);
    void lose(const Playback& playback, std::string_view reason);
    void abandon(std::string_view reason);

    Mode mode_;
    PseudoTerminal& line_;
    WireLog& log_;
    StateFile& state_;
    Instrument instrument_;
    Recording* recording_;
    Relay* relay_;
    FrameReader reader_;
    FaultInjector faults_;
    Outbox outbox_;
    std::deque<Playback> playing_;   // oldest first; only the first may have started
    std::size_t playing_bytes_ = 0;  // in the pieces of playing_ still to go
    unsigned served_ = 0;
    bool client_ = false;  // whether a client had the serial end open at the last look
};

}  // namespace tolvan_sim
