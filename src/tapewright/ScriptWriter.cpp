#include "tapewright/ScriptWriter.h"
#include "tapewright/TapewrightUtil.h"

#include <QFileDevice>
#include <QIODevice>
#include <QTextStream>

ScriptWriter::ScriptWriter(QIODevice* device) : device_(device) {}

bool ScriptWriter::begin()
{
    return put(QStringLiteral("<Events>\n"));
}

bool ScriptWriter::write(const QDomElement& element)
{
    return put(elementLine(element));
}

bool ScriptWriter::end()
{
    // The end may still fit where an element did not: the script is then whole up to the failure.
    return put(QStringLiteral("</Events>"), true);
}

QString ScriptWriter::elementLine(const QDomElement& element)
{
    QString text;
    QTextStream stream(&text);
    element.save(stream, 4);
    stream.flush();
    return text;
}

bool ScriptWriter::put(const QString& text, bool afterFailure)
{
    if (failed_ && !afterFailure)
        return false;
    const QByteArray bytes = text.toUtf8();
    auto* file = qobject_cast<QFileDevice*>(device_);
    const qint64 before = file ? file->size() : 0;
    // Flushed at once.
    if (TapewrightUtil::writeWhole(*device_, bytes) && (!file || file->flush()))
        return true;
    if (!failed_)
        failure_ = device_->errorString();
    failed_ = true;
    if (file)
        file->resize(before);
    return false;
}
