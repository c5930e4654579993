// tolvan-sim: a simulated attenuator on a pseudo-terminal. Prints the serial
// end's path, then serves requests until SIGTERM, SIGINT or SIGHUP: as the
// simulated instrument, as a relay to a real one, or replaying a recording.
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
    install_stop_handlers();
    if (options.stop_on_stdin_close) stop_when_stdin_closes();
    WireLog log(options.log_path);
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

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse_options(argc, argv);
    std::optional<Recording> recording;
    try {
        if (options.mode == Mode::replay) recording.emplace(options.source);
    } catch (const BadRecording& error) {
        report(error.what());
        return 2;
    }
    int status = 1;
    try {
        status = serve(options, recording ? &*recording : nullptr);
    } catch (const std::system_error& error) {
        report(error.what());
    }
    // Stopped, and the parent is gone: nobody will read the log and the state it asked for.
    if (!options.private_dir.empty() && stop_requested() && parent_gone(std::chrono::milliseconds(100))) {
        remove_private_dir(options.private_dir, {options.log_path, options.state_path, options.state_path + ".tmp"});
    }
    return status;
}
