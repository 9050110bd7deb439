#include "tapewright/Script.h"

#include "tapewright/ErrorReport.h"
#include "tapewright/ScriptReader.h"
#include "tapewright/TapewrightUtil.h"
#include "tapewright/XmlGuard.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QThread>
#include <QXmlStreamReader>
#include <algorithm>
#include <cerrno>
#include <sys/stat.h>
#include <exception>
#include <new>
#include <system_error>
#include <thread>

// The compact form of a step: the lines from the start of the step before (or of the text) to its
// start, then its element. An element is 'S', its
// tag, the number of its attributes, each attribute's name and value, its children, and 'E'.
// Other children: 'T' text, 'D' CDATA section, 'M' comment, 'P' processing instruction (target
// and data), 'R' entity reference. Numbers are unsigned LEB128, texts their UTF-8 length and bytes.
namespace {

QString tr(const char* text) { return QCoreApplication::translate("ScriptReader", text); }

constexpr qint64 mebibyte = 1024 * 1024;

void putNumber(QByteArray& out, quint64 value)
{
    while (value >= 0x80) {
        out.append(char(value | 0x80));
        value >>= 7;
    }
    out.append(char(value));
}

void putText(QByteArray& out, QStringView text)
{
    const QByteArray utf8 = text.toUtf8();
    putNumber(out, quint64(utf8.size()));
    out.append(utf8);
}

quint64 takeNumber(const char*& p)
{
    quint64 value = 0;
    for (int shift = 0;; shift += 7) {
        const auto byte = uchar(*p++);
        value |= quint64(byte & 0x7f) << shift;
        if (!(byte & 0x80))
            return value;
    }
}

QString takeText(const char*& p)
{
    const auto size = qsizetype(takeNumber(p));
    const QString text = QString::fromUtf8(p, size);
    p += size;
    return text;
}

QDomElement takeElement(const char*& p, QDomDocument& owner)
{
    ++p;   // 'S'
    QDomElement element = owner.createElement(takeText(p));
    for (auto count = takeNumber(p); count > 0; --count) {
        const QString name = takeText(p);
        element.setAttribute(name, takeText(p));
    }
    for (;;) {
        switch (*p) {
        case 'E':
            ++p;
            return element;
        case 'S':
            element.appendChild(takeElement(p, owner));
            break;
        case 'T':
            element.appendChild(owner.createTextNode(takeText(++p)));
            break;
        case 'D':
            element.appendChild(owner.createCDATASection(takeText(++p)));
            break;
        case 'M':
            element.appendChild(owner.createComment(takeText(++p)));
            break;
        case 'P': {
            const QString target = takeText(++p);
            element.appendChild(owner.createProcessingInstruction(target, takeText(p)));
            break;
        }
        default:   // 'R'
            element.appendChild(owner.createEntityReference(takeText(++p)));
            break;
        }
    }
}

// Elements, attributes and other nodes of an element, as the reader counts them (blank texts
// too, which it leaves out); -1 past the bounds.
qint64 partsWithin(const QDomElement& element, int depth, int moreAttributes = 0)
{
    const int attributes = element.attributes().count() + moreAttributes;
    if (depth > ScriptReader::maxNesting || attributes > Script::maxAttributes)
        return -1;
    qint64 parts = 1 + attributes;
    for (QDomNode child = element.firstChild(); !child.isNull() && parts <= Script::maxStepParts; child = child.nextSibling()) {
        const qint64 more = child.isElement() ? partsWithin(child.toElement(), depth + 1) : 1;
        if (more < 0)
            return -1;
        parts += more;
    }
    return parts <= Script::maxStepParts ? parts : -1;
}

void reportTooLarge(const QString& fileName)
{
    reportError(true, tr("File '%1' is larger than %2 MiB, the limit for a script; it is not read")
                          .arg(fileName).arg(Script::maxFileBytes / mebibyte));
}

}

bool Script::load(const QString& fileName, qint64 memoryLimit)
{
    fileName_ = fileName;
    QFile file(fileName);
    QString why;
    if (!TapewrightUtil::openRegularFile(file, QIODevice::ReadOnly, &why)) {
        // Only a name that leads nowhere does not exist: a loop of links, a folder that may not be
        // searched, a FIFO or a device are there, and the reason says what keeps them from being read.
        struct stat entry;
        if (::lstat(QFile::encodeName(fileName).constData(), &entry) != 0 && errno == ENOENT)
            reportError(true, tr("File '%1' doesn't exist").arg(fileName));
        else
            reportError(true, tr("Couldn't open file '%1': %2").arg(fileName, why));
        return false;
    }
    if (file.size() > maxFileBytes) {
        reportTooLarge(fileName);
        return false;
    }
    return finish(parseAside(&file, memoryLimit), &file, memoryLimit);
}

bool Script::read(const QByteArray& data, const QString& fileName, qint64 memoryLimit)
{
    fileName_ = fileName;
    if (data.size() > maxFileBytes) {
        reportTooLarge(fileName);
        return false;
    }
    QBuffer buffer;
    buffer.setData(data);
    buffer.open(QIODevice::ReadOnly);
    return finish(parse(&buffer, false, memoryLimit), &buffer, memoryLimit);
}

bool Script::read(QIODevice* device, const QString& fileName, qint64 memoryLimit)
{
    fileName_ = fileName;
    if (!device->isSequential() && device->size() > maxFileBytes) {
        reportTooLarge(fileName);
        return false;
    }
    return finish(parseAside(device, memoryLimit), device, memoryLimit);
}

bool Script::fits(const QDomElement& element, int moreAttributes)
{
    // Below the root.
    return partsWithin(element, 2, moreAttributes) >= 0;
}

bool Script::readPiece(const QByteArray& piece, QString* problem)
{
    QBuffer buffer;
    buffer.setData(piece);
    buffer.open(QIODevice::ReadOnly);
    const Result result = parse(&buffer, true, maxHeldBytes);
    switch (result.outcome) {
    case Outcome::Read:
        if (stepCount_ == 1)
            return true;
        *problem = tr("does not parse (no element)");
        return false;
    case Outcome::TooDeep:
        *problem = tr("nests deeper than %1 levels").arg(ScriptReader::maxNesting);
        return false;
    case Outcome::TooManyParts:
        *problem = tr("holds more than %1 elements, attributes and texts").arg(maxStepParts);
        return false;
    case Outcome::TooManyAttributes:
        *problem = tr("has an element with more than %1 attributes").arg(maxAttributes);
        return false;
    case Outcome::NotUtf8:
        *problem = tr("is not encoded in UTF-8 (%1)").arg(result.message);
        return false;
    case Outcome::DocumentType:
        *problem = tr("has a document type declaration");
        return false;
    default:
        *problem = tr("does not parse (line %1: %2)").arg(result.line).arg(result.message);
        return false;
    }
}

Script::Result Script::parseAside(QIODevice* device, qint64 memoryLimit)
{
    // Some 30 MB a second, an enciphered file 5: a large one is read in a thread of its own while
    // the windows go on painting (input waits), so that the program does not look hung. A small
    // one is read at once.
    constexpr qint64 readAsideBytes = 4 * mebibyte;
    // What the device or the memory throws is why the file is not read, in either way of
    // reading it: out of the reading thread it would end the program.
    const auto parseCaught = [&]() -> Result {
        try {
            return parse(device, false, memoryLimit);
        } catch (const std::bad_alloc&) {
            return {Outcome::Unreadable, tr("there is not enough memory"), 0};
        } catch (const std::exception& e) {
            return {Outcome::Unreadable, QString::fromLocal8Bit(e.what()), 0};
        } catch (...) {
            return {Outcome::Unreadable, tr("an exception of unknown kind"), 0};
        }
    };
    if (device->isSequential() || device->size() < readAsideBytes || !QCoreApplication::instance()
        || QThread::currentThread() != QCoreApplication::instance()->thread())
        return parseCaught();
    Result result;
    QEventLoop loop;
    std::thread reader;
    try {
        reader = std::thread([&] {
            result = parseCaught();
            QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
        });
    } catch (const std::system_error& e) {
        // The process is out of threads (or of the memory for one): it can start no other.
        return {Outcome::NoThread, QString::fromLocal8Bit(e.code().message().c_str()), 0};
    }
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    reader.join();
    return result;
}

Script::Result Script::parse(QIODevice* source, bool piece, qint64 memoryLimit)
{
    steps_.clear();
    stepCount_ = 0;
    rootTag_.clear();
    // About the size of the text; squeezed to what it took at the end.
    const qint64 size = source->isSequential() ? 0 : source->size();
    steps_.reserve(qsizetype(std::min(size + size / 8 + 64, memoryLimit + 1)));
    XmlGuard device(source);
    QXmlStreamReader reader(&device);
    reader.setNamespaceProcessing(false);
    const int stepDepth = piece ? 1 : 2;
    int depth = 0;
    int parts = 0;
    qsizetype stepStart = 0;
    qint64 stepLine = 0, lastLine = 0;
    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        // A file that grew since its size was looked at.
        if (!piece && device.taken() > maxFileBytes)
            return {Outcome::TooLarge, QString(), 0};
        // The scan's bounds hold also for what passed it: the encoding a declaration names, a
        // document type, attributes and nesting as the reader returns them.
        if (!device.admit(reader))
            break;
        // Texts, comments and instructions outside the steps are no steps; white space inside
        // them is no text (a CDATA section is), as Qt's DOM parser has it.
        if (depth < stepDepth && token != QXmlStreamReader::StartElement && token != QXmlStreamReader::EndElement)
            continue;
        switch (token) {
        case QXmlStreamReader::StartElement: {
            if (++depth == 1)
                rootTag_ = reader.qualifiedName().toString();
            if (depth < stepDepth) {
                if (rootTag_.toLower() != QLatin1String("events"))
                    return {Outcome::Read, QString(), 0};
                continue;
            }
            if (depth == stepDepth) {
                stepStart = steps_.size();
                stepLine = reader.lineNumber();
                parts = 0;
                putNumber(steps_, quint64(stepLine - lastLine));
            }
            const QXmlStreamAttributes attributes = reader.attributes();
            parts += 1 + int(attributes.size());
            steps_.append('S');
            putText(steps_, reader.qualifiedName());
            putNumber(steps_, quint64(attributes.size()));
            for (const QXmlStreamAttribute& attribute : attributes) {
                putText(steps_, attribute.qualifiedName());
                putText(steps_, attribute.value());
            }
            break;
        }
        case QXmlStreamReader::EndElement:
            if (depth >= stepDepth) {
                steps_.append('E');
                if (depth == stepDepth) {
                    ++stepCount_;
                    lastLine = stepLine;
                }
            }
            --depth;
            break;
        case QXmlStreamReader::Characters:
            if (!reader.isCDATA() && (reader.isWhitespace() || reader.text().trimmed().isEmpty()))
                continue;
            ++parts;
            steps_.append(reader.isCDATA() ? 'D' : 'T');
            putText(steps_, reader.text());
            break;
        case QXmlStreamReader::Comment:
            ++parts;
            steps_.append('M');
            putText(steps_, reader.text());
            break;
        case QXmlStreamReader::ProcessingInstruction:
            ++parts;
            steps_.append('P');
            putText(steps_, reader.processingInstructionTarget());
            putText(steps_, reader.processingInstructionData());
            break;
        case QXmlStreamReader::EntityReference:
            ++parts;
            steps_.append('R');
            putText(steps_, reader.name());
            break;
        default:
            continue;
        }
        if (parts > maxStepParts)
            return {Outcome::TooManyParts, QString(), stepLine};
        if (steps_.size() > memoryLimit)
            return {Outcome::TooBig, QString(), 0};
    }
    switch (device.refusal()) {
    case XmlGuard::Refusal::NotUtf8:
        return {Outcome::NotUtf8, device.notUtf8Reason(), 0};
    case XmlGuard::Refusal::DocumentType:
        return {Outcome::DocumentType, QString(), device.refusedLine()};
    case XmlGuard::Refusal::TooManyAttributes:
        return {Outcome::TooManyAttributes, QString(), device.refusedLine()};
    case XmlGuard::Refusal::TooDeep:
        return {Outcome::TooDeep, QString(), 0};
    case XmlGuard::Refusal::None:
        break;
    }
    // Not the end of a recording cut off: what follows could not be read.
    if (device.failed())
        return {Outcome::Unreadable, device.failure(), 0};
    if (reader.hasError()) {
        // A recording that ended abruptly: its steps up to the last whole one.
        if (!piece && depth >= 1 && reader.error() == QXmlStreamReader::PrematureEndOfDocumentError) {
            if (depth >= stepDepth)
                steps_.truncate(stepStart);
            return {Outcome::CutOff, QString(), 0};
        }
        return {Outcome::Malformed, reader.errorString(), reader.lineNumber()};
    }
    return {Outcome::Read, QString(), 0};
}

bool Script::finish(const Result& result, QIODevice* device, qint64 memoryLimit)
{
    threadFailed_ = result.outcome == Outcome::NoThread;
    const bool read = result.outcome == Outcome::Read || result.outcome == Outcome::CutOff;
    if (read && rootTag_.toLower() != QLatin1String("events")) {
        reportError(true, tr("Top element of file '%1' was not 'Events'. Element was '%2'").arg(fileName_, rootTag_));
    } else if (result.outcome == Outcome::CutOff) {
        reportError(true, tr("File '%1' ends without '</Events>'; the elements before its end are read").arg(fileName_));
    } else if (result.outcome == Outcome::Malformed) {
        QString error = tr("Error reading file '%1' on line %2. Error was: '%3'").arg(fileName_).arg(result.line).arg(result.message);
        // XML names cannot hold "::": a script written in that spelling never reads. The parser
        // stops at the first such tag, on the line it names.
        device->seek(0);
        QByteArray line;
        for (qint64 number = 1; number <= result.line && !device->atEnd(); ++number)
            line = device->readLine();
        static const QRegularExpression colons(QStringLiteral("<\\s*[A-Za-z_][A-Za-z0-9_.-]*::"));
        if (colons.match(QString::fromUtf8(line)).hasMatch())
            error += tr(". Adapter elements are written 'Class..operation', not 'Class::operation'");
        reportError(true, error);
    } else if (result.outcome == Outcome::TooLarge) {
        reportTooLarge(fileName_);
    } else if (result.outcome == Outcome::TooDeep) {
        reportError(true, tr("File '%1' nests its elements deeper than %2 levels; it is not read").arg(fileName_).arg(ScriptReader::maxNesting));
    } else if (result.outcome == Outcome::TooManyParts) {
        reportError(true, tr("File '%1' has an element on line %2 that holds more than %3 elements, attributes and texts; it is not read")
                              .arg(fileName_).arg(result.line).arg(maxStepParts));
    } else if (result.outcome == Outcome::TooManyAttributes) {
        reportError(true, tr("File '%1' has an element on line %2 with more than %3 attributes; it is not read")
                              .arg(fileName_).arg(result.line).arg(maxAttributes));
    } else if (result.outcome == Outcome::NotUtf8) {
        reportError(true, tr("File '%1' is not encoded in UTF-8 (%2); it is not read").arg(fileName_, result.message));
    } else if (result.outcome == Outcome::DocumentType) {
        reportError(true, tr("File '%1' has a document type declaration on line %2, which a script may not have; it is not read")
                              .arg(fileName_).arg(result.line));
    } else if (result.outcome == Outcome::NoThread) {
        reportError(true, tr("File '%1' could not be read: no thread could be started to read it (%2); none of it is read").arg(fileName_, result.message));
    } else if (result.outcome == Outcome::Unreadable) {
        reportError(true, tr("File '%1' could not be read to its end: %2; none of it is read").arg(fileName_, result.message));
    } else if (result.outcome == Outcome::TooBig) {
        reportError(true, tr("File '%1' needs more than the %2 MiB left of the %3 MiB that the scripts played at once may hold; "
                             "it is not read")
                              .arg(fileName_).arg(double(memoryLimit) / mebibyte, 0, 'f', 1).arg(maxHeldBytes / mebibyte));
    }
    if (!read || rootTag_.toLower() != QLatin1String("events")) {
        steps_ = QByteArray();
        stepCount_ = 0;
        return false;
    }
    steps_.squeeze();
    return true;
}

QDomElement Script::step(Cursor& cursor, int* line, QDomDocument* document) const
{
    const char* p = steps_.constData() + cursor.offset;
    cursor.line += qint64(takeNumber(p));
    if (line)
        *line = int(cursor.line);
    QDomElement element = takeElement(p, document ? *document : owner_);
    cursor.offset = p - steps_.constData();
    return element;
}
