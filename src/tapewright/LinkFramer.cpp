#include "tapewright/LinkFramer.h"

const char LinkFramer::separator[] = "-+-*-+-*-";

QByteArray LinkFramer::frame(const QByteArray& elementText)
{
    QByteArray bytes = elementText;
    if (!bytes.endsWith('\n'))
        bytes += '\n';
    bytes += " -+-*-+-*- \n";
    return bytes;
}

QList<QByteArray> LinkFramer::feed(const QByteArray& bytes)
{
    QList<QByteArray> pieces;
    if (overflowed_)
        return pieces;
    buffer_ += bytes;
    qsizetype pieceStart = 0;
    for (qsizetype i = scanned_; i < buffer_.size(); ++i) {
        if (buffer_[i] != '\n')
            continue;
        const QByteArray line = QByteArray::fromRawData(buffer_.constData() + lineStart_, i - lineStart_).trimmed();
        if (line == separator) {
            pieces.append(buffer_.mid(pieceStart, lineStart_ - pieceStart));
            pieceStart = i + 1;
        }
        lineStart_ = i + 1;
    }
    buffer_.remove(0, pieceStart);
    lineStart_ -= pieceStart;
    scanned_ = buffer_.size();
    if (buffer_.size() > maxPieceBytes) {
        overflowed_ = true;
        buffer_.clear();
        lineStart_ = scanned_ = 0;
    }
    return pieces;
}

bool LinkFramer::holdsText() const
{
    return !buffer_.trimmed().isEmpty();
}
