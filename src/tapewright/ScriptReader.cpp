#include "tapewright/ScriptReader.h"

#include "tapewright/ErrorReport.h"
#include "tapewright/Script.h"
#include "tapewright/TapewrightUtil.h"

#include <QCoreApplication>
#include <QKeySequence>

namespace {

QString tr(const char* text) { return QCoreApplication::translate("ScriptReader", text); }

}

bool ScriptReader::parse(const QByteArray& data, const QString& fileName, QDomDocument& document)
{
    Script script;
    if (!script.read(data, fileName))
        return false;
    document = QDomDocument();
    QDomElement root = document.createElement(script.rootTag());
    document.appendChild(root);
    for (Script::Cursor cursor; !script.atEnd(cursor);)
        root.appendChild(script.step(cursor, nullptr, &document));
    return true;
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
