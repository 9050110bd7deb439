#include "tapewright/XmlGuard.h"

#include <QCoreApplication>
#include <QStringConverter>
#include <QStringList>
#include <QXmlStreamReader>

namespace {

QString translated(const char* text) { return QCoreApplication::translate("XmlGuard", text); }

}

XmlGuard::XmlGuard(QIODevice* source) : source_(source)
{
    open(ReadOnly | Unbuffered);
}

qint64 XmlGuard::readData(char* data, qint64 maxSize)
{
    if (refusal_ != Refusal::None || failed_)
        return -1;
    const qint64 n = source_->read(data, maxSize);
    if (n < 0) {
        failed_ = true;
        failure_ = source_->errorString();
        return -1;
    }
    bool accepted = true;
    for (qint64 i = 0; i < n && accepted; ++i) {
        at_ = taken_ + i;
        accepted = scan(data[i]);
    }
    // The text ends inside a character. Told as the last bytes are read: the reader takes a read
    // that completes no character for the end, and asks no more.
    if (accepted && needed_ > 0 && (n == 0 || (!source_->isSequential() && source_->atEnd())))
        accepted = refuseBytes(sequence_, true);
    if (accepted) {
        taken_ += n;
        return n;
    }
    // The bytes before a sequence that is no UTF-8 are handed on: the XML declaration among
    // them tells the encoding the text was meant to be in, which says more.
    const qint64 before = refusal_ == Refusal::NotUtf8 ? sequenceStart_ - taken_ : 0;
    if (before <= 0)
        return -1;
    taken_ += before;
    return before;
}

bool XmlGuard::scan(char c)
{
    // Before the line count: a sequence cut short by a line feed is on the line it began.
    if (!scanUtf8(uchar(c)))
        return false;
    if (c == '\n')
        ++line_;
    return markup(c);
}

bool XmlGuard::markup(char c)
{
    switch (state_) {
    case State::Text:
        if (c == '<') {
            state_ = State::Open;
            tagLine_ = line_;
        }
        return true;
    case State::Open:
        if (c == '!') {
            state_ = State::Bang;
            matched_ = 0;
        } else if (c == '?') {
            enter(State::Instruction);
        } else if (c == '/') {
            state_ = State::EndTag;
        } else {
            state_ = State::StartTag;
            attributes_ = 0;
            quote_ = 0;
            return markup(c);
        }
        return true;
    case State::Bang: {
        // "<!--" opens a comment, "<![CDATA[" a section; any other "<!" a declaration, which
        // outside a document type is one.
        static constexpr char comment[] = "--", cdata[] = "[CDATA[";
        if (matched_ == 0)
            pattern_ = c == '-' ? comment : c == '[' ? cdata : nullptr;
        if (!pattern_)
            return refuse(Refusal::DocumentType, tagLine_);
        if (c != pattern_[matched_]) {
            // Markup the reader stops at.
            state_ = State::Text;
        } else if (pattern_[++matched_] == '\0') {
            enter(pattern_ == comment ? State::Comment : State::CData);
        }
        return true;
    }
    case State::Comment:
    case State::CData:
        // "-->" and "]]>" close them.
        if (c == '>' && run_ >= 2)
            state_ = State::Text;
        run_ = c == (state_ == State::Comment ? '-' : ']') ? run_ + 1 : 0;
        return true;
    case State::Instruction:
        if (c == '>' && run_ >= 1)
            state_ = State::Text;
        run_ = c == '?' ? 1 : 0;
        return true;
    case State::EndTag:
        if (c == '>')
            state_ = State::Text;
        return true;
    case State::StartTag:
        if (quote_ != 0) {
            if (c == quote_)
                quote_ = 0;
        } else if (c == '"' || c == '\'') {
            quote_ = c;
        } else if (c == '=') {
            if (++attributes_ > maxAttributes)
                return refuse(Refusal::TooManyAttributes, tagLine_);
        } else if (c == '>') {
            state_ = State::Text;
        }
        return true;
    }
    return true;
}

bool XmlGuard::scanUtf8(uchar byte)
{
    if (needed_ > 0) {
        if (byte < lowest_ || byte > highest_)
            return refuseBytes(sequence_ + char(byte), false);
        sequence_ += char(byte);
        --needed_;
        lowest_ = 0x80;
        highest_ = 0xbf;
        return true;
    }
    sequenceStart_ = at_;
    if (byte < 0x80)
        return byte != 0 || refuseBytes(QByteArray(1, '\0'), false);
    sequence_ = QByteArray(1, char(byte));
    // The second byte's range keeps out overlong forms (after E0 and F0), surrogates (after ED)
    // and code points past U+10FFFF (after F4); C0, C1 and F5 to FF begin nothing.
    if (byte >= 0xc2 && byte <= 0xdf) {
        needed_ = 1;
    } else if (byte >= 0xe0 && byte <= 0xef) {
        needed_ = 2;
        if (byte == 0xe0)
            lowest_ = 0xa0;
        else if (byte == 0xed)
            highest_ = 0x9f;
    } else if (byte >= 0xf0 && byte <= 0xf4) {
        needed_ = 3;
        if (byte == 0xf0)
            lowest_ = 0x90;
        else if (byte == 0xf4)
            highest_ = 0x8f;
    } else {
        return refuseBytes(sequence_, false);
    }
    return true;
}

bool XmlGuard::admit(const QXmlStreamReader& reader)
{
    // What the reader read before bytes the scan refused is no longer of use.
    if (refusal_ != Refusal::None && reader.tokenType() != QXmlStreamReader::StartDocument)
        return false;
    switch (reader.tokenType()) {
    case QXmlStreamReader::StartDocument: {
        // The reader decodes what follows its declaration in the encoding it names, which this
        // scan would not follow.
        const QString encoding = reader.documentEncoding().toString();
        if (!encoding.isEmpty() && QStringConverter::encodingForName(encoding.toLatin1().constData()) != QStringConverter::Utf8) {
            notUtf8Reason_ = translated("it declares the encoding '%1'").arg(encoding);
            return refuse(Refusal::NotUtf8, reader.lineNumber());
        }
        return refusal_ == Refusal::None;
    }
    case QXmlStreamReader::DTD:
        return refuse(Refusal::DocumentType, reader.lineNumber());
    case QXmlStreamReader::StartElement:
        if (reader.attributes().size() > maxAttributes)
            return refuse(Refusal::TooManyAttributes, reader.lineNumber());
        if (++depth_ > maxNesting)
            return refuse(Refusal::TooDeep, 0);
        return true;
    case QXmlStreamReader::EndElement:
        --depth_;
        return true;
    default:
        return true;
    }
}

bool XmlGuard::refuse(Refusal refusal, qint64 line)
{
    refusal_ = refusal;
    refusedLine_ = line;
    return false;
}

bool XmlGuard::refuseBytes(const QByteArray& bytes, bool atEnd)
{
    QStringList hex;
    for (const char byte : bytes)
        hex << QStringLiteral("0x%1").arg(uint(uchar(byte)), 2, 16, QLatin1Char('0'));
    if (atEnd)
        notUtf8Reason_ = translated("it ends inside a character, after the bytes %1 on line %2").arg(hex.join(QLatin1Char(' '))).arg(line_);
    else if (bytes.size() == 1)
        notUtf8Reason_ = translated("it holds the byte %1 on line %2").arg(hex.first()).arg(line_);
    else
        notUtf8Reason_ = translated("it holds the bytes %1 on line %2").arg(hex.join(QLatin1Char(' '))).arg(line_);
    return refuse(Refusal::NotUtf8, line_);
}
