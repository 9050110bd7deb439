#pragma once
// Stand-in for the Windows serial port calls: a termios port on a file descriptor. Opening is
// exclusive (flock, and TIOCEXCL where the device honours it) and only of an existing device;
// "COMn" names /dev/ttyS(n-1), anything else is taken as a path. One reader and one writer
// may use a port at once; `cancel` wakes a blocked reader so that its thread can be joined.
// DTR and RTS are set where the device allows it (a pseudo-terminal refuses them).
#include "platform/LineFramer.h"

#include <cstddef>
#include <mutex>
#include <string>

namespace Platform {

class SerialPort
{
public:
    // Results of `write`.
    static constexpr int notOpen = -3;
    static constexpr int writeFailed = -15;
    static constexpr int writeTimedOut = -20;

    static std::string deviceName(const std::string& port);

    SerialPort() = default;
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // False when the device does not exist, cannot be opened or is taken by another port.
    bool open(const std::string& port);
    void close();
    bool isOpen() const;
    // Raw 8N1 at the baud rate, no flow control.
    bool configure(int baud);
    bool setBreak(bool on);
    // Drops what has arrived and not been read, also from the carry-over.
    bool purge();
    // Bytes waiting in the device's input queue.
    int bytesQueued() const;
    // The whole text within the time: its length, or one of the negative results above.
    int write(const std::string& data, int timeoutMs);
    // One text up to and including the terminator, at most maxBytes long, within the time;
    // what follows the terminator stays for the next read. A text that grows past maxBytes
    // is dropped up to its terminator. False on time-out, cancel or error.
    bool readUntil(char terminator, std::size_t maxBytes, int timeoutMs, std::string& text);
    // What arrives within the time, ending early once a gap of gapMs passes after a byte.
    std::string readSome(std::size_t maxBytes, int timeoutMs, int gapMs);
    // Wakes a blocked reader (it returns false) until `resetCancel`.
    void cancel();
    void resetCancel();

private:
    // Waits for input or cancel; false on time-out, cancel or error.
    bool waitReadable(int timeoutMs);
    int fd_ = -1;
    int cancelFd_ = -1;
    std::mutex readMutex_;
    std::mutex writeMutex_;
    LineFramer framer_;
};

}
