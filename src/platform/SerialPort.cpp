#include "platform/SerialPort.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace Platform {

namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point end)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

speed_t speedOf(int baud)
{
    switch (baud) {
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    default: return B0;
    }
}

}

std::string SerialPort::deviceName(const std::string& port)
{
    if (port.size() > 3 && port.compare(0, 3, "COM") == 0 && port.find_first_not_of("0123456789", 3) == std::string::npos) {
        const int n = std::stoi(port.substr(3));
        if (n >= 1)
            return "/dev/ttyS" + std::to_string(n - 1);
    }
    return port;
}

SerialPort::~SerialPort()
{
    close();
    if (cancelFd_ >= 0)
        ::close(cancelFd_);
}

bool SerialPort::open(const std::string& port)
{
    close();
    if (cancelFd_ < 0)
        cancelFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    const int fd = ::open(deviceName(port).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || !::isatty(fd)) {
        ::close(fd);
        return false;
    }
    ::ioctl(fd, TIOCEXCL); // best effort: root and some devices ignore it
    fd_ = fd;
    framer_.clear();
    return true;
}

void SerialPort::close()
{
    if (fd_ >= 0) {
        ::flock(fd_, LOCK_UN);
        ::close(fd_);
        fd_ = -1;
    }
}

bool SerialPort::isOpen() const
{
    return fd_ >= 0;
}

bool SerialPort::configure(int baud)
{
    termios t{};
    const speed_t speed = speedOf(baud);
    if (fd_ < 0 || speed == B0 || ::tcgetattr(fd_, &t) != 0)
        return false;
    ::cfmakeraw(&t);
    t.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS | CSIZE);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_iflag &= ~(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (::cfsetispeed(&t, speed) != 0 || ::cfsetospeed(&t, speed) != 0 || ::tcsetattr(fd_, TCSANOW, &t) != 0)
        return false;
    int lines = TIOCM_DTR | TIOCM_RTS;
    ::ioctl(fd_, TIOCMBIS, &lines); // refused by pseudo-terminals; the link works without
    return true;
}

bool SerialPort::setBreak(bool on)
{
    return fd_ >= 0 && ::ioctl(fd_, on ? TIOCSBRK : TIOCCBRK) == 0;
}

bool SerialPort::purge()
{
    std::lock_guard lock(readMutex_);
    framer_.clear();
    return fd_ >= 0 && ::tcflush(fd_, TCIOFLUSH) == 0;
}

int SerialPort::bytesQueued() const
{
    int count = 0;
    if (fd_ < 0 || ::ioctl(fd_, FIONREAD, &count) != 0)
        return -1;
    return count;
}

int SerialPort::write(const std::string& data, int timeoutMs)
{
    std::lock_guard lock(writeMutex_);
    if (fd_ < 0)
        return notOpen;
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd_, data.data() + done, data.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return writeFailed;
        pollfd p{fd_, POLLOUT, 0};
        const int left = remainingMs(end);
        if (left == 0 || ::poll(&p, 1, left) == 0)
            return writeTimedOut;
    }
    return static_cast<int>(done);
}

bool SerialPort::waitReadable(int timeoutMs)
{
    pollfd p[2] = {{fd_, POLLIN, 0}, {cancelFd_, POLLIN, 0}};
    const int n = ::poll(p, 2, timeoutMs);
    if (n <= 0 || (p[1].revents & POLLIN))
        return false;
    return (p[0].revents & POLLIN) != 0;
}

bool SerialPort::readUntil(char terminator, std::size_t maxBytes, int timeoutMs, std::string& text)
{
    std::lock_guard lock(readMutex_);
    if (fd_ < 0)
        return false;
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (framer_.next(terminator, maxBytes, text))
            return true;
        const int left = remainingMs(end);
        if (left == 0 || !waitReadable(left))
            return false;
        char buffer[512];
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        if (n > 0)
            framer_.append(buffer, static_cast<std::size_t>(n));
    }
}

std::string SerialPort::readSome(std::size_t maxBytes, int timeoutMs, int gapMs)
{
    std::lock_guard lock(readMutex_);
    std::string text = framer_.take(maxBytes);
    if (fd_ < 0)
        return text;
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (text.size() < maxBytes) {
        const int left = remainingMs(end);
        const int wait = text.empty() ? left : std::min(left, gapMs);
        if (wait == 0 || !waitReadable(wait))
            break;
        char buffer[512];
        const ssize_t n = ::read(fd_, buffer, std::min(sizeof buffer, maxBytes - text.size()));
        if (n <= 0 && errno != EAGAIN && errno != EINTR)
            break;
        if (n > 0)
            text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
}

void SerialPort::cancel()
{
    if (cancelFd_ >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(cancelFd_, &one, sizeof one);
    }
}

void SerialPort::resetCancel()
{
    if (cancelFd_ >= 0) {
        std::uint64_t value = 0;
        [[maybe_unused]] const ssize_t n = ::read(cancelFd_, &value, sizeof value);
    }
}

}
