#pragma once
// Helpers for driving modal dialogs as a person would.
#include <QApplication>
#include <QDialog>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <QWidget>
#include <algorithm>
#include <cmath>
#include <functional>
#include <string>
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

// Int signals of objects in the order they came, as "name value".
struct SignalLog
{
    template<class O, class S>
    SignalLog& on(O* object, S signal, const char* name)
    {
        QObject::connect(object, signal, [this, name](int v) {
            std::string entry = name;
            entry += ' ';
            entry += std::to_string(v);
            got.push_back(std::move(entry));
        });
        return *this;
    }
    std::vector<std::string> got;
};

// The top-level rows of a list, the given columns joined by "|".
inline QStringList rowTexts(const QTreeWidget* list, std::initializer_list<int> columns)
{
    QStringList rows;
    for (int i = 0; i < list->topLevelItemCount(); ++i)
    {
        QStringList cells;
        for (int c : columns)
            cells << list->topLevelItem(i)->text(c);
        rows << cells.join("|");
    }
    return rows;
}

// How far the ink of a cell's text sits from the middle of its row, in pixels (negative: above),
// as the list paints the unselected row; NaN for a cell without ink.
inline double inkOffset(QTreeWidget* list, QTreeWidgetItem* item, int column)
{
    const QImage picture = list->viewport()->grab().toImage();
    const QRect row = list->visualItemRect(item);
    const int left = list->header()->sectionViewportPosition(column);
    int top = row.bottom() + 1, bottom = row.top() - 1;
    for (int y = row.top(); y <= row.bottom(); ++y)
        for (int x = left + 2; x < left + list->header()->sectionSize(column) - 2; ++x)
            if (qGray(picture.pixel(x, y)) < 128)
            {
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
    return bottom < top ? std::nan("") : (top + bottom - row.top() - row.bottom()) / 2.0;
}

inline void doubleClick(QTreeWidget* list, QTreeWidgetItem* item)
{
    const QPoint p = list->visualItemRect(item).center();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, p);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, p);
}

inline QStringList labelTexts(const QWidget& widget)
{
    QStringList texts;
    for (auto* label : widget.findChildren<QLabel*>())
        texts << label->text();
    return texts;
}

// What a person meets when answering a dialog: its buttons, where the focus is, what `exec` gives.
struct Answer
{
    int exec = -1;
    QStringList captions;
    QString focus;
};

// Shows the dialog and presses its button `index` (left to right), or Escape for -1.
template<class D>
Answer answer(D& dialog, int index)
{
    Answer a;
    a.exec = runModal(dialog, [&] {
        const auto buttons = buttonsInOrder(dialog);
        a.captions = captions(buttons);
        if (auto* focus = qobject_cast<QPushButton*>(dialog.focusWidget()))
            a.focus = focus->text();
        if (index < 0)
            QTest::keyClick(&dialog, Qt::Key_Escape);
        else
            QTest::mouseClick(buttons.at(std::size_t(index)), Qt::LeftButton);
    });
    return a;
}

}
