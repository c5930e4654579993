// The pseudo-terminal whose serial end the driver opens.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tolvan_sim {

class PseudoTerminal {
public:
    // Creates the pair and puts the serial end into raw mode. Throws
    // std::system_error when the system has no pseudo-terminal to give.
    PseudoTerminal();
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    const std::string& path() const { return path_; }
    int fd() const { return master_; }

    enum class Read { data, nothing, no_client };
    // Reads what has arrived, without waiting. `no_client` when no process
    // has the serial end open (the line is hung up).
    Read read(std::uint8_t* buffer, std::size_t capacity, std::size_t& count);

    // Writes all of `data`; false when the line refused it.
    bool write(const std::uint8_t* data, std::size_t count);

    // Raw mode for the serial end, so that bytes pass unchanged and nothing is
    // echoed back. A client may leave other settings behind when it closes the
    // line; while nobody has it open, call keep_raw() to put raw mode back.
    void make_raw();
    void keep_raw();

private:
    int master_ = -1;
    std::string path_;
};

}  // namespace tolvan_sim
