#include "tapewright/PlayBackOutput.h"

#include "tapewright/ErrorReport.h"
#include "tapewright/PropertyExtension.h"
#include "tapewright/PropertyTextStream.h"
#include "tapewright/TapewrightSettings.h"
#include "tapewright/TapewrightUtil.h"

#include <QCoreApplication>
#include <QDomElement>
#include <QFile>
#include <QVariant>
#include <QWidget>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

PlayBackOutput::PlayBackOutput() = default;

PlayBackOutput::~PlayBackOutput() { close(); }

void PlayBackOutput::open(const QString& fileName)
{
    close();
    if (fileName.isNull())
        return;
    auto file = std::make_unique<QFile>(fileName);
    // Unbuffered: each line reaches the file at once, and one it took part of is cut off again.
    // Only a regular file: the open would wait for a FIFO's reader, and a device would take the
    // lines (or fail each one) where nobody reads them. A run nobody watches has not done its
    // work without its output: it ends at once.
    QString why;
    if (!TapewrightUtil::openRegularFile(*file, QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered, &why)) {
        reportError(!TapewrightSettings::instance().unattended(),
                    QCoreApplication::translate("PlayBackOutput", "Could not open file '%1': %2").arg(fileName, why));
        return;
    }
    file_ = std::move(file);
}

void PlayBackOutput::attach(QIODevice* device)
{
    close();
    device_ = device;
}

void PlayBackOutput::write(const QString& text)
{
    const QByteArray line = text.toUtf8() + '\n';
    if (device_) {
        device_->write(line);
        return;
    }
    if (file_ && writeToFile(line))
        return;
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fflush(stdout);
}

bool PlayBackOutput::writeToFile(const QByteArray& line)
{
    const qint64 before = file_->size();
    if (TapewrightUtil::writeWhole(*file_, line))
        return true;
    const QString why = file_->errorString();
    file_->resize(before);
    fileFailed(why);
    return false;
}

void PlayBackOutput::fileFailed(const QString& why)
{
    const QString name = file_->fileName();
    file_->close();
    file_.reset();
    reportError(true, QCoreApplication::translate("PlayBackOutput", "Could not write file '%1': %2").arg(name, why));
}

void PlayBackOutput::close()
{
    device_ = nullptr;
    if (!file_)
        return;
    // The file's last lines reach the disk before it counts as written.
    if (::fsync(file_->handle()) != 0 && errno != EINVAL) {
        fileFailed(QString::fromLocal8Bit(std::strerror(errno)));
        return;
    }
    file_->close();
    if (file_->error() != QFileDevice::NoError) {
        fileFailed(file_->errorString());
        return;
    }
    file_.reset();
}

void PlayBackOutput::printProperties(const QDomElement& element, QObject* target)
{
    const QString property = element.attribute(QStringLiteral("property"));
    const QString name = element.attribute(QStringLiteral("name"));
    if (element.firstChild().isText())
        write(element.text());
    QMap<QString, QString> arguments;
    const QDomNamedNodeMap attributes = element.attributes();
    for (int i = 0; i < attributes.count(); ++i) {
        const QString key = attributes.item(i).nodeName();
        if (key != QLatin1String("name") && key != QLatin1String("property") && key != QLatin1String("sleep"))
            arguments.insert(key, attributes.item(i).nodeValue());
    }
    if (auto* widget = qobject_cast<QWidget*>(target)) {
        for (PropertyExtension* extension : TapewrightSettings::instance().propertyExtensions()) {
            bool prefix = true;
            const QString text = extension->valueText(widget, property, arguments, &prefix);
            if (text.isNull())
                continue;
            write(prefix ? QStringLiteral("%1, %2, %3").arg(name, property, text) : text);
            return;
        }
    }
    QString text;
    {
        PropertyTextStream stream(&text);
        propertyToText(stream, target->property(property.toLatin1().constData()));
        stream << flush;
    }
    write(QStringLiteral("%1, %2: %3").arg(name, property, text));
}
