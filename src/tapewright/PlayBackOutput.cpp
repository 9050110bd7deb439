#include "tapewright/PlayBackOutput.h"

#include "tapewright/ErrorReport.h"
#include "tapewright/PropertyExtension.h"
#include "tapewright/PropertyTextStream.h"
#include "tapewright/TapewrightSettings.h"

#include <QCoreApplication>
#include <QDomElement>
#include <QFile>
#include <QVariant>
#include <QWidget>
#include <cstdio>

PlayBackOutput::PlayBackOutput() { stream_.setEncoding(QStringConverter::Utf8); }

PlayBackOutput::~PlayBackOutput() { close(); }

void PlayBackOutput::open(const QString& fileName)
{
    close();
    if (fileName.isNull())
        return;
    auto file = std::make_unique<QFile>(fileName);
    if (!file->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        reportError(true, QCoreApplication::translate("PlayBackOutput", "Could not open file '%1'").arg(fileName));
        return;
    }
    file_ = std::move(file);
    stream_.setDevice(file_.get());
}

void PlayBackOutput::attach(QIODevice* device)
{
    close();
    device_ = device;
}

void PlayBackOutput::write(const QString& text)
{
    if (device_) {
        device_->write(text.toUtf8() + '\n');
        return;
    }
    if (file_) {
        stream_ << text << '\n';
        stream_.flush();
        return;
    }
    const QByteArray line = text.toUtf8() + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fflush(stdout);
}

void PlayBackOutput::close()
{
    device_ = nullptr;
    if (!file_)
        return;
    stream_.flush();
    stream_.setDevice(nullptr);
    file_->close();
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
