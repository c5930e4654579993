// A frame log read back for --replay: for each request, the replies it got,
// each as the pieces that went out and when.
#pragma once

#include <chrono>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "frame.h"

namespace tolvan_sim {

struct Piece {
    std::chrono::microseconds after;  // since the request
    Bytes bytes;
};
using Reply = std::vector<Piece>;  // empty: the request got no reply

// A log that cannot be replayed; the message starts with "FILE:LINE: ".
class BadRecording : public std::runtime_error {
    using std::runtime_error::runtime_error;
};

class Recording {
public:
    // Reads the log at `path`. Throws BadRecording when it cannot. Gives up
    // at once, leaving the recording incomplete, when `stopped()` turns true.
    Recording(const std::string& path, bool (*stopped)());

    // The reply to give `request` now: the recorded ones in turn, then the
    // last again. Null when the request was never recorded.
    const Reply* next(const Bytes& request);

    std::size_t size() const { return requests_.size(); }

private:
    struct Replies {
        std::vector<Reply> recorded;
        std::size_t given = 0;
    };
    std::map<Bytes, Replies> requests_;
};

}  // namespace tolvan_sim
