#include "vexa/io/EncFile.h"

#include "vexa/core/ExceptionStack.h"

#include <algorithm>
#include <cstring>
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
    if (reading)
        return openForReading(mode);

    // Unbuffered: each whole block reaches the file at once instead of waiting in QFile's buffer.
    if (!QFile::open(mode | Truncate | Unbuffered))
        return false;
    mode_ = Mode::Writing;
    pending_.clear();
    written_ = 0;
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

    QByteArray data;
    char chunk[65536];
    for (;;) {
        const qint64 n = QFile::readData(chunk, sizeof chunk);
        if (n < 0)
            return fail(QFile::errorString());
        if (n == 0)
            break;
        data.append(chunk, n);
    }

    const qint64 blockSize = cipher_.getBlockSize();
    if (data.isEmpty() || data.size() % blockSize != 0)
        return fail(QStringLiteral("EncFile: the file is not a whole number of cipher blocks"));
    for (qint64 at = 0; at < data.size(); at += blockSize)
        cipher_.decryptBlock(data.constData() + at, data.data() + at);

    const auto padding = static_cast<unsigned char>(data.back());
    const bool paddingValid = padding >= 1 && padding <= blockSize &&
                              std::all_of(data.cend() - padding, data.cend(),
                                          [padding](char c) { return static_cast<unsigned char>(c) == padding; });
    if (!paddingValid)
        return fail(QStringLiteral("EncFile: the file is damaged, unfinished or enciphered with another key"));
    data.chop(padding);

    plain_ = std::move(data);
    mode_ = Mode::Reading;
    return true;
}
VEXA_RETHROW

void EncFile::close()
try {
    bool paddingWritten = true;
    if (mode_ == Mode::Writing && isOpen()) {
        const int blockSize = static_cast<int>(cipher_.getBlockSize());
        const int padding = blockSize - static_cast<int>(pending_.size());
        pending_.append(QByteArray(padding, static_cast<char>(padding)));
        paddingWritten = writeBlocks(pending_.constData(), 1);
    }
    mode_ = Mode::Closed;
    plain_ = QByteArray();
    pending_.clear();
    written_ = 0;
    QFile::close();
    if (!paddingWritten)
        setErrorString(QStringLiteral("EncFile: the last block could not be written"));
}
VEXA_RETHROW

qint64 EncFile::size() const
{
    switch (mode_) {
    case Mode::Reading:
        return plain_.size();
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
        return pos >= 0 && pos <= plain_.size() && QIODevice::seek(pos);
    case Mode::Writing:
        return pos == written_;
    case Mode::Closed:
        break;
    }
    return QFile::seek(pos);
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
{
    if (mode_ != Mode::Reading)
        return -1;
    const qint64 at = pos();
    const qint64 n = std::min(maxSize, static_cast<qint64>(plain_.size()) - at);
    if (n <= 0)
        return 0;
    std::memcpy(data, plain_.constData() + at, static_cast<std::size_t>(n));
    return n;
}

qint64 EncFile::readLineData(char* data, qint64 maxSize)
{
    // QFileDevice would read lines straight from the enciphered file.
    if (mode_ != Mode::Reading)
        return -1;
    return QIODevice::readLineData(data, maxSize);
}

qint64 EncFile::writeData(const char* data, qint64 size)
try {
    if (mode_ != Mode::Writing)
        return -1;
    pending_.append(data, size);
    const qint64 blockSize = cipher_.getBlockSize();
    const qint64 blocks = pending_.size() / blockSize;
    if (blocks > 0) {
        if (!writeBlocks(pending_.constData(), blocks)) {
            pending_.chop(size);
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
    for (qint64 done = 0; done < out.size();) {
        const qint64 n = QFile::writeData(out.constData() + done, out.size() - done);
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}
VEXA_RETHROW

}
