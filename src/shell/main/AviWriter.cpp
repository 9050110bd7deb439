#include "shell/main/AviWriter.h"

#include "vexa/io/AtomicFile.h"

#include <QtEndian>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

void u32(QByteArray& out, std::uint32_t v)
{
    char b[4];
    qToLittleEndian(v, b);
    out.append(b, 4);
}

void u16(QByteArray& out, std::uint16_t v)
{
    char b[2];
    qToLittleEndian(v, b);
    out.append(b, 2);
}

void tag(QByteArray& out, const char* fourcc)
{
    out.append(fourcc, 4);
}

// Header lengths: everything before the "movi" list has a fixed size.
constexpr std::uint32_t avihLength = 56, strhLength = 56, strfLength = 40;
constexpr std::uint32_t strlLength = 4 + (8 + strhLength) + (8 + strfLength);
constexpr std::uint32_t hdrlLength = 4 + (8 + avihLength) + (8 + strlLength);
// The "movi" list's size field, and where its first chunk begins.
constexpr qint64 moviSizeAt = 12 + 8 + hdrlLength + 4;
constexpr qint64 framesStart = moviSizeAt + 8;

}

AviWriter::~AviWriter()
{
    close();
}

bool AviWriter::writeAt(qint64 offset, const QByteArray& bytes)
{
    const char* at = bytes.constData();
    qint64 left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::pwrite(fd_, at, std::size_t(left), offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error_ = Vexa::AtomicFile::failureText(path_, n < 0 ? errno : ENOSPC);
            return false;
        }
        at += n;
        left -= n;
        offset += n;
    }
    return true;
}

bool AviWriter::open(const QString& fileName, QSize frameSize, std::uint32_t frameMicroseconds)
{
    close();
    error_.clear();
    path_ = fileName.toStdString();
    fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd_ < 0) {
        error_ = Vexa::AtomicFile::failureText(path_, errno);
        return false;
    }
    size_ = frameSize;
    frameMicroseconds_ = frameMicroseconds;
    frames_ = largest_ = 0;
    index_.clear();
    end_ = framesStart;
    if (writeHeaders(end_))
        return true;
    ::close(fd_);
    fd_ = -1;
    return false;
}

// Everything before the first frame, for a file that ends at `fileEnd` and whose frames end at
// end_.
bool AviWriter::writeHeaders(qint64 fileEnd)
{
    QByteArray h;
    tag(h, "RIFF");
    u32(h, std::uint32_t(fileEnd - 8));
    tag(h, "AVI ");
    tag(h, "LIST");
    u32(h, hdrlLength);
    tag(h, "hdrl");
    tag(h, "avih");
    u32(h, avihLength);
    u32(h, frameMicroseconds_);
    u32(h, frameMicroseconds_ ? std::uint32_t(qint64(largest_) * 1000000 / frameMicroseconds_) : 0);
    u32(h, 0);          // padding granularity
    u32(h, 0x10);       // has an index
    u32(h, frames_);
    u32(h, 0);          // initial frames
    u32(h, 1);          // streams
    u32(h, largest_);   // suggested buffer size
    u32(h, std::uint32_t(size_.width()));
    u32(h, std::uint32_t(size_.height()));
    for (int i = 0; i < 4; ++i)
        u32(h, 0);
    tag(h, "LIST");
    u32(h, strlLength);
    tag(h, "strl");
    tag(h, "strh");
    u32(h, strhLength);
    tag(h, "vids");
    tag(h, "MJPG");
    u32(h, 0); // flags
    u16(h, 0); // priority
    u16(h, 0); // language
    u32(h, 0); // initial frames
    u32(h, frameMicroseconds_); // scale / rate = seconds per frame
    u32(h, 1000000);
    u32(h, 0); // start
    u32(h, frames_);
    u32(h, largest_);
    u32(h, 0xFFFFFFFF); // quality: default
    u32(h, 0);          // sample size
    u16(h, 0);
    u16(h, 0);
    u16(h, std::uint16_t(size_.width()));
    u16(h, std::uint16_t(size_.height()));
    tag(h, "strf");
    u32(h, strfLength);
    u32(h, strfLength);
    u32(h, std::uint32_t(size_.width()));
    u32(h, std::uint32_t(size_.height()));
    u16(h, 1);  // planes
    u16(h, 24); // bits per pixel
    tag(h, "MJPG");
    u32(h, std::uint32_t(size_.width() * size_.height() * 3));
    for (int i = 0; i < 4; ++i)
        u32(h, 0);
    tag(h, "LIST");
    u32(h, std::uint32_t(end_ - moviSizeAt - 4));
    tag(h, "movi");
    return writeAt(0, h);
}

bool AviWriter::addFrame(const QByteArray& jpeg)
{
    if (!isOpen() || jpeg.isEmpty() || end_ + jpeg.size() + 1024 + 16 * (frames_ + 1) > sizeLimit)
        return false;
    QByteArray chunk;
    tag(chunk, "00dc");
    u32(chunk, std::uint32_t(jpeg.size()));
    chunk.append(jpeg);
    if (jpeg.size() % 2)
        chunk.append('\0');
    if (!writeAt(end_, chunk)) {
        // What part of the frame got there goes again: the file ends after its last whole frame.
        if (::ftruncate(fd_, end_) != 0)
            error_ += " The end of the file could not be cut off.";
        return false;
    }
    index_.emplace_back(std::uint32_t(end_ - (moviSizeAt + 4)), std::uint32_t(jpeg.size()));
    end_ += chunk.size();
    ++frames_;
    largest_ = std::max(largest_, std::uint32_t(jpeg.size()));
    return writeHeaders(end_);
}

bool AviWriter::close()
{
    if (!isOpen())
        return error_.empty();
    QByteArray idx;
    tag(idx, "idx1");
    u32(idx, std::uint32_t(index_.size() * 16));
    for (const auto& [offset, size] : index_) {
        tag(idx, "00dc");
        u32(idx, 0x10); // key frame
        u32(idx, offset);
        u32(idx, size);
    }
    bool ok = error_.empty();
    if (writeAt(end_, idx)) {
        ok = writeHeaders(end_ + idx.size()) && ok;
    } else {
        // Without room for the index the file ends after its last frame, with headers to match.
        ok = false;
        const std::string reason = error_;
        if (::ftruncate(fd_, end_) != 0 || !writeHeaders(end_))
            error_ = reason + " The end of the file could not be mended.";
        else
            error_ = reason;
    }
    if (::fsync(fd_) != 0 && errno != EINVAL) {
        if (ok)
            error_ = Vexa::AtomicFile::failureText(path_, errno);
        ok = false;
    }
    if (::close(fd_) != 0 && errno != EINTR) {
        if (ok)
            error_ = Vexa::AtomicFile::failureText(path_, errno);
        ok = false;
    }
    fd_ = -1;
    return ok;
}
