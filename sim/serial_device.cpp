// A serial device opened raw and non-blocking.
#include "serial_device.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace tolvan_sim {

namespace {

[[noreturn]] void raise_errno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

bool transient(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

}  // namespace

SerialDevice::SerialDevice(const std::string& path)
    : path_(path), line_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
    if (!line_.valid()) raise_errno("cannot open device " + path);
    termios settings{};
    if (tcgetattr(fd(), &settings) != 0) raise_errno("cannot use " + path + " as a serial line");
    cfmakeraw(&settings);
    settings.c_cflag &= ~(CSIZE | PARENB | CSTOPB);
    settings.c_cflag |= CS8 | CLOCAL | CREAD;
#ifdef CRTSCTS
    settings.c_cflag &= ~CRTSCTS;
#endif
    // Not 0: a read without data would then give 0, which is how a hang-up
    // reads; with 1 it gives EAGAIN (the line is non-blocking).
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    if (cfsetispeed(&settings, B115200) != 0 || cfsetospeed(&settings, B115200) != 0 ||
        tcsetattr(fd(), TCSANOW, &settings) != 0) {
        raise_errno("cannot set " + path + " to 115200 baud, 8N1");
    }
    // Bytes the device sent before anyone asked belong to no request.
    if (tcflush(fd(), TCIOFLUSH) != 0) raise_errno("cannot flush " + path);
}

SerialDevice::Read SerialDevice::read(std::uint8_t* buffer, std::size_t capacity, std::size_t& count,
                                      std::string& reason) {
    count = 0;
    const ssize_t got = ::read(fd(), buffer, capacity);
    if (got > 0) {
        count = static_cast<std::size_t>(got);
        return Read::data;
    }
    if (got < 0 && transient(errno)) return Read::nothing;
    // End of file: the line hung up; EIO, ENXIO, ENODEV: the adapter is gone.
    reason = got == 0 ? "the line hung up" : std::strerror(errno);
    return Read::gone;
}

long SerialDevice::write_some(const std::uint8_t* data, std::size_t count, std::string& reason) {
    const ssize_t put = ::write(fd(), data, count);
    if (put >= 0) return put;
    if (transient(errno)) return 0;
    reason = std::strerror(errno);
    return -1;
}

}  // namespace tolvan_sim
