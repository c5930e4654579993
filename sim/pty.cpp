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
    cfsetispeed(&settings, B115200);
    cfsetospeed(&settings, B115200);
}

bool is_raw(const termios& settings) {
    return (settings.c_lflag & (ICANON | ECHO | ISIG)) == 0 && (settings.c_oflag & OPOST) == 0 &&
           (settings.c_iflag & (ICRNL | IXON)) == 0;
}

}  // namespace

PseudoTerminal::PseudoTerminal() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0) raise_errno("posix_openpt");
    if (grantpt(master_) != 0) raise_errno("grantpt");
    if (unlockpt(master_) != 0) raise_errno("unlockpt");
    const char* name = ptsname(master_);
    if (!name) raise_errno("ptsname");
    path_ = name;
    const int flags = fcntl(master_, F_GETFL);
    if (flags < 0 || fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0) raise_errno("fcntl");
    make_raw();
}

PseudoTerminal::~PseudoTerminal() {
    if (master_ >= 0) close(master_);
}

void PseudoTerminal::make_raw() {
    // Linux applies terminal settings made through the master to the serial
    // end, which spares us opening it.
    termios settings{};
    if (tcgetattr(master_, &settings) == 0) {
        configure_raw(settings);
        termios applied{};
        if (tcsetattr(master_, TCSANOW, &settings) == 0 && tcgetattr(master_, &applied) == 0 && is_raw(applied)) {
            return;
        }
    }
    // Elsewhere, open the serial end just long enough to set it.
    const int slave = open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (slave < 0) raise_errno("open serial end");
    if (tcgetattr(slave, &settings) == 0) {
        configure_raw(settings);
        tcsetattr(slave, TCSANOW, &settings);
    }
    close(slave);
}

void PseudoTerminal::keep_raw() {
    termios settings{};
    if (tcgetattr(master_, &settings) == 0 && is_raw(settings)) return;
    make_raw();
}

PseudoTerminal::Read PseudoTerminal::read(std::uint8_t* buffer, std::size_t capacity, std::size_t& count) {
    count = 0;
    const ssize_t got = ::read(master_, buffer, capacity);
    if (got > 0) {
        count = static_cast<std::size_t>(got);
        return Read::data;
    }
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return Read::nothing;
    // EIO (Linux) or end of file (elsewhere): the last client has closed the line.
    return Read::no_client;
}

bool PseudoTerminal::write(const std::uint8_t* data, std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
        const ssize_t put = ::write(master_, data + done, count - done);
        if (put > 0) {
            done += static_cast<std::size_t>(put);
            continue;
        }
        if (put < 0 && errno == EINTR) continue;
        if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // The client is not reading; give it a moment, then give up on the rest.
            pollfd ready{master_, POLLOUT, 0};
            if (poll(&ready, 1, 100) > 0) continue;
        }
        return false;
    }
    return true;
}

}  // namespace tolvan_sim
