#pragma once
// The framing of script elements on the remote link. The sender writes each element's text and
// then the separator " -+-*-+-*- " on a line of its own. The receiver cuts the byte stream into
// pieces at such lines only: a separator inside an attribute value or text never cuts, since the
// writer escapes no dashes but always starts the separator on a fresh line. Bytes are kept
// undecoded until a piece is whole, so a character split between reads arrives intact. A piece
// that grows beyond maxPieceBytes without a separator puts the framer into the overflow state:
// the peer is not speaking the protocol and the link must be closed.
#include <QByteArray>
#include <QList>

class LinkFramer
{
public:
    // The largest element the recorder writes (a snapshot of Script::maxStepParts parts, some ten
    // megabytes) with room to spare.
    static constexpr qsizetype maxPieceBytes = 16 * 1024 * 1024;
    static const char separator[];

    // The bytes that carry one element: its text, a line end if missing, and the separator line.
    static QByteArray frame(const QByteArray& elementText);

    // Appends received bytes and returns the pieces they completed, in order. Nothing more is
    // returned once the framer overflowed.
    QList<QByteArray> feed(const QByteArray& bytes);
    bool overflowed() const { return overflowed_; }
    // Bytes of the unfinished piece.
    qsizetype pending() const { return buffer_.size(); }
    // Whether the unfinished piece holds more than white space: half an element when the link
    // ends here.
    bool holdsText() const;

private:
    QByteArray buffer_;
    qsizetype lineStart_ = 0;   // where the line being scanned starts in buffer_
    qsizetype scanned_ = 0;     // bytes of buffer_ already scanned for line ends
    bool overflowed_ = false;
};
