#include "tapewright/ScriptReader.h"

#include "tapewright/ErrorReport.h"
#include "tapewright/TapewrightUtil.h"

#include <QCoreApplication>
#include <QFile>
#include <QKeySequence>
#include <QRegularExpression>
#include <QXmlStreamReader>

namespace {

QString tr(const char* text) { return QCoreApplication::translate("ScriptReader", text); }

bool setContent(QDomDocument& document, const QByteArray& data, QString* message, int* line)
{
    return document.setContent(data, false, message, line);
}

}

bool ScriptReader::nestsTooDeep(const QByteArray& data)
{
    QXmlStreamReader reader(data);
    reader.setNamespaceProcessing(false);
    int depth = 0;
    // A text that does not parse is left to the document's parser, which stops at the same place.
    while (!reader.atEnd() && !reader.hasError()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::StartElement && ++depth > maxNesting)
            return true;
        if (token == QXmlStreamReader::EndElement)
            --depth;
    }
    return false;
}

bool ScriptReader::parse(const QByteArray& data, const QString& fileName, QDomDocument& document)
{
    if (nestsTooDeep(data)) {
        reportError(true, tr("File '%1' nests its elements deeper than %2 levels; it is not read").arg(fileName).arg(maxNesting));
        return false;
    }
    QString message;
    int line = 0;
    if (!setContent(document, data, &message, &line)) {
        // A recording that ended abruptly lacks its closing tag and may end in half a line.
        bool repaired = false;
        if (!data.contains("</Events>") && !data.contains("</events>")) {
            QByteArray head = data;
            for (int attempt = 0; attempt < 2 && !repaired; ++attempt) {
                if (attempt == 1)
                    head.truncate(head.lastIndexOf('\n') + 1);
                QString ignored;
                repaired = setContent(document, head + "\n</Events>", &ignored, nullptr);
            }
        }
        if (!repaired) {
            QString error = tr("Error reading file '%1' on line %2. Error was: '%3'").arg(fileName).arg(line).arg(message);
            // XML names cannot hold "::": a script written in that spelling never reads.
            static const QRegularExpression colons(QStringLiteral("<\\s*[A-Za-z_][A-Za-z0-9_.-]*::"));
            if (colons.match(QString::fromUtf8(data)).hasMatch())
                error += tr(". Adapter elements are written 'Class..operation', not 'Class::operation'");
            reportError(true, error);
            return false;
        }
        reportError(true, tr("File '%1' ends without '</Events>'; the elements before its end are read")
                              .arg(fileName));
    }
    const QDomElement root = document.documentElement();
    if (root.tagName().toLower() != QLatin1String("events")) {
        reportError(true, tr("Top element of file '%1' was not 'Events'. Element was '%2'").arg(fileName, root.tagName()));
        return false;
    }
    return true;
}

bool ScriptReader::load(const QString& fileName, QDomDocument& document)
{
    QFile file(fileName);
    if (!file.exists()) {
        reportError(true, tr("File '%1' doesn't exist").arg(fileName));
        return false;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        reportError(true, tr("Couldn't open file '%1'").arg(fileName));
        return false;
    }
    return parse(file.readAll(), fileName, document);
}

QList<QDomElement> ScriptReader::steps(const QDomDocument& document)
{
    QList<QDomElement> list;
    for (QDomElement e = document.documentElement().firstChildElement(); !e.isNull(); e = e.nextSiblingElement())
        list.append(e);
    return list;
}

QString ScriptReader::tag(const QDomElement& element)
{
    // Adapter tags are written "Class..operation" (XML names cannot hold "::") and compared in
    // their readable form "class::operation".
    return element.tagName().toLower().remove(QLatin1Char(' ')).replace(QLatin1String(".."), QLatin1String("::"));
}

int ScriptReader::intAttribute(const QDomElement& element, const QString& name, int defaultValue)
{
    bool ok = false;
    const int value = element.attribute(name).trimmed().toInt(&ok);
    return ok ? value : defaultValue;
}

ScriptReader::MouseAttributes ScriptReader::mouseAttributes(const QDomElement& element)
{
    MouseAttributes attributes;
    attributes.pos = QPoint(intAttribute(element, QStringLiteral("x"), 0), intAttribute(element, QStringLiteral("y"), 0));
    attributes.widgetSize = QSize(intAttribute(element, QStringLiteral("widgetWidth"), -1),
                                  intAttribute(element, QStringLiteral("widgetHeight"), -1));
    attributes.button = TapewrightUtil::textToButton(element.attribute(QStringLiteral("button")));
    attributes.state = TapewrightUtil::textToState(element.attribute(QStringLiteral("state")));
    return attributes;
}

ScriptReader::KeyAttributes ScriptReader::keyAttributes(const QDomElement& element)
{
    KeyAttributes attributes;
    if (element.hasAttribute(QStringLiteral("key"))) {
        const QKeySequence sequence =
            QKeySequence::fromString(element.attribute(QStringLiteral("key")), QKeySequence::PortableText);
        attributes.key = sequence.isEmpty() ? 0 : sequence[0].toCombined();
    } else {
        attributes.key = intAttribute(element, QStringLiteral("intkey"), 0);
    }
    attributes.ascii = intAttribute(element, QStringLiteral("ascii"), 0);
    attributes.state = TapewrightUtil::textToState(element.attribute(QStringLiteral("state")));
    attributes.text = element.attribute(QStringLiteral("text"));
    attributes.repeat = TapewrightUtil::toBool(element.attribute(QStringLiteral("repeat"), QStringLiteral("0")));
    attributes.count = intAttribute(element, QStringLiteral("count"), 1);
    return attributes;
}

QEvent::Type ScriptReader::focusType(const QDomElement& element)
{
    const QString type = element.attribute(QStringLiteral("type"), QStringLiteral("FocusIn")).toLower().remove(QLatin1Char(' '));
    if (type == QLatin1String("focusin"))
        return QEvent::FocusIn;
    if (type == QLatin1String("focusout"))
        return QEvent::FocusOut;
    reportError(true, tr("Unknown Focus Type: %1").arg(type));
    return QEvent::None;
}

int ScriptReader::focusReason(const QDomElement& element)
{
    return TapewrightUtil::textToFocusReason(element.attribute(QStringLiteral("reason"), QStringLiteral("other")));
}
