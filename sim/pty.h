// The pseudo-terminal whose serial end the driver opens.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "file_descriptor.h"

namespace tolvan_sim {

class PseudoTerminal {
public:
    // Creates the pair and puts the serial end into raw mode. Throws
    // std::system_error when the system has no pseudo-terminal to give.
    PseudoTerminal();

    const std::string& path() const { return path_; }
    int fd() const { return master_.get(); }

    enum class Read { data, nothing, no_client };
    // Reads what has arrived, without waiting. `no_client` when no process
    // has the serial end open (the line is hung up).
    Read read(std::uint8_t* buffer, std::size_t capacity, std::size_t& count);

    // Writes as much of `data` as the line takes now, without waiting; returns
    // how many bytes it took (fewer than `count` when a client is not reading).
    std::size_t write_some(const std::uint8_t* data, std::size_t count);

    // Whether the last client has closed the serial end. What is written then
    // would wait in the line for whoever opens it next.
    bool hung_up() const;

    // A client may leave other settings behind when it closes the line; while
    // nobody has it open, call keep_raw() to put raw mode back, so that bytes
    // pass unchanged and nothing is echoed back.
    void keep_raw();

private:
    void make_raw();

    FileDescriptor master_;
    std::string path_;
};

}  // namespace tolvan_sim
