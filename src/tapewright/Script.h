#pragma once
// A script read for playing. A DOM node costs hundreds of bytes (an element with attributes
// over two thousand), so a script held as a document took a hundred times its size, and an
// include kept every file above it as well. Here each step is kept compact - how many lines after
// the step before it starts, then its tag, attributes, texts and children as UTF-8 - about the
// size of its text, and
// becomes a DOM element only when it is played, one at a time.
//
// Reading follows the reader's rules (ScriptReader): root "Events" in any case, element
// children of the root as the steps, texts and comments as a DOM parser keeps them, and a file
// cut off before "</Events>" read up to its last whole step with one warning. It refuses, each
// with its report, what could not be held: a file larger than maxFileBytes, elements nested
// deeper than ScriptReader::maxNesting, one step of more than maxStepParts parts, an element with
// more than maxAttributes attributes, and a compact form larger than the memory it is allowed.
// The recorder writes nothing past these bounds (fits(), ScriptWriter), so every recording reads.
// It refuses as well what the recorder never writes and the bounds could not be held against: a
// text in any encoding but UTF-8 (naming the line of the first bytes that are no UTF-8), and a
// document type declaration (XmlGuard). A file whose device fails before its end, or that no
// thread can be started to read, is refused whole, not taken for a recording cut off.
#include "tapewright/XmlGuard.h"

#include <QByteArray>
#include <QDomDocument>
#include <QDomElement>
#include <QString>

class QIODevice;

class Script
{
public:
    // The compact form of a script takes about its size: four scripts of the largest size fit
    // into what may be held at once. Some hours of recorded mouse movement.
    static constexpr qint64 maxFileBytes = 256 * 1024 * 1024;
    // Elements, attributes, texts and comments of one step: a snapshot of a tree or list of some
    // fifty thousand rows. Its DOM element is built whole when it is played, some 800 bytes a
    // part: at most some 200 MB.
    static constexpr int maxStepParts = 250000;
    // Attributes of one element (XmlGuard).
    static constexpr int maxAttributes = XmlGuard::maxAttributes;
    // What the scripts played at once (a script and the files it is including) may hold.
    static constexpr qint64 maxHeldBytes = 1024 * 1024 * 1024;

    // A position in the steps: the next step to be read.
    struct Cursor
    {
        qsizetype offset = 0;
        qint64 line = 0;   // of the step before
    };

    // Reads a script file. What keeps it from being read is reported as a continuable error and
    // gives false. memoryLimit: the bytes its compact form may take.
    bool load(const QString& fileName, qint64 memoryLimit = maxHeldBytes);
    // Reads the bytes of a script in the same way; fileName names it.
    bool read(const QByteArray& data, const QString& fileName, qint64 memoryLimit = maxHeldBytes);
    // Reads a script from an open device as it goes; its size is looked at first.
    bool read(QIODevice* device, const QString& fileName, qint64 memoryLimit = maxHeldBytes);
    // Reads one element sent over the remote link: the root of its text is the one step. Nothing
    // is reported; on failure *problem says why.
    bool readPiece(const QByteArray& piece, QString* problem);

    // Whether an element, written as a step, is read back: within the bounds of parts, attributes
    // and nesting, also with `moreAttributes` still to be set on it.
    static bool fits(const QDomElement& element, int moreAttributes = 0);

    // Whether the last read failed because no thread could be started for it: the process is
    // out of resources, and a run that needs the file cannot go on.
    bool threadFailed() const { return threadFailed_; }

    QString fileName() const { return fileName_; }
    QString rootTag() const { return rootTag_; }
    int stepCount() const { return stepCount_; }
    qint64 memoryBytes() const { return steps_.capacity(); }

    bool atEnd(const Cursor& cursor) const { return cursor.offset >= steps_.size(); }
    // The step at the cursor as a new element, and the line it starts on; moves the cursor to
    // the next step. The element belongs to `document` when given.
    QDomElement step(Cursor& cursor, int* line = nullptr, QDomDocument* document = nullptr) const;

private:
    enum class Outcome {
        Read, CutOff, Malformed, TooLarge, TooDeep, TooManyParts, TooManyAttributes, TooBig, NotUtf8, DocumentType, Unreadable, NoThread
    };
    struct Result
    {
        Outcome outcome = Outcome::Read;
        QString message;   // the parser's for Malformed; what tells it for NotUtf8, Unreadable and NoThread
        qint64 line = 0;
    };
    Result parse(QIODevice* source, bool piece, qint64 memoryLimit);
    // parse() of a file, the windows painting meanwhile when it is large.
    Result parseAside(QIODevice* device, qint64 memoryLimit);
    bool finish(const Result& result, QIODevice* device, qint64 memoryLimit);

    QString fileName_;
    QString rootTag_;
    QByteArray steps_;
    int stepCount_ = 0;
    bool threadFailed_ = false;
    // Owner of the elements handed out; an element lives on after the script.
    mutable QDomDocument owner_;
};
