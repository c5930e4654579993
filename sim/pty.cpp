// Pseudo-terminal set-up and raw input/output on its master end. The serial
// end is never held open here, so that lsof shows only the client on it.
#include "pty.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>

namespace tolvan_sim {

namespace {

[[noreturn]] void raise_errno(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

void configure_raw(termios& settings) {
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    if (cfsetispeed(&settings, B115200) != 0 || cfsetospeed(&settings, B115200) != 0) raise_errno("cfsetspeed");
}

bool is_raw(const termios& settings) {
    return (settings.c_lflag & (ICANON | ECHO | ISIG)) == 0 && (settings.c_oflag & OPOST) == 0 &&
           (settings.c_iflag & (ICRNL | IXON)) == 0;
}

}  // namespace

PseudoTerminal::PseudoTerminal() : master_(posix_openpt(O_RDWR | O_NOCTTY)) {
    if (!master_.valid()) raise_errno("posix_openpt");
    if (grantpt(fd()) != 0) raise_errno("grantpt");
    if (unlockpt(fd()) != 0) raise_errno("unlockpt");
    const char* name = ptsname(fd());
    if (!name) raise_errno("ptsname");
    path_ = name;
    const int flags = fcntl(fd(), F_GETFL);
    if (flags < 0 || fcntl(fd(), F_SETFL, flags | O_NONBLOCK) != 0) raise_errno("fcntl");
    make_raw();
}

void PseudoTerminal::make_raw() {
    // Linux applies terminal settings made through the master to the serial
    // end, which spares us opening it.
    termios settings{};
    if (tcgetattr(fd(), &settings) == 0) {
        configure_raw(settings);
        termios applied{};
        if (tcsetattr(fd(), TCSANOW, &settings) == 0 && tcgetattr(fd(), &applied) == 0 && is_raw(applied)) {
            return;
        }
    }
    // Elsewhere, open the serial end just long enough to set it.
    const FileDescriptor serial_end(open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
    if (!serial_end.valid()) raise_errno("open serial end");
    if (tcgetattr(serial_end.get(), &settings) != 0) raise_errno("tcgetattr on the serial end");
    configure_raw(settings);
    if (tcsetattr(serial_end.get(), TCSANOW, &settings) != 0) raise_errno("tcsetattr on the serial end");
}

void PseudoTerminal::keep_raw() {
    termios settings{};
    if (tcgetattr(fd(), &settings) == 0 && is_raw(settings)) return;
    make_raw();
}

PseudoTerminal::Read PseudoTerminal::read(std::uint8_t* buffer, std::size_t capacity, std::size_t& count) {
    count = 0;
    const ssize_t got = ::read(fd(), buffer, capacity);
    if (got > 0) {
        count = static_cast<std::size_t>(got);
        return Read::data;
    }
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return Read::nothing;
    // EIO (Linux) or end of file (elsewhere): the last client has closed the line.
    return Read::no_client;
}

std::size_t PseudoTerminal::write_some(const std::uint8_t* data, std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
        const ssize_t put = ::write(fd(), data + done, count - done);
        // EAGAIN: the line is full, the client is not reading. EINTR: a stop
        // signal, which the caller must see at once. Other errors: the line is
        // gone. In each case the rest waits for the caller's next try.
        if (put <= 0) break;
        done += static_cast<std::size_t>(put);
    }
    return done;
}

bool PseudoTerminal::hung_up() const {
    pollfd line{fd(), 0, 0};
    return poll(&line, 1, 0) > 0 && (line.revents & POLLHUP) != 0;
}

}  // namespace tolvan_sim
