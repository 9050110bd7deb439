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
// deeper than ScriptReader::maxNesting, one step of more than maxStepParts parts, and a compact
// form larger than the memory it is allowed.
#include <QByteArray>
#include <QDomDocument>
#include <QDomElement>
#include <QString>

class QIODevice;

class Script
{
public:
    static constexpr qint64 maxFileBytes = 64 * 1024 * 1024;
    // Elements, attributes, texts and comments of one step: a snapshot of a tree or list of some
    // twenty thousand items. Its DOM element is built whole when it is played.
    static constexpr int maxStepParts = 100000;
    // What the scripts played at once (a script and the files it is including) may hold: ten
    // scripts of the largest size.
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
    // Reads the bytes of a script (a device's content) in the same way; fileName names it.
    bool read(const QByteArray& data, const QString& fileName, qint64 memoryLimit = maxHeldBytes);
    // Reads one element sent over the remote link: the root of its text is the one step. Nothing
    // is reported; on failure *problem says why.
    bool readPiece(const QByteArray& piece, QString* problem);

    QString fileName() const { return fileName_; }
    QString rootTag() const { return rootTag_; }
    int stepCount() const { return stepCount_; }
    qint64 memoryBytes() const { return steps_.capacity(); }

    bool atEnd(const Cursor& cursor) const { return cursor.offset >= steps_.size(); }
    // The step at the cursor as a new element, and the line it starts on; moves the cursor to
    // the next step. The element belongs to `document` when given.
    QDomElement step(Cursor& cursor, int* line = nullptr, QDomDocument* document = nullptr) const;

private:
    enum class Outcome { Read, CutOff, Malformed, TooLarge, TooDeep, TooManyParts, TooBig };
    struct Result
    {
        Outcome outcome = Outcome::Read;
        QString message;   // the parser's, for Malformed
        qint64 line = 0;
    };
    Result parse(QIODevice* device, bool piece, qint64 memoryLimit);
    bool finish(const Result& result, QIODevice* device, qint64 memoryLimit);

    QString fileName_;
    QString rootTag_;
    QByteArray steps_;
    int stepCount_ = 0;
    // Owner of the elements handed out; an element lives on after the script.
    mutable QDomDocument owner_;
};
