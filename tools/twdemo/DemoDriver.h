#pragma once
// Drives the demo window with QTest input, step by step from timers, so that steps also run
// inside the modal loops that earlier steps open. Scenarios:
//   "quit"     closes the window at once;
//   "typing"   types into "edit", then quits;
//   "session"  types into "edit", opens the dialog, types and presses OK, toggles "check", picks a
//              combo entry by keyboard, marks a list entry through its context menu, presses
//              Ctrl+S twice, opens the dialog again and closes it, then quits;
//   "adapters" drags the slider and dial, clicks spin, date and time arrows, pages the scroll bar,
//              picks a tab, a menu item, tree and list items (a tree drag leaves the view and
//              comes back), pages the tree, list and table, picks a combo entry, then quits.
//              All through the window system, as a user's input.
#include <QObject>
#include <QStringList>
#include <functional>
#include <vector>

class DemoWindow;

class DemoDriver : public QObject
{
    Q_OBJECT
public:
    DemoDriver(DemoWindow* window, QObject* parent = nullptr);

    static QStringList scenarios();
    // False for an unknown scenario.
    bool start(const QString& scenario);

private:
    void next();
    void addAdapterSteps();

    DemoWindow* window_;
    std::vector<std::function<void()>> steps_;
    size_t position_ = 0;
    // Steps run one after another, never one inside another.
    bool exclusive_ = false;
    bool running_ = false;
};
