#include "TapewrightTestSupport.h"

#include "tapewright/ErrorReport.h"

#include <QTimer>
#include <cstdio>

using namespace TapewrightTest;

namespace {

// Counts timer events and timeouts of a QTimer or of a startTimer object.
class TimerCounter : public QObject
{
public:
    int events = 0;
    void timerEvent(QTimerEvent*) override { ++events; }
};

class ErrorBox : public TapewrightFixture
{
protected:
    void SetUp() override
    {
        TapewrightFixture::SetUp();
        TapewrightSettings::instance().setErrorMessageLocation(1);
    }
    void TearDown() override { TapewrightSettings::instance().setErrorMessageLocation(0); }

    // Opens the box for 150 ms and presses Ignore.
    void ignoredBox(std::function<void()> during = {})
    {
        answerBox(QMessageBox::Ignore, 150, during);
        reportError(true, QStringLiteral("held"));
    }
};

}

TEST_F(TapewrightFixture, ConsoleReportGoesToStderrCountedAndCutToAReadableLength)
{
    const int before = reportedErrors();
    const QString name = "/twdemo/" + QString(500000, 'n') + "/end";
    const QString emoji = QString(299, 'a') + QString::fromUtf8("😀") + QString(300, 'b');
    // Message, its line on standard error.
    for (const auto& [message, line] :
         {std::pair {QStringLiteral("bare <b>%1</b> message"), QStringLiteral("bare <b>%1</b> message")},
          std::pair {QString(500, 'x'), QString(500, 'x')},
          std::pair {"Unable to find widget with name " + name,
                     "Unable to find widget with name /twdemo/" + QString(260, 'n') + " [... 499644 characters left out ...] "
                         + QString(96, 'n') + "/end"},
          // Never half of a character made of two code units.
          std::pair {emoji, QString(299, 'a') + " [... 202 characters left out ...] " + QString(100, 'b')}}) {
        testing::internal::CaptureStderr();
        reportError(true, message);
        EXPECT_EQ(QString::fromLocal8Bit(testing::internal::GetCapturedStderr()), line + "\n");
    }
    EXPECT_EQ(reportedErrors() - before, 4);
}

TEST_F(TapewrightFixture, FatalConsoleReportRunsTheHooksAndExits255)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            addExitHook([] { std::fputs("first hook\n", stderr); });
            const int second = addExitHook([] { std::fputs("removed hook\n", stderr); });
            removeExitHook(second);
            addExitHook([] { std::fputs("last hook\n", stderr); });
            reportError(false, QStringLiteral("cannot go on"));
        },
        testing::ExitedWithCode(255), "cannot go on\nlast hook\nfirst hook");
}

TEST_F(ErrorBox, SingleShotTimerFiresAfterIgnore)
{
    int fired = 0;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, [&] { ++fired; });
    timer.start(10);
    ignoredBox();
    EXPECT_EQ(fired, 0);
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(fired, 1);
    QTest::qWait(50);
    EXPECT_EQ(fired, 1);
}

TEST_F(ErrorBox, RepeatingTimerFiresOnceAndGoesOn)
{
    int fired = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++fired; });
    timer.start(10);
    ignoredBox();
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(fired, 1);
    EXPECT_TRUE(timer.isActive());
    EXPECT_TRUE(QTest::qWaitFor([&] { return fired >= 3; }));
}

TEST_F(ErrorBox, StartTimerGetsOneEventAndADeletedObjectNone)
{
    TimerCounter counter;
    counter.startTimer(5);
    auto* doomed = new TimerCounter;
    doomed->startTimer(5);
    ignoredBox([doomed] { delete doomed; });
    EXPECT_EQ(counter.events, 0);
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(counter.events, 1);
    EXPECT_TRUE(QTest::qWaitFor([&] { return counter.events >= 3; }));
}

TEST_F(ErrorBox, AbortExits255AfterTheHooks)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            TapewrightSettings::instance().setErrorMessageLocation(1);
            addExitHook([] { std::fputs("hook ran\n", stderr); });
            answerBox(QMessageBox::Abort, 0);
            reportError(true, QStringLiteral("abort me"));
        },
        testing::ExitedWithCode(255), "hook ran");
}
