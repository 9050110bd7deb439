#include "vexa/io/EncFile.h"

#include "vexa/core/ExceptionStack.h"
#include "vexa/io/AtomicFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace Vexa {

EncFile::EncFile(const QString& fileName, Rijndael cipher)
    : QFile(fileName)
    , cipher_(std::move(cipher))
{
}

EncFile::~EncFile()
{
    // QFileDevice's destructor would close without the final block.
    close();
    if (adopted_ >= 0)
        ::close(adopted_);
}

void EncFile::adopt(int fd)
{
    if (adopted_ >= 0)
        ::close(adopted_);
    adopted_ = fd;
}

bool EncFile::open(OpenMode mode)
try {
    if (isOpen()) {
        setErrorString(QStringLiteral("EncFile: the file is already open"));
        return false;
    }
    const bool reading = mode.testFlag(ReadOnly);
    const bool writing = mode.testFlag(WriteOnly);
    if (reading == writing || mode.testFlag(Append)) {
        setErrorString(QStringLiteral("EncFile: the file opens either for reading or for writing"));
        return false;
    }
    failed_ = false;
    failure_.clear();
    if (reading)
        return openForReading(mode);

    // Unbuffered: each whole block reaches the file at once instead of waiting in QFile's buffer.
    if (adopted_ >= 0) {
        // Opened by its name (a file opened from a descriptor loses its name), and for reading
        // too, as Qt cuts a file opened for writing alone: cut only once it is known to be the
        // file made. Only while that name is still the very file made (no link put there is
        // followed), and never made again: a name that went meanwhile is not created anew.
        const int made = std::exchange(adopted_, -1);
        struct stat was{}, is{}, named{};
        errno = 0;
        const bool madeThere = ::fstat(made, &was) == 0 &&
                               ::fstatat(AT_FDCWD, QFile::encodeName(fileName()).constData(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
                               S_ISREG(named.st_mode) && named.st_dev == was.st_dev && named.st_ino == was.st_ino;
        if (!madeThere) {
            const int why = errno ? errno : EEXIST;
            ::close(made);
            setErrorString(QString::fromStdString(AtomicFile::failureText(fileName().toStdString(), why)));
            return false;
        }
        const bool opened = QFile::open((mode & ~Truncate) | ReadOnly | Unbuffered | ExistingOnly);
        int error = opened && ::fstat(handle(), &is) != 0 ? errno : 0;
        if (opened && !error && (was.st_dev != is.st_dev || was.st_ino != is.st_ino))
            error = EEXIST;
        if (opened && !error && ::ftruncate(handle(), 0) != 0)
            error = errno;
        ::close(made);
        if (!opened)
            return false;
        if (error) {
            QFile::close();
            setErrorString(QString::fromStdString(AtomicFile::failureText(fileName().toStdString(), error)));
            return false;
        }
    } else if (!QFile::open(mode | Truncate | Unbuffered)) {
        return false;
    }
    mode_ = Mode::Writing;
    pending_.clear();
    written_ = 0;
    onDisk_ = 0;
    finished_ = false;
    reserve();
    return true;
}
VEXA_RETHROW

bool EncFile::openForReading(OpenMode mode)
try {
    // Unbuffered: QIODevice keeps no read-ahead of its own, so the read position is always pos().
    if (!QFile::open(mode | Unbuffered))
        return false;

    const auto fail = [this](const QString& message) {
        QFile::close();
        setErrorString(message);
        return false;
    };

    const qint64 blockSize = cipher_.getBlockSize();
    const qint64 onDisk = QFile::size();
    if (onDisk == 0 || onDisk % blockSize != 0)
        return fail(QStringLiteral("EncFile: the file is not a whole number of cipher blocks"));
    // The padding is in the last block; the rest is deciphered as it is read.
    QByteArray last(blockSize, Qt::Uninitialized);
    if (!readBlocks(onDisk - blockSize, last.data(), blockSize))
        return fail(QFile::errorString());
    cipher_.decryptBlock(last.constData(), last.data());
    const auto padding = static_cast<unsigned char>(last.back());
    const bool paddingValid = padding >= 1 && padding <= blockSize &&
                              std::all_of(last.cend() - padding, last.cend(),
                                          [padding](char c) { return static_cast<unsigned char>(c) == padding; });
    if (!paddingValid)
        return fail(QStringLiteral("EncFile: the file is damaged, unfinished or enciphered with another key"));

    plainSize_ = onDisk - padding;
    chunk_.clear();
    chunkStart_ = 0;
    mode_ = Mode::Reading;
    return true;
}
VEXA_RETHROW

bool EncFile::readBlocks(qint64 offset, char* out, qint64 size)
{
    for (qint64 done = 0; done < size;) {
        const ssize_t n = ::pread(handle(), out + done, static_cast<std::size_t>(size - done), offset + done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            setErrorString(n < 0 ? QString::fromLocal8Bit(std::strerror(errno))
                                 : QStringLiteral("EncFile: the file became shorter while it was read"));
            return false;
        }
        done += n;
    }
    return true;
}

void EncFile::close()
try {
    if (mode_ == Mode::Writing && isOpen()) {
        if (!finished_)
            finish();
        if (!failed_ && ::fsync(handle()) != 0 && errno != EINVAL)
            fail(errno);
        // The room kept for the last block is given back.
        [[maybe_unused]] const int trimmed = ::ftruncate(handle(), onDisk_);
    }
    mode_ = Mode::Closed;
    chunk_ = QByteArray();
    plainSize_ = 0;
    pending_.clear();
    written_ = 0;
    QFile::close();
    if (failed_)
        setErrorString(failure_);
}
VEXA_RETHROW

qint64 EncFile::size() const
{
    switch (mode_) {
    case Mode::Reading:
        return plainSize_;
    case Mode::Writing:
        return written_;
    case Mode::Closed:
        break;
    }
    return QFile::size();
}

bool EncFile::seek(qint64 pos)
{
    switch (mode_) {
    case Mode::Reading:
        return pos >= 0 && pos <= plainSize_ && QIODevice::seek(pos);
    case Mode::Writing:
        return pos == written_;
    case Mode::Closed:
        break;
    }
    return QFile::seek(pos);
}

bool EncFile::resize(qint64 size)
{
    switch (mode_) {
    case Mode::Reading:
        return false;
    case Mode::Writing:
        return size == written_;
    case Mode::Closed:
        break;
    }
    return QFile::resize(size);
}

bool EncFile::atEnd() const
{
    switch (mode_) {
    case Mode::Reading:
        return QIODevice::atEnd();
    case Mode::Writing:
        return true;
    case Mode::Closed:
        break;
    }
    return QFile::atEnd();
}

qint64 EncFile::bytesAvailable() const
{
    return mode_ == Mode::Reading ? QIODevice::bytesAvailable() : 0;
}

qint64 EncFile::readData(char* data, qint64 maxSize)
try {
    if (mode_ != Mode::Reading)
        return -1;
    const qint64 at = pos();
    const qint64 n = std::min(maxSize, plainSize_ - at);
    if (n <= 0)
        return 0;
    for (qint64 done = 0; done < n;) {
        const qint64 from = at + done;
        if (from < chunkStart_ || from >= chunkStart_ + chunk_.size()) {
            // A chunk of whole blocks around the position, deciphered at once: memory stays at
            // its size however large the file.
            constexpr qint64 chunkBytes = 64 * 1024;
            const qint64 blockSize = cipher_.getBlockSize();
            const qint64 start = from / blockSize * blockSize;
            const qint64 onDisk = (plainSize_ / blockSize + 1) * blockSize;
            chunk_.resize(std::min(chunkBytes, onDisk - start));
            if (!readBlocks(start, chunk_.data(), chunk_.size())) {
                chunk_.clear();
                return done > 0 ? done : -1;
            }
            for (qint64 b = 0; b < chunk_.size(); b += blockSize)
                cipher_.decryptBlock(chunk_.constData() + b, chunk_.data() + b);
            chunkStart_ = start;
        }
        const qint64 take = std::min(n - done, chunkStart_ + chunk_.size() - from);
        std::memcpy(data + done, chunk_.constData() + (from - chunkStart_), static_cast<std::size_t>(take));
        done += take;
    }
    return n;
}
VEXA_RETHROW

qint64 EncFile::readLineData(char* data, qint64 maxSize)
{
    // QFileDevice would read lines straight from the enciphered file.
    if (mode_ != Mode::Reading)
        return -1;
    return QIODevice::readLineData(data, maxSize);
}

qint64 EncFile::writeData(const char* data, qint64 size)
try {
    if (mode_ != Mode::Writing || finished_)
        return -1;
    pending_.append(data, size);
    const qint64 blockSize = cipher_.getBlockSize();
    const qint64 blocks = pending_.size() / blockSize;
    if (blocks > 0) {
        if (!writeBlocks(pending_.constData(), blocks)) {
            pending_.chop(size);
            // What was accepted before stays readable.
            finish();
            return -1;
        }
        pending_.remove(0, blocks * blockSize);
    }
    written_ += size;
    return size;
}
VEXA_RETHROW

bool EncFile::writeBlocks(const char* plain, qint64 blocks)
try {
    const qint64 blockSize = cipher_.getBlockSize();
    QByteArray out(blocks * blockSize, Qt::Uninitialized);
    for (qint64 at = 0; at < out.size(); at += blockSize)
        cipher_.encryptBlock(plain + at, out.data() + at);
    // Straight to the descriptor: every short write is seen, and QFile keeps no state of it.
    const int fd = handle();
    for (qint64 done = 0; done < out.size();) {
        const ssize_t n = ::write(fd, out.constData() + done, static_cast<std::size_t>(out.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            fail(n < 0 ? errno : ENOSPC);
            // Half a block would make the whole file unreadable.
            [[maybe_unused]] const int cut = ::ftruncate(fd, onDisk_);
            ::lseek(fd, onDisk_, SEEK_SET);
            reserve();
            return false;
        }
        done += n;
    }
    onDisk_ += out.size();
    reserve();
    return true;
}
VEXA_RETHROW

bool EncFile::finish()
{
    finished_ = true;
    const int blockSize = static_cast<int>(cipher_.getBlockSize());
    const int padding = blockSize - static_cast<int>(pending_.size());
    pending_.append(QByteArray(padding, static_cast<char>(padding)));
    const bool written = writeBlocks(pending_.constData(), 1);
    pending_.clear();
    return written;
}

void EncFile::reserve()
{
    // Not every file system can; there the last block may still fail, and is reported.
    ::fallocate(handle(), FALLOC_FL_KEEP_SIZE, onDisk_, static_cast<off_t>(cipher_.getBlockSize()));
}

void EncFile::fail(int error)
{
    if (!failed_) {
        failed_ = true;
        failure_ = QString::fromStdString(AtomicFile::failureText(fileName().toStdString(), error));
    }
    setErrorString(failure_);
}

}
