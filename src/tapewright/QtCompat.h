#pragma once
// The one place where the script's Qt 3 numbers meet Qt 6: button and modifier state bits,
// mouse buttons, focus reasons and event types. Scripts and settings keep the Qt 3 forms as
// format identifiers; everything else in the component works with Qt 6 values.
#include <QEvent>
#include <Qt>

class QKeyEvent;
class QMouseEvent;

namespace QtCompat {

// Button and modifier state bits of the script (Qt 3's ButtonState).
constexpr int leftState = 0x001;
constexpr int rightState = 0x002;
constexpr int midState = 0x004;
constexpr int shiftState = 0x100;
constexpr int controlState = 0x200;
constexpr int altState = 0x400;
constexpr int metaState = 0x800;

int stateFromQt(Qt::MouseButtons buttons, Qt::KeyboardModifiers modifiers);
Qt::MouseButtons toQtButtons(int state);
Qt::KeyboardModifiers toQtModifiers(int state);
// One button as the script counts it (1, 2, 4; 0 for none or another button) and back.
int buttonFromQt(Qt::MouseButton button);
Qt::MouseButton toQtButton(int button);

// The state before the event, as the script records it: Qt 6 reports buttons and modifiers
// as they are after the event.
int stateBefore(const QMouseEvent* event);
int stateBefore(const QKeyEvent* event);
// The Qt 6 modifiers of a rebuilt key event from the script's state before it.
Qt::KeyboardModifiers modifiersAfter(QEvent::Type type, int key, int stateBefore);

// Focus reasons of the script: 0 Mouse, 1 Tab, 2 Backtab, 3 ActiveWindow, 4 Popup,
// 5 Shortcut, 6 Other. Qt 6 reasons without a script form count as Other.
int focusReasonFromQt(Qt::FocusReason reason);
Qt::FocusReason toQtFocusReason(int reason);

// Event types of the script (Qt 3 numbering) and the Qt 6 type of the same meaning; None
// where there is none.
int eventTypeFromQt(QEvent::Type type);
QEvent::Type toQtEventType(int type);

}
