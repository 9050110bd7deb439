#include "DemoDriver.h"

#include "DemoWindow.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QDateEdit>
#include <QDial>
#include <QHeaderView>
#include <QMenuBar>
#include <QScrollBar>
#include <QSlider>
#include <QSpinBox>
#include <QStyle>
#include <QTabBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QTimeEdit>
#include <QTreeWidget>
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

// Mouse input through the window system, spontaneous as a user's, at a point of the widget.
void mouse(QEvent::Type type, QWidget* widget, const QPoint& at, Qt::KeyboardModifiers modifiers = {})
{
    // A popup opens from the previous step's input; on a busy machine it may take a moment.
    if (!QTest::qWaitFor([widget] { return widget->isVisible() && widget->window()->windowHandle(); }, 5000)) {
        qWarning("twdemo: %s is not shown", qPrintable(widget->objectName()));
        return;
    }
    QWindow* window = widget->window()->windowHandle();
    const QPoint pos = widget->mapTo(widget->window(), at);
    if (type == QEvent::MouseButtonPress)
        QTest::mousePress(window, Qt::LeftButton, modifiers, pos);
    else if (type == QEvent::MouseButtonRelease)
        QTest::mouseRelease(window, Qt::LeftButton, modifiers, pos);
    else
        QTest::mouseMove(window, pos);
}

void click(QWidget* widget, const QPoint& at, Qt::KeyboardModifiers modifiers = {})
{
    mouse(QEvent::MouseButtonPress, widget, at, modifiers);
    mouse(QEvent::MouseButtonRelease, widget, at, modifiers);
}

// A drag from one point of the widget to another in a few moves.
void drag(QWidget* widget, const QPoint& from, const QPoint& to)
{
    mouse(QEvent::MouseButtonPress, widget, from);
    for (int i = 1; i <= 4; ++i)
        mouse(QEvent::MouseMove, widget, from + (to - from) * i / 4);
    mouse(QEvent::MouseButtonRelease, widget, to);
}

// The middle of the slider's handle at a value.
QPoint sliderPoint(QSlider* slider, int value)
{
    const int handle = slider->style()->pixelMetric(QStyle::PM_SliderLength, nullptr, slider);
    return QPoint(QStyle::sliderPositionFromValue(slider->minimum(), slider->maximum(), value, slider->width() - handle)
                      + handle / 2, slider->height() / 2);
}

// The up arrow of a spin box (right end, upper half).
QPoint upArrow(QWidget* box) { return QPoint(box->width() - 6, box->height() / 4); }

// A click on the page area of a scroll bar just before its end arrow (square, as wide as the bar).
void pageDown(QScrollBar* bar)
{
    const QPoint at = bar->orientation() == Qt::Vertical ? QPoint(bar->width() / 2, bar->height() - bar->width() - 3)
                                                         : QPoint(bar->width() - bar->height() - 3, bar->height() / 2);
    click(bar, at);
}

QPoint itemPoint(QAbstractItemView* view, const QModelIndex& index, int dx = 4)
{
    const QRect rect = view->visualRect(index);
    return QPoint(rect.left() + dx, rect.center().y());
}
}

DemoDriver::DemoDriver(DemoWindow* window, QObject* parent) : QObject(parent), window_(window) {}

QStringList DemoDriver::scenarios()
{
    return {QStringLiteral("quit"), QStringLiteral("typing"), QStringLiteral("session"), QStringLiteral("adapters")};
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
    if (scenario == QLatin1String("adapters")) {
        // None of these steps opens a modal loop; delivering input may still run the event loop,
        // and a step started there would act on the state of a half-done one.
        exclusive_ = true;
        addAdapterSteps();
    }
    steps_.push_back([w] { w->close(); });
    QTimer::singleShot(stepDelay, this, &DemoDriver::next);
    return true;
}

void DemoDriver::next()
{
    if (position_ >= steps_.size())
        return;
    if (running_) {
        QTimer::singleShot(stepDelay, this, &DemoDriver::next);
        return;
    }
    // Schedule the following step first: this one may open a modal loop and not return soon.
    const size_t current = position_++;
    QTimer::singleShot(stepDelay, this, &DemoDriver::next);
    running_ = exclusive_;
    steps_[current]();
    running_ = false;
}

void DemoDriver::addAdapterSteps()
{
    DemoWindow* w = window_;
    steps_.push_back([w] {
        auto* slider = child<QSlider>(w, "slider");
        drag(slider, sliderPoint(slider, 10), sliderPoint(slider, 60));
        auto* dial = child<QDial>(w, "dial");
        drag(dial, QPoint(dial->width() - 4, dial->height() / 2), QPoint(dial->width() / 2, 4));
        for (int i = 0; i < 3; ++i)
            click(child<QSpinBox>(w, "spin"), upArrow(child<QSpinBox>(w, "spin")));
        click(child<QDateEdit>(w, "date"), upArrow(child<QDateEdit>(w, "date")));
        click(child<QTimeEdit>(w, "time"), upArrow(child<QTimeEdit>(w, "time")));
        pageDown(child<QScrollBar>(w, "scroll"));
        QTabBar* bar = child<QTabWidget>(w, "tabs")->tabBar();
        click(bar, bar->tabRect(2).center());
    });
    // The menu bar opens the menu on the press; its item is chosen in the menu's own window.
    steps_.push_back([w] {
        QMenuBar* bar = w->menuBar();
        click(bar, bar->actionGeometry(bar->actions().first()).center());
    });
    steps_.push_back([w] {
        auto* menu = child<QMenu>(w, "fileMenu");
        click(menu, menu->actionGeometry(menu->actions().first()).center());
    });
    steps_.push_back([w] {
        auto* tree = child<QTreeWidget>(w, "tree");
        QWidget* viewport = tree->viewport();
        const QModelIndex group1 = tree->model()->index(1, 2);
        click(viewport, itemPoint(tree, group1));
        // The branch sign left of the item opens it.
        const QModelIndex group2 = tree->model()->index(2, 0);
        click(viewport, itemPoint(tree, group2, -tree->indentation() / 2));
        // Out of the view above (still inside the window) and back, then released on another item.
        const QPoint from = itemPoint(tree, tree->model()->index(4, 0));
        mouse(QEvent::MouseButtonPress, viewport, from);
        mouse(QEvent::MouseMove, viewport, QPoint(from.x(), -40));
        mouse(QEvent::MouseMove, viewport, itemPoint(tree, tree->model()->index(5, 0)));
        mouse(QEvent::MouseButtonRelease, viewport, itemPoint(tree, tree->model()->index(5, 0)));
        pageDown(tree->verticalScrollBar());
    });
    steps_.push_back([w] {
        auto* list = child<QListWidget>(w, "list");
        click(list->viewport(), itemPoint(list, list->model()->index(2, 0)));
        click(list->viewport(), itemPoint(list, list->model()->index(5, 0)), Qt::ControlModifier);
        pageDown(list->verticalScrollBar());
        auto* table = child<QTableWidget>(w, "table");
        pageDown(table->verticalScrollBar());
        // The popup opens from the keyboard: a click would leave its release to the popup, where
        // how late it comes decides whether it chooses an entry.
        auto* combo = child<QComboBox>(w, "combo");
        combo->setFocus(Qt::OtherFocusReason);
        QTest::keyClick(w->windowHandle(), Qt::Key_F4);
    });
    steps_.push_back([w] {
        QAbstractItemView* view = child<QComboBox>(w, "combo")->view();
        click(view->viewport(), itemPoint(view, view->model()->index(2, 0)));
    });
}
