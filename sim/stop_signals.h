// How the simulator is told to stop: SIGTERM, SIGINT and SIGHUP, and, with
// --stop-on-stdin-close, the end of its standard input.
#pragma once

#include <chrono>

namespace tolvan_sim {

// Makes SIGTERM, SIGINT and SIGHUP request a stop, and a closed reader no
// cause to die (SIGPIPE is ignored). Throws std::system_error if it cannot.
void install_stop_handlers();

// Whether a stop has been requested. Waits in the serving loop are short, and
// a signal interrupts them, so the request is seen at once.
bool stop_requested();

// Starts a thread that watches standard input: its end requests a stop
// exactly as SIGTERM does. The lines "stop" and "done" there are the parent's
// word (see below); other lines are read and ignored. Throws
// std::system_error if it cannot.
void stop_when_stdin_closes();

// After stop_when_stdin_closes(), once the serving has ended: whether the
// parent wrote "stop", announcing that it stops the simulator itself and
// reads what the simulator leaves.
bool stop_announced();

// After stop_when_stdin_closes(): waits until the parent writes "done" (it
// has read what it wanted) or standard input ends (it has gone), however long
// that takes.
void wait_for_release();

// After stop_when_stdin_closes(): whether the parent has gone without
// announcing a stop, so that nobody will read what the simulator leaves.
// Standard input's end is waited for up to `grace`: a signal sent to a whole
// process group reaches the simulator and its dying parent together.
bool parent_gone(std::chrono::milliseconds grace);

}  // namespace tolvan_sim
