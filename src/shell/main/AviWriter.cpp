#include "shell/main/AviWriter.h"

#include <QtEndian>

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

}

AviWriter::~AviWriter()
{
    close();
}

bool AviWriter::open(const QString& fileName, QSize frameSize, std::uint32_t frameMicroseconds)
{
    close();
    file_.setFileName(fileName);
    if (!file_.open(QIODevice::ReadWrite | QIODevice::Truncate))
        return false;
    size_ = frameSize;
    frameMicroseconds_ = frameMicroseconds;
    frames_ = largest_ = 0;
    index_.clear();
    writeHeaders();
    QByteArray movi;
    tag(movi, "LIST");
    u32(movi, 4);
    tag(movi, "movi");
    moviStart_ = file_.pos() + 4;
    return file_.write(movi) == movi.size() && file_.flush();
}

void AviWriter::writeHeaders()
{
    const qint64 end = file_.size();
    const std::uint32_t riffLength = end > 12 ? std::uint32_t(end - 8) : 4 + 8 + hdrlLength;
    QByteArray h;
    tag(h, "RIFF");
    u32(h, riffLength);
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
    const qint64 at = file_.pos();
    file_.seek(0);
    file_.write(h);
    if (moviStart_) {
        QByteArray movi;
        u32(movi, std::uint32_t(std::max<qint64>(at, file_.size()) - moviStart_ - 4));
        file_.seek(moviStart_);
        file_.write(movi);
    }
    file_.seek(at > h.size() ? at : h.size());
}

bool AviWriter::addFrame(const QByteArray& jpeg)
{
    if (!file_.isOpen() || jpeg.isEmpty() || file_.pos() + jpeg.size() + 1024 + 16 * (frames_ + 1) > sizeLimit)
        return false;
    QByteArray chunk;
    tag(chunk, "00dc");
    u32(chunk, std::uint32_t(jpeg.size()));
    chunk.append(jpeg);
    if (jpeg.size() % 2)
        chunk.append('\0');
    const qint64 offset = file_.pos() - (moviStart_ + 4);
    if (file_.write(chunk) != chunk.size())
        return false;
    index_.emplace_back(std::uint32_t(offset), std::uint32_t(jpeg.size()));
    ++frames_;
    largest_ = std::max(largest_, std::uint32_t(jpeg.size()));
    writeHeaders();
    return file_.flush();
}

bool AviWriter::close()
{
    if (!file_.isOpen())
        return true;
    QByteArray idx;
    tag(idx, "idx1");
    u32(idx, std::uint32_t(index_.size() * 16));
    for (const auto& [offset, size] : index_) {
        tag(idx, "00dc");
        u32(idx, 0x10); // key frame
        u32(idx, offset);
        u32(idx, size);
    }
    // The movi list ends where the index begins.
    QByteArray movi;
    u32(movi, std::uint32_t(file_.size() - moviStart_ - 4));
    file_.seek(moviStart_);
    file_.write(movi);
    file_.seek(file_.size());
    bool ok = file_.write(idx) == idx.size();
    moviStart_ = 0;
    writeHeaders();
    ok = file_.flush() && ok;
    file_.close();
    return ok;
}
