#pragma once
// The player's text output: printed properties and the output of external commands, one flushed
// line each, into a file or to standard output. A file that cannot be opened is reported and the
// lines go to standard output instead of being lost.
#include <QString>
#include <QTextStream>
#include <memory>

class QDomElement;
class QFile;
class QObject;

class PlayBackOutput
{
public:
    PlayBackOutput();
    ~PlayBackOutput();

    // A null name means standard output.
    void open(const QString& fileName);
    void write(const QString& text);
    void close();
    // Prints one "PrintProperty" element for its target: the element's text first when it has
    // any, then the property through the extensions or as the plain Qt property.
    void printProperties(const QDomElement& element, QObject* target);

private:
    std::unique_ptr<QFile> file_;
    QTextStream stream_;
};
