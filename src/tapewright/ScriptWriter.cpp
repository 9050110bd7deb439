#include "tapewright/ScriptWriter.h"

#include <QFileDevice>
#include <QIODevice>

ScriptWriter::ScriptWriter(QIODevice* device) : device_(device), stream_(device)
{
    stream_.setEncoding(QStringConverter::Utf8);
}

void ScriptWriter::begin()
{
    stream_ << "<Events>\n";
    flush();
}

void ScriptWriter::write(const QDomElement& element)
{
    element.save(stream_, 4);
    flush();
}

void ScriptWriter::end()
{
    stream_ << "</Events>";
    flush();
}

QString ScriptWriter::elementLine(const QDomElement& element)
{
    QString text;
    QTextStream stream(&text);
    element.save(stream, 4);
    stream.flush();
    return text;
}

void ScriptWriter::flush()
{
    stream_.flush();
    if (auto* file = qobject_cast<QFileDevice*>(device_))
        file->flush();
}
