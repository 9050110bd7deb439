#pragma once
// A Motion-JPEG AVI file written frame by frame. After every frame the headers (sizes and frame
// count) are brought up to date and the file flushed, so a file whose writer was killed still
// plays up to its last whole frame; `close` adds the index. A file stops taking frames before
// the plain AVI size limit (1 GiB of frames): `isFull` tells the caller to start the next file.
#include <QByteArray>
#include <QFile>
#include <QSize>
#include <cstdint>
#include <vector>

class AviWriter
{
public:
    static constexpr qint64 sizeLimit = qint64(1) << 30;

    AviWriter() = default;
    ~AviWriter();
    AviWriter(const AviWriter&) = delete;
    AviWriter& operator=(const AviWriter&) = delete;

    // frameMicroseconds: the time of one frame. False when the file cannot be created.
    bool open(const QString& fileName, QSize frameSize, std::uint32_t frameMicroseconds);
    bool isOpen() const { return file_.isOpen(); }
    // One JPEG picture as the next frame; false on a write error or when the file is full.
    bool addFrame(const QByteArray& jpeg);
    // True once another frame as large as the largest so far might not fit.
    bool isFull() const { return file_.isOpen() && file_.pos() + largest_ + 1024 + 16 * (frames_ + 1) > sizeLimit; }
    std::uint32_t frameCount() const { return frames_; }
    // Writes the index and the final headers.
    bool close();

private:
    void writeHeaders();

    QFile file_;
    QSize size_;
    std::uint32_t frameMicroseconds_ = 0;
    std::uint32_t frames_ = 0;
    std::uint32_t largest_ = 0;
    qint64 moviStart_ = 0; // offset of the "movi" list's size field
    std::vector<std::pair<std::uint32_t, std::uint32_t>> index_; // offset from "movi", size
};
