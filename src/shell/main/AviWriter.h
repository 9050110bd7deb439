#pragma once
// A Motion-JPEG AVI file written frame by frame. After every frame the headers (sizes and frame
// count) are brought up to date, so a file whose writer was killed still plays up to its last
// whole frame; `close` adds the index and syncs the file. Every write is checked: a frame that
// does not fit (a full disk) is cut off again, so the file still ends after its last whole frame
// and plays. A file stops taking frames before the plain AVI size limit (1 GiB of frames):
// `isFull` tells the caller to start the next file.
#include <QByteArray>
#include <QSize>
#include <QString>
#include <cstdint>
#include <string>
#include <vector>

class AviWriter
{
public:
    static constexpr qint64 sizeLimit = qint64(1) << 30;

    AviWriter() = default;
    ~AviWriter();
    AviWriter(const AviWriter&) = delete;
    AviWriter& operator=(const AviWriter&) = delete;

    // frameMicroseconds: the time of one frame. False when the file cannot be made or written.
    bool open(const QString& fileName, QSize frameSize, std::uint32_t frameMicroseconds);
    bool isOpen() const { return fd_ >= 0; }
    // One JPEG picture as the next frame; false on a write error or when the file is full.
    bool addFrame(const QByteArray& jpeg);
    // True once another frame as large as the largest so far might not fit.
    bool isFull() const { return isOpen() && end_ + largest_ + 1024 + 16 * (frames_ + 1) > sizeLimit; }
    std::uint32_t frameCount() const { return frames_; }
    // Writes the index and the final headers and syncs the file. When the index does not fit the
    // file ends after its last frame, which players find without an index. False when anything
    // of the file could not be written.
    bool close();
    // Why the last write failed ("" when none did).
    const std::string& errorText() const { return error_; }

private:
    bool writeAt(qint64 offset, const QByteArray& bytes);
    bool writeHeaders(qint64 fileEnd);

    int fd_ = -1;
    std::string path_;
    std::string error_;
    QSize size_;
    std::uint32_t frameMicroseconds_ = 0;
    std::uint32_t frames_ = 0;
    std::uint32_t largest_ = 0;
    qint64 end_ = 0; // where the last whole frame ends
    std::vector<std::pair<std::uint32_t, std::uint32_t>> index_; // offset from "movi", size
};
