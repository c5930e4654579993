// tolvan-sim: a simulated attenuator on a pseudo-terminal. Prints the serial
// end's path, then serves requests until SIGTERM, SIGINT or SIGHUP: as the
// simulated instrument, as a relay to a real one, or replaying a recording.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <optional>
#include <system_error>

#include "options.h"
#include "private_dir.h"
#include "pty.h"
#include "recording.h"
#include "relay.h"
#include "serial_device.h"
#include "server.h"
#include "state_file.h"
#include "stop_signals.h"
#include "wire_log.h"

namespace {

using namespace tolvan_sim;

// Opens the log, the device and the pseudo-terminal, prints its path and
// serves until told to stop; the exit status. Everything is closed on return.
int serve(const Options& options, Recording* recording) {
    WireLog log(options.log_path, options.session);
    std::optional<SerialDevice> device;
    std::optional<Relay> relay;
    if (options.mode == Mode::relay) relay.emplace(device.emplace(options.source), log);
    PseudoTerminal line;
    // A relay or a replay models no instrument: it has no state to publish.
    StateFile state(options.mode == Mode::simulate ? options.state_path : std::string());
    state.publish(options.channels);
    // Logged first: whoever reads the path may look at the log at once.
    log.comment("serving on " + line.path());
    if (device) log.comment("relaying to " + device->path());
    if (recording) log.comment("replaying " + options.source);
    // A parent that cannot read the path could never use nor stop the simulator.
    if (std::printf("%s\n", line.path().c_str()) < 0 || std::fflush(stdout) != 0) {
        throw std::system_error(errno, std::generic_category(), "cannot print the serial end's path");
    }
    return Server(options, line, log, state, recording, relay ? &*relay : nullptr).run();
}

// Tells a parent that reads standard output to its end that the log and the
// state are complete: the simulator lets go of its standard output.
void close_standard_output() {
    std::fflush(stdout);
    const int nothing = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (nothing >= 0) {
        ::dup2(nothing, STDOUT_FILENO);
        ::close(nothing);
    }
}

// The private folder, once the log and the state are complete: removed when
// nobody will read them. A parent that stops the simulator itself says when it
// has read them, or goes; one that did not say so and has gone never will.
void leave_private_dir(const Options& options) {
    if (options.private_dir.empty()) return;
    if (stop_announced()) {
        close_standard_output();
        wait_for_release();
    } else if (!stop_requested() || !parent_gone(std::chrono::milliseconds(100))) {
        return;
    }
    remove_private_dir(options.private_dir, {options.log_path, options.state_path, options.state_path + ".tmp"});
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse_options(argc, argv);
    int status = 1;
    try {
        // Before the recording is read: a stop signal is honoured while it is.
        install_stop_handlers();
        if (options.stop_on_stdin_close) stop_when_stdin_closes();
        std::optional<Recording> recording;
        if (options.mode == Mode::replay) recording.emplace(options.source, stop_requested);
        status = stop_requested() ? 0 : serve(options, recording ? &*recording : nullptr);
    } catch (const BadRecording& error) {
        report(error.what());
        status = 2;
    } catch (const std::system_error& error) {
        report(error.what());
    }
    leave_private_dir(options);
    return status;
}
