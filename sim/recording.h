// A frame log read back for --replay: for each request, the replies it got,
// each as the pieces that went out and when. A recording can be large (a
// device that sends its replies a byte at a time, recorded for hours): its
// pieces are held packed in one buffer, a few bytes each beside their own,
// and a reply is read out a piece at a time as it goes.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "frame.h"

namespace tolvan_sim {

// A log that cannot be replayed; the message starts with "FILE:LINE: ".
class BadRecording : public std::runtime_error {
    using std::runtime_error::runtime_error;
};

// One recorded reply: where its pieces are packed. No pieces: the request
// got no reply.
struct Reply {
    std::uint32_t offset = 0;  // of its first piece in the packed buffer
    std::uint32_t pieces = 0;
    std::uint32_t bytes = 0;   // in all its pieces
};

struct Piece {
    std::chrono::microseconds after{0};  // since the request
    std::span<const std::uint8_t> bytes;
};

class Recording {
public:
    // Reads the log at `path`. Throws BadRecording when it cannot. Gives up
    // at once, leaving the recording incomplete, when `stopped()` turns true.
    Recording(const std::string& path, bool (*stopped)());

    // The reply to give `request` now: the recorded ones in turn, then the
    // last again. Null when the request was never recorded.
    const Reply* next(const Bytes& request);

    // The pieces of one reply, oldest first.
    class Cursor {
    public:
        Cursor(const Recording& recording, const Reply& reply);
        bool done() const { return left_ == 0; }
        // The next piece; only while not done().
        const Piece& piece() const { return piece_; }
        void advance();
        // Bytes in the pieces not yet advanced past, this one included.
        std::size_t bytes_left() const { return bytes_left_; }

    private:
        void decode();
        const std::uint8_t* at_;
        std::uint32_t left_;
        std::size_t bytes_left_;
        Piece piece_;
    };

private:
    friend class RecordingReader;
    struct Replies {
        std::vector<Reply> recorded;
        std::size_t given = 0;
    };
    std::map<Bytes, Replies> requests_;
    std::vector<std::uint8_t> packed_;  // every piece: its time (µs) and size as varints, then its bytes
};

}  // namespace tolvan_sim
