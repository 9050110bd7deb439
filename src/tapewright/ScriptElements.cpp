#include "tapewright/ScriptElements.h"

#include "tapewright/QtCompat.h"
#include "tapewright/TapewrightSettings.h"
#include "tapewright/TapewrightUtil.h"

#include <QContextMenuEvent>
#include <QDir>
#include <QKeyEvent>
#include <QKeySequence>
#include <QMouseEvent>
#include <QMoveEvent>
#include <QResizeEvent>
#include <QWheelEvent>
#include <QWidget>

namespace ScriptElements {

namespace {

QDomElement mouseElement(QDomDocument& document, const QString& tag, QObject* receiver, const QMouseEvent* event)
{
    QDomElement element = document.createElement(tag);
    const QPoint pos = event->position().toPoint();
    element.setAttribute(QStringLiteral("x"), pos.x());
    element.setAttribute(QStringLiteral("y"), pos.y());
    if (auto* widget = qobject_cast<QWidget*>(receiver)) {
        element.setAttribute(QStringLiteral("widgetWidth"), widget->width());
        element.setAttribute(QStringLiteral("widgetHeight"), widget->height());
    }
    if (const int button = QtCompat::buttonFromQt(event->button()))
        element.setAttribute(QStringLiteral("button"), TapewrightUtil::buttonToText(button));
    if (const int state = QtCompat::stateBefore(event))
        element.setAttribute(QStringLiteral("state"), TapewrightUtil::stateToText(state));
    return element;
}

}

QString xmlText(const QString& text)
{
    QString clean;
    clean.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u >= 0x20 ? u != 0xFFFE && u != 0xFFFF : (u == 0x9 || u == 0xA || u == 0xD))
            clean += c;
    }
    return clean;
}

QDomElement version(QDomDocument& document)
{
    QDomElement element = document.createElement(QStringLiteral("Version"));
    element.setAttribute(QStringLiteral("id"), versionId);
    return element;
}

QDomElement keyElement(QDomDocument& document, const QString& tag, const QEvent* keyEvent)
{
    const auto* event = static_cast<const QKeyEvent*>(keyEvent);
    QDomElement element = document.createElement(tag);
    if (const int key = event->key()) {
        const QString text = QKeySequence(key).toString(QKeySequence::PortableText);
        const QKeySequence back = QKeySequence::fromString(text, QKeySequence::PortableText);
        if (!text.isEmpty() && back.count() == 1 && back[0].toCombined() == key)
            element.setAttribute(QStringLiteral("key"), text);
        else
            element.setAttribute(QStringLiteral("intkey"), key);
    }
    const QString raw = event->text();
    if (!raw.isEmpty() && raw[0].unicode() > 0 && raw[0].unicode() < 128)
        element.setAttribute(QStringLiteral("ascii"), int(raw[0].unicode()));
    // Backspace and the like produce control characters, which no XML reader accepts back.
    const QString text = xmlText(raw);
    if (const int state = QtCompat::stateBefore(event))
        element.setAttribute(QStringLiteral("state"), TapewrightUtil::stateToText(state));
    if (!text.isEmpty())
        element.setAttribute(QStringLiteral("text"), text);
    if (event->isAutoRepeat())
        element.setAttribute(QStringLiteral("repeat"), QStringLiteral("true"));
    if (event->count() != 1)
        element.setAttribute(QStringLiteral("count"), event->count());
    return element;
}

QDomElement fromEvent(QDomDocument& document, QObject* receiver, const QEvent* event)
{
    switch (event->type()) {
    case QEvent::MouseButtonPress:
        return mouseElement(document, QStringLiteral("MousePress"), receiver, static_cast<const QMouseEvent*>(event));
    case QEvent::MouseButtonRelease:
        return mouseElement(document, QStringLiteral("MouseRelease"), receiver, static_cast<const QMouseEvent*>(event));
    case QEvent::MouseButtonDblClick:
        return mouseElement(document, QStringLiteral("MouseDblClick"), receiver, static_cast<const QMouseEvent*>(event));
    case QEvent::MouseMove:
        return mouseElement(document, QStringLiteral("MouseMove"), receiver, static_cast<const QMouseEvent*>(event));
    case QEvent::KeyPress:
        return keyElement(document, QStringLiteral("KeyPress"), event);
    case QEvent::KeyRelease:
        return keyElement(document, QStringLiteral("KeyRelease"), event);
    case QEvent::ShortcutOverride:
        return keyElement(document, QStringLiteral("AccelOverride"), event);
    case QEvent::Resize: {
        QDomElement element = document.createElement(QStringLiteral("ResizeEvent"));
        const QSize size = static_cast<const QResizeEvent*>(event)->size();
        element.setAttribute(QStringLiteral("width"), size.width());
        element.setAttribute(QStringLiteral("height"), size.height());
        return element;
    }
    case QEvent::Move: {
        QDomElement element = document.createElement(QStringLiteral("MoveEvent"));
        const QPoint pos = static_cast<const QMoveEvent*>(event)->pos();
        element.setAttribute(QStringLiteral("x"), pos.x());
        element.setAttribute(QStringLiteral("y"), pos.y());
        return element;
    }
    case QEvent::Wheel: {
        const auto* wheel = static_cast<const QWheelEvent*>(event);
        QDomElement element = document.createElement(QStringLiteral("WheelEvent"));
        const QPoint pos = wheel->position().toPoint();
        const QPoint angle = wheel->angleDelta();
        const bool horizontal = angle.y() == 0 && angle.x() != 0;
        element.setAttribute(QStringLiteral("x"), pos.x());
        element.setAttribute(QStringLiteral("y"), pos.y());
        element.setAttribute(QStringLiteral("delta"), horizontal ? angle.x() : angle.y());
        if (const int state = QtCompat::stateFromQt(wheel->buttons(), wheel->modifiers()))
            element.setAttribute(QStringLiteral("state"), TapewrightUtil::stateToText(state));
        element.setAttribute(QStringLiteral("orient"), TapewrightUtil::orientationToText(horizontal ? 0 : 1));
        return element;
    }
    case QEvent::WindowActivate:
        return document.createElement(QStringLiteral("WindowActivate"));
    case QEvent::WindowDeactivate:
        return document.createElement(QStringLiteral("WindowDeactivate"));
    case QEvent::ContextMenu: {
        const auto* menu = static_cast<const QContextMenuEvent*>(event);
        QDomElement element = document.createElement(QStringLiteral("ContextMenu"));
        element.setAttribute(QStringLiteral("x"), menu->pos().x());
        element.setAttribute(QStringLiteral("y"), menu->pos().y());
        if (const int state = QtCompat::stateFromQt({}, menu->modifiers()))
            element.setAttribute(QStringLiteral("state"), TapewrightUtil::stateToText(state));
        if (menu->reason() == QContextMenuEvent::Mouse)
            element.setAttribute(QStringLiteral("reason"), QStringLiteral("mouse"));
        else if (menu->reason() == QContextMenuEvent::Keyboard)
            element.setAttribute(QStringLiteral("reason"), QStringLiteral("keyboard"));
        return element;
    }
    case QEvent::Close:
        return document.createElement(QStringLiteral("Close"));
    case QEvent::FocusIn:
    case QEvent::FocusOut: {
        QDomElement element = document.createElement(QStringLiteral("FocusEvent"));
        element.setAttribute(QStringLiteral("type"), event->type() == QEvent::FocusIn ? QStringLiteral("FocusIn")
                                                                                      : QStringLiteral("FocusOut"));
        const int reason = QtCompat::focusReasonFromQt(static_cast<const QFocusEvent*>(event)->reason());
        element.setAttribute(QStringLiteral("reason"), TapewrightUtil::focusReasonToText(reason));
        return element;
    }
    default:
        return QDomElement();
    }
}

QDomElement information(QDomDocument& document, const QString& text)
{
    QDomElement element = document.createElement(QStringLiteral("Information"));
    element.setAttribute(QStringLiteral("text"), xmlText(text));
    return element;
}

QDomElement include(QDomDocument& document, const QString& file)
{
    QDomElement element = document.createElement(QStringLiteral("Include"));
    element.setAttribute(QStringLiteral("file"), scriptPath(file));
    return element;
}

QDomElement sleep(QDomDocument& document, int milliseconds)
{
    QDomElement element = document.createElement(QStringLiteral("Sleep"));
    element.setAttribute(QStringLiteral("msec"), milliseconds);
    return element;
}

QDomElement runCommand(QDomDocument& document, const QString& command)
{
    QDomElement element = document.createElement(QStringLiteral("RunCommand"));
    element.setAttribute(QStringLiteral("command"), xmlText(command));
    return element;
}

QDomElement screenDump(QDomDocument& document, const QString& widgetPath, const QString& fileName)
{
    QDomElement element = document.createElement(QStringLiteral("ScreenDump"));
    element.setAttribute(QStringLiteral("name"), widgetPath);
    element.setAttribute(QStringLiteral("fileName"), scriptPath(fileName));
    return element;
}

void setSleep(QDomElement& element, int milliseconds)
{
    if (TapewrightSettings::instance().compressTime())
        element.removeAttribute(QStringLiteral("sleep"));
    else
        element.setAttribute(QStringLiteral("sleep"), milliseconds);
}

QString scriptPath(const QString& path)
{
    return TapewrightUtil::stripDirectoryPrefix(QDir::currentPath(), path);
}

}

QDomElement ScriptElements::adapterElement(QDomDocument& document, const QString& tag)
{
    return document.createElement(QString(tag).replace(QLatin1String("::"), QLatin1String("..")));
}
