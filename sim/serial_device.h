// The real instrument's serial line, for --relay.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "file_descriptor.h"

namespace tolvan_sim {

class SerialDevice {
public:
    // Opens `path` at 115200 baud, 8N1, raw, without waiting. Throws
    // std::system_error with the system's reason when it cannot.
    explicit SerialDevice(const std::string& path);

    const std::string& path() const { return path_; }
    int fd() const { return line_.get(); }

    enum class Read { data, nothing, gone };
    // Reads what has arrived, without waiting. `gone` when the device has
    // vanished (unplugged); `reason` then says what the system reported.
    Read read(std::uint8_t* buffer, std::size_t capacity, std::size_t& count, std::string& reason);

    // Writes as much of `data` as the device takes now; how many bytes it
    // took, or -1 when the device has vanished (`reason` says why).
    long write_some(const std::uint8_t* data, std::size_t count, std::string& reason);

private:
    std::string path_;
    FileDescriptor line_;
};

}  // namespace tolvan_sim
