// The instrument's state published as a small JSON file (--state FILE), so
// that a test can ask what the instrument holds without a request of its own.
#pragma once

#include <string>
#include <vector>

#include "instrument.h"

namespace tolvan_sim {

class StateFile {
public:
    // Empty path: nothing is written.
    explicit StateFile(std::string path) : path_(std::move(path)) {}

    // Writes the channels to the file when they differ from what it holds:
    // into FILE.tmp beside it, then renamed over FILE, so that a reader
    // always finds a whole file. Throws std::system_error when it cannot.
    void publish(const std::vector<Channel>& channels);

private:
    std::string path_;
    std::vector<Channel> written_;
    bool any_written_ = false;
};

// The file's content: {"format": "tolvan-sim state 1", "channels": {"1": {...}, ...}},
// attenuation in mdB as a status reply reports it, null while disconnected.
std::string state_json(const std::vector<Channel>& channels);

}  // namespace tolvan_sim
