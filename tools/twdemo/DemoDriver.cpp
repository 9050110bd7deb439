#include "DemoDriver.h"

#include "DemoWindow.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWindow>

namespace {
constexpr int stepDelay = 40;

template<class W>
W* child(QObject* parent, const char* name)
{
    return parent->findChild<W*>(QLatin1String(name));
}
}

DemoDriver::DemoDriver(DemoWindow* window, QObject* parent) : QObject(parent), window_(window) {}

QStringList DemoDriver::scenarios()
{
    return {QStringLiteral("quit"), QStringLiteral("typing"), QStringLiteral("session")};
}

bool DemoDriver::start(const QString& scenario)
{
    if (!scenarios().contains(scenario))
        return false;
    DemoWindow* w = window_;
    auto type = [w](const char* name, const char* text) {
        return [w, name, text] {
            auto* edit = child<QLineEdit>(w, name);
            edit->setFocus(Qt::OtherFocusReason);
            QTest::keyClicks(edit, QLatin1String(text));
        };
    };
    if (scenario == QLatin1String("typing") || scenario == QLatin1String("session"))
        steps_.push_back(type("edit", "Hello, twdemo"));
    if (scenario == QLatin1String("session")) {
        // The click opens the modal dialog; the steps after it run inside its loop.
        steps_.push_back([w] { QTest::mouseClick(child<QPushButton>(w, "openDialog"), Qt::LeftButton); });
        steps_.push_back(type("dialogEdit", "in the dialog"));
        steps_.push_back([w] { QTest::mouseClick(child<QPushButton>(w, "ok"), Qt::LeftButton); });
        steps_.push_back([w] { QTest::mouseClick(child<QWidget>(w, "check"), Qt::LeftButton); });
        steps_.push_back([w] {
            auto* combo = child<QComboBox>(w, "combo");
            combo->setFocus(Qt::TabFocusReason);
            QTest::keyClick(combo, Qt::Key_Down);
            QTest::keyClick(combo, Qt::Key_Down);
        });
        steps_.push_back([w] {
            auto* list = child<QListWidget>(w, "list");
            const QRect item = list->visualItemRect(list->item(2));
            // The context menu opens its own loop: choose its first entry from inside it.
            QTimer::singleShot(stepDelay, [] {
                if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
                    QTest::keyClick(menu, Qt::Key_Down);
                    QTest::keyClick(menu, Qt::Key_Return);
                }
            });
            // Through the window system, so that Qt itself raises the context menu event.
            const QPoint inWindow = list->viewport()->mapTo(w, item.center());
            QTest::mouseClick(w->windowHandle(), Qt::RightButton, {}, inWindow);
        });
        for (int i = 0; i < 2; ++i)
            steps_.push_back([w] {
                // Shortcuts reach only the active window; without a window manager nothing
                // hands activation back after the dialog.
                for (int i = 0; i < 50 && QApplication::activeWindow() != w; ++i) {
                    w->activateWindow();
                    (void)QTest::qWaitFor([w] { return QApplication::activeWindow() == w; }, 100);
                }
                QTest::keyClick(child<QLineEdit>(w, "edit"), Qt::Key_S, Qt::ControlModifier);
            });
        steps_.push_back([w] { QTest::mouseClick(child<QPushButton>(w, "openDialog"), Qt::LeftButton); });
        steps_.push_back([w] { w->dialog()->close(); });
    }
    steps_.push_back([w] { w->close(); });
    QTimer::singleShot(stepDelay, this, &DemoDriver::next);
    return true;
}

void DemoDriver::next()
{
    if (position_ >= steps_.size())
        return;
    // Schedule the following step first: this one may open a modal loop and not return soon.
    const size_t current = position_++;
    QTimer::singleShot(stepDelay, this, &DemoDriver::next);
    steps_[current]();
}
