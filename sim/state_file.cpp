// Publishing the instrument's state: a whole file replaced at once.
#include "state_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

#include "file_descriptor.h"

namespace tolvan_sim {

namespace {

bool same(const Channel& a, const Channel& b) {
    return a.wavelengths == b.wavelengths && a.position == b.position && a.attenuation == b.attenuation &&
           a.connected == b.connected;
}

bool same(const std::vector<Channel>& a, const std::vector<Channel>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t index = 0; index < a.size(); ++index) {
        if (!same(a[index], b[index])) return false;
    }
    return true;
}

[[noreturn]] void fail(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

void write_all(int descriptor, const std::string& text, const std::string& path) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t wrote = ::write(descriptor, text.data() + done, text.size() - done);
        if (wrote < 0) {
            if (errno == EINTR) continue;
            fail("cannot write state " + path);
        }
        done += static_cast<std::size_t>(wrote);
    }
}

}  // namespace

std::string state_json(const std::vector<Channel>& channels) {
    std::string text = R"({"format": "tolvan-sim state 1", "channels": {)";
    for (std::size_t index = 0; index < channels.size(); ++index) {
        const Channel& channel = channels[index];
        if (index > 0) text += ", ";
        text += '"';
        text += std::to_string(index + 1);
        text += R"(": {"attenuation": )";
        // A status reply carries 0.01 dB steps; 10 mdB each.
        text += channel.connected ? std::to_string(channel.attenuation * 10u) : "null";
        text += R"(, "connected": )";
        text += channel.connected ? "true" : "false";
        text += R"(, "wavelength_index": )";
        text += std::to_string(channel.position);
        text += R"(, "wavelengths": [)";
        for (std::size_t at = 0; at < channel.wavelengths.size(); ++at) {
            if (at > 0) text += ", ";
            text += std::to_string(channel.wavelengths[at]);
        }
        text += "]}";
    }
    text += "}}\n";
    return text;
}

void StateFile::publish(const std::vector<Channel>& channels) {
    if (path_.empty() || (any_written_ && same(channels, written_))) return;
    const std::string temporary = path_ + ".tmp";
    {
        FileDescriptor file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!file.valid()) fail("cannot write state " + temporary);
        write_all(file.get(), state_json(channels), temporary);
        if (!file.close()) fail("cannot write state " + temporary);
    }
    if (std::rename(temporary.c_str(), path_.c_str()) != 0) {
        const int reason = errno;
        ::unlink(temporary.c_str());
        errno = reason;
        fail("cannot replace state " + path_);
    }
    written_ = channels;
    any_written_ = true;
}

}  // namespace tolvan_sim
