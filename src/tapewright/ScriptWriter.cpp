#include "tapewright/ScriptWriter.h"
#include "tapewright/TapewrightUtil.h"

#include <QCoreApplication>
#include <QFileDevice>
#include <QIODevice>
#include <QTextStream>

namespace {
const QString endTag = QStringLiteral("</Events>");
}

ScriptWriter::ScriptWriter(QIODevice* device, qint64 maxBytes) : device_(device), maxBytes_(maxBytes) {}

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
    return put(endTag, true);
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
    // Room for the end is kept.
    if (!afterFailure && written_ + bytes.size() + endTag.size() > maxBytes_) {
        failed_ = true;
        failure_ = QCoreApplication::translate("ScriptWriter", "it has reached %1 MiB, the limit for a script; "
                                                               "it ends before this point")
                       .arg(double(maxBytes_) / (1024 * 1024), 0, 'f', maxBytes_ % (1024 * 1024) ? 2 : 0);
        return false;
    }
    auto* file = qobject_cast<QFileDevice*>(device_);
    const qint64 before = file ? file->size() : 0;
    // Flushed at once.
    if (TapewrightUtil::writeWhole(*device_, bytes) && (!file || file->flush())) {
        written_ += bytes.size();
        return true;
    }
    if (!failed_)
        failure_ = device_->errorString();
    failed_ = true;
    if (file)
        file->resize(before);
    return false;
}
