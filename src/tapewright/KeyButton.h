#pragma once
// A push button that captures a key combination: pressing keys shows the modifiers held and the
// key, and the combination is taken when the non-modifier key is released (releasing the
// modifiers afterwards keeps it). The mouse only gives it the focus.
#include <QPushButton>

class KeyButton : public QPushButton
{
    Q_OBJECT
public:
    KeyButton(int keyCode, QWidget* parent, const char* name);

    // Key plus Qt's modifier flags.
    int keyCode() const;
    void setKeyCode(int code);
    // Modifier names and key name; null when the key has no name.
    static QString keyCodeText(int code);

signals:
    void keyCodeChanged();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;

private:
    int key_ = 0;
    int state_ = 0;   // modifiers as script state bits
    bool complete_ = false;
};
