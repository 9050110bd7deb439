#pragma once
// Helpers for driving modal dialogs as a person would.
#include <QApplication>
#include <QDialog>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <functional>
#include <vector>

namespace ShellTest {

// Runs `exec` of the dialog while `action` runs once the dialog's loop is up. A dialog still open
// after ten seconds is ended with 99, so a broken dialog fails the test instead of hanging it.
template<class D>
int runModal(D& dialog, std::function<void()> action)
{
    QTimer::singleShot(0, &dialog, [action] { action(); });
    QTimer::singleShot(10000, &dialog, [&dialog] { dialog.QDialog::done(99); });
    return dialog.exec();
}

// The push buttons of a widget from left to right, then top to bottom.
inline std::vector<QPushButton*> buttonsInOrder(const QWidget& widget)
{
    auto list = widget.findChildren<QPushButton*>();
    std::vector<QPushButton*> buttons(list.begin(), list.end());
    std::sort(buttons.begin(), buttons.end(), [](QPushButton* a, QPushButton* b) {
        const QPoint pa = a->mapTo(a->window(), QPoint()), pb = b->mapTo(b->window(), QPoint());
        return pa.y() != pb.y() ? pa.y() < pb.y() : pa.x() < pb.x();
    });
    return buttons;
}

inline QStringList captions(const std::vector<QPushButton*>& buttons)
{
    QStringList texts;
    for (QPushButton* b : buttons)
        texts << b->text();
    return texts;
}

}
