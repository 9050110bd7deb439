#include "tapewright/KeyButton.h"

#include "tapewright/QtCompat.h"
#include "tapewright/TapewrightSettings.h"

#include <QKeyEvent>
#include <utility>

namespace {

constexpr int modifierMask = Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier;

// Qt's modifier flags and the script's state bits, pair by pair.
constexpr std::pair<int, int> modifierBits[] = {{Qt::ShiftModifier, QtCompat::shiftState},
                                                {Qt::ControlModifier, QtCompat::controlState},
                                                {Qt::AltModifier, QtCompat::altState},
                                                {Qt::MetaModifier, QtCompat::metaState}};

int stateOf(int modifiers)
{
    int state = 0;
    for (const auto& [modifier, bit] : modifierBits)
        state |= (modifiers & modifier) ? bit : 0;
    return state;
}

int modifiersOf(int state)
{
    int modifiers = 0;
    for (const auto& [modifier, bit] : modifierBits)
        modifiers |= (state & bit) ? modifier : 0;
    return modifiers;
}

// The modifiers of a key event with the modifier key itself counted as held: the press of Control
// shows "Control + ", and a modifier released alone is bound with its own bit.
int heldModifiers(const QKeyEvent* event)
{
    int modifiers = int(event->modifiers());
    switch (event->key()) {
    case Qt::Key_Shift: return modifiers | Qt::ShiftModifier;
    case Qt::Key_Control: return modifiers | Qt::ControlModifier;
    case Qt::Key_Alt: return modifiers | Qt::AltModifier;
    case Qt::Key_Meta: return modifiers | Qt::MetaModifier;
    default: return modifiers;
    }
}

QString displayText(int key, int state)
{
    const QString name = keyName(key);
    return name.isEmpty() ? QString() : modifierNames(state) + name;
}

}

KeyButton::KeyButton(int keyCode, QWidget* parent, const char* name) : QPushButton(parent)
{
    setObjectName(QString::fromLatin1(name));
    setKeyCode(keyCode);
}

int KeyButton::keyCode() const { return key_ | modifiersOf(state_); }

void KeyButton::setKeyCode(int code)
{
    key_ = code & ~modifierMask;
    state_ = stateOf(code);
    setText(displayText(key_, state_));
    emit keyCodeChanged();
}

QString KeyButton::keyCodeText(int code) { return displayText(code & ~modifierMask, stateOf(code)); }

void KeyButton::mousePressEvent(QMouseEvent*) { setFocus(Qt::MouseFocusReason); }

void KeyButton::mouseReleaseEvent(QMouseEvent*) {}

void KeyButton::keyPressEvent(QKeyEvent* event)
{
    setText(modifierNames(stateOf(heldModifiers(event))) + keyName(event->key()));
    complete_ = false;
    event->accept();
}

void KeyButton::keyReleaseEvent(QKeyEvent* event)
{
    const int key = event->key();
    const bool modifier = key == Qt::Key_Shift || key == Qt::Key_Control || key == Qt::Key_Meta || key == Qt::Key_Alt;
    if (complete_ && modifier) {
        event->ignore();
        return;
    }
    key_ = key;
    state_ = stateOf(heldModifiers(event));
    setText(displayText(key_, state_));
    complete_ = !text().isEmpty();
    event->accept();
    emit keyCodeChanged();
}
