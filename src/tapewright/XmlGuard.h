#pragma once
// The bounds of every XML text the component reads from a file (scripts and configuration
// files), kept before the XML reader spends time or memory on what breaks them. The reader
// checks an element's attributes against each other, which takes the square of their number; a
// document type's attribute defaults and entities add attributes and elements that the text does
// not show; and a DOM of deeply nested elements takes the square of their depth to build (50,000
// levels some 20 s) and overflows the stack deeper still.
//
// A device in front of the reader: it hands on the text of its source and withholds the piece of
// text that holds one of these, or from the bytes that are no UTF-8 on (the reader takes that for
// the end of the text):
// - bytes that are no UTF-8: a byte UTF-8 never has, a sequence cut short (also at the end of the
//   text), an overlong form, a surrogate or a code point past U+10FFFF; and 0x00, which every
//   ASCII character of UTF-16 and UTF-32 text holds. The reader would count lines and decode
//   characters otherwise than this scan reads bytes;
// - a document type declaration;
// - a start tag with more than maxAttributes attributes.
// A lexical scan in one pass: it follows tags, quoted values, comments, CDATA sections and
// instructions well enough to count the "=" of each start tag outside its quoted values, and
// counts lines as it goes, so that a refusal names the line of the byte or tag. What the reader
// returns is looked at as well (admit): the encoding its declaration names, a document type, an
// element's attributes and how deep elements nest; once anything is refused, no token is
// admitted. A read error of the source is kept apart from its end.
#include <QByteArray>
#include <QIODevice>
#include <QString>

class QXmlStreamReader;

class XmlGuard : public QIODevice
{
public:
    // A recorded element has a few dozen attributes at most (a tree's snapshot one a column), a
    // configuration's root seventeen.
    static constexpr int maxAttributes = 64;
    // A script's root, a step's element and a snapshot of a tree 64 levels deep (deeper levels
    // are not played), with room to spare.
    static constexpr int maxNesting = 128;

    enum class Refusal { None, NotUtf8, DocumentType, TooManyAttributes, TooDeep };

    explicit XmlGuard(QIODevice* source);

    bool isSequential() const override { return true; }

    // Looks at the token the reader has just read; false (and the refusal set) when it breaks a
    // bound. Called after each readNext().
    bool admit(const QXmlStreamReader& reader);

    Refusal refusal() const { return refusal_; }
    // The line of the refused bytes, tag or declaration (0 for TooDeep).
    qint64 refusedLine() const { return refusedLine_; }
    // Why a text is no UTF-8, in words: "it holds the byte 0xff on line 3", "it declares the
    // encoding 'UTF-7'".
    QString notUtf8Reason() const { return notUtf8Reason_; }
    // Whether the source failed to read, and what it said.
    bool failed() const { return failed_; }
    QString failure() const { return failure_; }
    // The bytes taken from the source so far.
    qint64 taken() const { return taken_; }

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    enum class State { Text, Open, Bang, Comment, CData, Instruction, EndTag, StartTag };

    // False when the byte is refused.
    bool scan(char c);
    bool markup(char c);
    bool scanUtf8(uchar byte);
    bool refuse(Refusal refusal, qint64 line);
    bool refuseBytes(const QByteArray& bytes, bool atEnd);
    void enter(State state)
    {
        state_ = state;
        run_ = 0;
    }

    QIODevice* source_;
    State state_ = State::Text;
    const char* pattern_ = nullptr;
    int matched_ = 0;
    int run_ = 0;
    int attributes_ = 0;
    char quote_ = 0;
    // The UTF-8 sequence begun: where it starts in the text, its bytes so far, how many more it
    // needs and the range the next one must lie in.
    qint64 at_ = 0;   // the byte being scanned
    qint64 sequenceStart_ = 0;
    QByteArray sequence_;
    int needed_ = 0;
    uchar lowest_ = 0x80, highest_ = 0xbf;
    int depth_ = 0;
    qint64 line_ = 1;
    qint64 tagLine_ = 1;
    qint64 taken_ = 0;
    Refusal refusal_ = Refusal::None;
    qint64 refusedLine_ = 0;
    QString notUtf8Reason_;
    bool failed_ = false;
    QString failure_;
};
