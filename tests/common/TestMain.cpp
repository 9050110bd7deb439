// Every test program runs inside a QApplication, so that Qt objects, timers and (under Xvfb)
// OpenGL contexts behave as they do in the program. A run of one test as a child process that
// needs no window (MORVANTA_TEST_WITHOUT_GUI set) runs in a QCoreApplication instead: it opens no
// display, which a child under another user or host name may have no authority for.
#include <QApplication>
#include <QMetaObject>
#include <QWidget>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace {

// A test that waits for something that never comes (a dialog nobody answers, an event that
// was lost) would hold its program until ctest's time-out, and with it every later test of a
// program run whole. The watchdog ends the program once one test has run past the bound
// (MORVANTA_TEST_BOUND seconds; 540 by default, inside ctest's 600 per test), naming the test
// and what the GUI shows.
class Watchdog : public ::testing::EmptyTestEventListener
{
public:
    explicit Watchdog(int boundSeconds) : bound_(boundSeconds), thread_([this] { run(); }) {}
    ~Watchdog() override
    {
        {
            std::lock_guard lock(mutex_);
            quit_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }

    void OnTestStart(const ::testing::TestInfo& info) override
    {
        std::lock_guard lock(mutex_);
        test_ = std::string(info.test_suite_name()) + "." + info.name();
        started_ = std::chrono::steady_clock::now();
    }
    void OnTestEnd(const ::testing::TestInfo&) override
    {
        std::lock_guard lock(mutex_);
        test_.clear();
    }

private:
    void run()
    {
        std::unique_lock lock(mutex_);
        while (!quit_) {
            wake_.wait_for(lock, std::chrono::seconds(1));
            if (test_.empty() || std::chrono::steady_clock::now() - started_ < bound_)
                continue;
            std::fprintf(stderr, "\n%s did not end within %lld s; it waits for something that never came.\n",
                         test_.c_str(), static_cast<long long>(bound_.count()));
            lock.unlock();
            describeGui();
            std::fflush(stdout);
            std::fflush(stderr);
            std::_Exit(124);
        }
    }

    // What the GUI thread shows, if it still runs its event loop (a modal dialog's loop does).
    static void describeGui()
    {
        auto answered = std::make_shared<std::atomic<bool>>(false);
        QMetaObject::invokeMethod(QCoreApplication::instance(), [answered] {
            if (qobject_cast<QApplication*>(QCoreApplication::instance()))
                for (QWidget* window : QApplication::topLevelWidgets())
                    if (window->isVisible())
                        std::fprintf(stderr, "  visible window: %s \"%s\" (%s)%s\n", window->metaObject()->className(),
                                     qPrintable(window->windowTitle()), qPrintable(window->objectName()),
                                     window == QApplication::activeModalWidget() ? ", the active modal one" : "");
            *answered = true;
        }, Qt::QueuedConnection);
        for (int i = 0; i < 50 && !*answered; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (!*answered)
            std::fprintf(stderr, "  the GUI thread runs no event loop\n");
    }

    const std::chrono::seconds bound_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool quit_ = false;
    std::string test_;
    std::chrono::steady_clock::time_point started_;
    std::thread thread_;
};

}

int main(int argc, char** argv)
{
    if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY") && !std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    std::unique_ptr<QCoreApplication> app;
    if (std::getenv("MORVANTA_TEST_WITHOUT_GUI"))
        app = std::make_unique<QCoreApplication>(argc, argv);
    else
        app = std::make_unique<QApplication>(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    const char* bound = std::getenv("MORVANTA_TEST_BOUND");
    // gtest owns the listener; it outlives RUN_ALL_TESTS with the program.
    ::testing::UnitTest::GetInstance()->listeners().Append(new Watchdog(bound ? std::atoi(bound) : 540));
    return RUN_ALL_TESTS();
}
