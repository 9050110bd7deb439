#pragma once
// The player's text output: printed properties and the output of external commands, one flushed
// line each, into a file or to standard output. A file that cannot be opened, or that takes no
// more lines (a full disk), is reported and the lines go to standard output instead of being
// lost; the file keeps its whole lines. The file is synced when it is closed.
#include <QPointer>
#include <QString>
#include <memory>

class QDomElement;
class QFile;
class QIODevice;
class QObject;

class PlayBackOutput
{
public:
    PlayBackOutput();
    ~PlayBackOutput();

    // A null name means standard output.
    void open(const QString& fileName);
    // Writes the lines to a device that stays its owner's (the remote link).
    void attach(QIODevice* device);
    void write(const QString& text);
    void close();
    // Prints one "PrintProperty" element for its target: the element's text first when it has
    // any, then the property through the extensions or as the plain Qt property.
    void printProperties(const QDomElement& element, QObject* target);

private:
    bool writeToFile(const QByteArray& line);
    void fileFailed(const QString& why);

    std::unique_ptr<QFile> file_;
    QPointer<QIODevice> device_;
};
