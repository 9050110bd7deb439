#include "tapewright/QtCompat.h"

#include "tapewright/TapewrightUtil.h"

#include <QHash>
#include <QKeyEvent>
#include <QMetaEnum>
#include <QMouseEvent>

namespace QtCompat {

int stateFromQt(Qt::MouseButtons buttons, Qt::KeyboardModifiers modifiers)
{
    int state = 0;
    if (buttons & Qt::LeftButton)
        state |= leftState;
    if (buttons & Qt::RightButton)
        state |= rightState;
    if (buttons & Qt::MiddleButton)
        state |= midState;
    if (modifiers & Qt::ShiftModifier)
        state |= shiftState;
    if (modifiers & Qt::ControlModifier)
        state |= controlState;
    if (modifiers & Qt::AltModifier)
        state |= altState;
    if (modifiers & Qt::MetaModifier)
        state |= metaState;
    return state;
}

Qt::MouseButtons toQtButtons(int state)
{
    Qt::MouseButtons buttons;
    if (state & leftState)
        buttons |= Qt::LeftButton;
    if (state & rightState)
        buttons |= Qt::RightButton;
    if (state & midState)
        buttons |= Qt::MiddleButton;
    return buttons;
}

Qt::KeyboardModifiers toQtModifiers(int state)
{
    Qt::KeyboardModifiers modifiers;
    if (state & shiftState)
        modifiers |= Qt::ShiftModifier;
    if (state & controlState)
        modifiers |= Qt::ControlModifier;
    if (state & altState)
        modifiers |= Qt::AltModifier;
    if (state & metaState)
        modifiers |= Qt::MetaModifier;
    return modifiers;
}

int buttonFromQt(Qt::MouseButton button)
{
    return stateFromQt(button, {}) & (leftState | rightState | midState);
}

Qt::MouseButton toQtButton(int button)
{
    switch (button) {
    case leftState: return Qt::LeftButton;
    case rightState: return Qt::RightButton;
    case midState: return Qt::MiddleButton;
    default: return Qt::NoButton;
    }
}

int stateBefore(const QMouseEvent* event)
{
    // A press adds its button, a release removes it: toggling gives the state before.
    return stateFromQt(event->buttons() ^ event->button(), event->modifiers());
}

namespace {
int ownModifierState(int key)
{
    switch (key) {
    case Qt::Key_Shift: return shiftState;
    case Qt::Key_Control: return controlState;
    case Qt::Key_Alt: return altState;
    case Qt::Key_Meta: return metaState;
    default: return 0;
    }
}
}

int stateBefore(const QKeyEvent* event)
{
    // Pressing a modifier key sets its bit, releasing it clears it.
    const int state = stateFromQt({}, event->modifiers());
    const int own = ownModifierState(event->key());
    if (event->type() == QEvent::KeyPress)
        return state & ~own;
    if (event->type() == QEvent::KeyRelease)
        return state | own;
    return state;
}

Qt::KeyboardModifiers modifiersAfter(QEvent::Type type, int key, int stateBefore)
{
    const int own = ownModifierState(key);
    if (type == QEvent::KeyPress)
        return toQtModifiers(stateBefore | own);
    if (type == QEvent::KeyRelease)
        return toQtModifiers(stateBefore & ~own);
    return toQtModifiers(stateBefore);
}

namespace {
constexpr Qt::FocusReason focusReasons[] = {Qt::MouseFocusReason,        Qt::TabFocusReason,
                                            Qt::BacktabFocusReason,      Qt::ActiveWindowFocusReason,
                                            Qt::PopupFocusReason,        Qt::ShortcutFocusReason,
                                            Qt::OtherFocusReason};
}

int focusReasonFromQt(Qt::FocusReason reason)
{
    for (int i = 0; i < 7; ++i)
        if (focusReasons[i] == reason)
            return i;
    return 6;
}

Qt::FocusReason toQtFocusReason(int reason)
{
    return reason >= 0 && reason < 7 ? focusReasons[reason] : Qt::OtherFocusReason;
}

namespace {

// Qt 3 type number -> Qt 6 type: by equal name, or by the name Qt 6 gave the same event.
QHash<int, QEvent::Type> buildEventTypes()
{
    static const QHash<QString, const char*> renamed = {
        {QStringLiteral("Accel"), "Shortcut"},
        {QStringLiteral("AccelOverride"), "ShortcutOverride"},
        {QStringLiteral("ChildInserted"), "ChildAdded"},
        {QStringLiteral("CaptionChange"), "WindowTitleChange"},
        {QStringLiteral("IconChange"), "WindowIconChange"},
    };
    const QMetaEnum types = QMetaEnum::fromType<QEvent::Type>();
    QHash<int, QEvent::Type> map;
    for (int qt3 = 1; qt3 < 100; ++qt3) {
        const QString name = TapewrightUtil::eventTypeName(qt3);
        if (name.isEmpty())
            continue;
        const QByteArray qt6Name = renamed.contains(name) ? QByteArray(renamed.value(name)) : name.toLatin1();
        bool ok = false;
        const int value = types.keyToValue(qt6Name.constData(), &ok);
        if (ok)
            map.insert(qt3, QEvent::Type(value));
    }
    return map;
}

const QHash<int, QEvent::Type>& eventTypes()
{
    static const QHash<int, QEvent::Type> map = buildEventTypes();
    return map;
}

}

int eventTypeFromQt(QEvent::Type type)
{
    return eventTypes().key(type, 0);
}

QEvent::Type toQtEventType(int type)
{
    return eventTypes().value(type, QEvent::None);
}

}
