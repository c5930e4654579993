// How the simulator is told to stop: SIGTERM, SIGINT and SIGHUP, and, with
// --stop-on-stdin-close, the end of its standard input.
#pragma once

namespace tolvan_sim {

// Makes SIGTERM, SIGINT and SIGHUP request a stop, and a closed reader no
// cause to die (SIGPIPE is ignored). Throws std::system_error if it cannot.
void install_stop_handlers();

// Whether a stop has been requested. Waits in the serving loop are short, and
// a signal interrupts them, so the request is seen at once.
bool stop_requested();

// Starts a thread that waits for standard input to end, then requests a stop
// exactly as SIGTERM does. Throws std::system_error if it cannot.
void stop_when_stdin_closes();

// Whether standard input has ended (after stop_when_stdin_closes()): the
// parent that held its other end is gone.
bool stdin_ended();

}  // namespace tolvan_sim
