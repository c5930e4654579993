// The serving loop and the three ways a request is answered.
#include "server.h"

#include <poll.h>
#include <time.h>

#include <array>
#include <cerrno>
#include <string>
#include <vector>

#include "stop_signals.h"

namespace tolvan_sim {

namespace {

using std::chrono::milliseconds;

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
// A replayed reply goes to the outbox a piece at a time as each falls due,
// at most this many pieces in one pass and while the outbox holds less than
// this: a recording of many small pieces costs no more memory or time at once.
constexpr std::size_t pieces_per_pass = 256;
constexpr std::size_t playing_room = 1024;
// Bytes of the replies waiting for their turn behind the one going out: past
// this, the oldest are dropped (a client that sends requests and does not
// read), as the outbox drops its own.
constexpr std::size_t playing_limit = 64 * 1024;
// A reply cut short larger than this is logged in a comment, not byte by byte.
constexpr std::size_t logged_whole = 64 * 1024;

// Sleeps for `span`, or less when a signal arrives: the loop looks again.
void pause_for(milliseconds span) {
    timespec time{0, static_cast<long>(span.count()) * 1'000'000L};
    nanosleep(&time, nullptr);
}

}  // namespace

Server::Server(const Options& options, PseudoTerminal& line, WireLog& log, StateFile& state, Recording* recording,
               Relay* relay)
    : mode_(options.mode), line_(line), log_(log), state_(state), instrument_(options.channels, options.versions),
      recording_(recording), relay_(relay), reader_(frame_silence), faults_(options.faults), outbox_(log) {}

int Server::run() {
    while (!stop_requested()) {
        Clock::time_point now = Clock::now();
        play(now);
        outbox_.send_due(now, line_);
        log_.flush();
        wait(outbox_.wait(now, tick), outbox_.stalled());
        if (relay_ && (!relay_->take_replies(faults_, outbox_) || !relay_->pass_on({}))) {
            const std::string& device = relay_->device().path();
            abandon("the device vanished before it went out");
            log_.comment("device " + device + " vanished: " + relay_->gone_reason());
            report("device " + device + " vanished: " + relay_->gone_reason());
            return 1;
        }
        if (!take_input()) {
            abandon("the instrument vanished before it went out");
            return 0;
        }
    }
    abandon("stopped before it went out");
    log_.comment("stopped by signal");
    return 0;
}

// Waits for input from the client or the device, or for room on the line
// when `for_room`, at most `span`. With no client on the serial end, poll
// reports a hang-up at once: then sleep instead, and see that the next
// client finds the line raw whatever the last one left (a client may come
// and go between two looks, so the settings are checked, not the event).
void Server::wait(milliseconds span, bool for_room) {
    pollfd watched[2] = {{line_.fd(), static_cast<short>(POLLIN | (for_room ? POLLOUT : 0)), 0}, {-1, 0, 0}};
    if (relay_) {
        watched[1] = {relay_->device().fd(), static_cast<short>(POLLIN | (relay_->sending() ? POLLOUT : 0)), 0};
    }
    const int ready = poll(watched, relay_ ? 2 : 1, static_cast<int>(span.count()));
    if (ready < 0) {
        // A signal cut the wait short: the loop looks again. Any other failure
        // must not make the loop spin.
        if (errno != EINTR) pause_for(span);
        return;
    }
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

// Reads and answers what arrived, chunk by chunk, so that the input buffer
// stays small. False when the instrument vanishes.
bool Server::take_input() {
    std::array<std::uint8_t, chunk_size> chunk;
    std::size_t count = 0;
    for (std::size_t taken = 0; taken < input_per_pass && !stop_requested(); taken += count) {
        if (line_.read(chunk.data(), chunk.size(), count) != PseudoTerminal::Read::data) break;
        // A relayed request goes out at once, not after the framing.
        if (relay_ && !relay_->pass_on(Bytes(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(count)))) {
            break;
        }
        reader_.feed(chunk.data(), count, Clock::now());
        if (!answer_requests()) return false;
    }
    // Also when nothing came: a frame left unfinished is given up after a silence.
    return answer_requests();
}

bool Server::answer_requests() {
    const Clock::time_point now = Clock::now();
    Request request;
    std::vector<Rejected> rejected;
    while (true) {
        const bool complete = reader_.next(request, rejected, now);
        for (const Rejected& bytes : rejected) {
            log_.frame("bad", bytes.raw, relay_ ? bytes.reason + ", passed on" : bytes.reason);
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

void Server::simulate(const Request& request, Clock::time_point now) {
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

void Server::replay(const Request& request, Clock::time_point now) {
    const Reply* reply = recording_->next(request.raw);
    if (!reply) {
        log_.frame("bad", request.raw, "no reply recorded for this request");
        return;
    }
    log_.frame("rx", request.raw);
    ++served_;
    if (reply->pieces == 0) return;
    playing_.push_back({Recording::Cursor(*recording_, *reply), now, faults_.withhold()});
    playing_bytes_ += reply->bytes;
    // The reply going out goes whole, however large, and so does the newest;
    // of those waiting between them, the oldest go when there are too many.
    while (playing_.size() > 2 && playing_bytes_ - playing_.front().pieces.bytes_left() > playing_limit) {
        const auto oldest = playing_.begin() + 1;
        lose(*oldest, "output queue full");
        playing_bytes_ -= oldest->pieces.bytes_left();
        playing_.erase(oldest);
    }
}

void Server::play(Clock::time_point now) {
    std::size_t taken = 0;
    while (!playing_.empty() && taken < pieces_per_pass && outbox_.waiting() < playing_room) {
        Playback& playback = playing_.front();
        if (playback.pieces.done()) {
            playing_.pop_front();
            continue;
        }
        const Piece& piece = playback.pieces.piece();
        const Clock::time_point due = playback.asked + piece.after;
        // A piece that goes out is queued up to a tick early, so that it goes
        // on time; one withheld is logged when it would have gone.
        if (due > (playback.withheld ? now : now + tick)) break;
        const Bytes bytes(piece.bytes.begin(), piece.bytes.end());
        if (playback.withheld) {
            log_.frame("drop", bytes);
        } else {
            faults_.send(bytes, due, !playback.started, outbox_);
        }
        playback.started = true;
        playing_bytes_ -= bytes.size();
        playback.pieces.advance();
        ++taken;
    }
}

// The pieces of a reply that will not go out, logged as one line.
void Server::lose(const Playback& playback, std::string_view reason) {
    const std::size_t left = playback.pieces.bytes_left();
    if (left == 0) return;
    if (left > logged_whole) {
        log_.comment(std::to_string(left) + " bytes of a recorded reply not sent: " + std::string(reason));
        return;
    }
    Bytes rest;
    rest.reserve(left);
    for (Recording::Cursor pieces = playback.pieces; !pieces.done(); pieces.advance()) {
        rest.insert(rest.end(), pieces.piece().bytes.begin(), pieces.piece().bytes.end());
    }
    if (playback.withheld) {
        log_.frame("drop", rest);
    } else {
        log_.frame("lost", rest, reason);
    }
}

void Server::abandon(std::string_view reason) {
    outbox_.abandon(reason);
    for (const Playback& playback : playing_) lose(playback, reason);
    playing_.clear();
    playing_bytes_ = 0;
}

// The request is on its way to the device already; what comes back until
// the next one is its reply.
void Server::relay(const Request& request) {
    log_.frame("rx", request.raw);
    ++served_;
    relay_->request(faults_.withhold());
}

}  // namespace tolvan_sim
