#include "shell/dialogs/AlgorithmProgressDialog.h"

#include "vexa/core/ExceptionStack.h"
#include "vexa/core/IAlgorithmProgressState.h"

#include "ShellTestSupport.h"
#include "shell/widgets/WrappingLabel.h"

#include <QLabel>
#include <QProgressBar>
#include <QTest>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <stdexcept>
#include <thread>

namespace {

// A job whose behaviour the test sets: how long it works, whether it can be cancelled (then it
// runs until cancelled), what it returns or throws, and whether it holds at a progress value
// until the test releases it.
class FakeJob : public Vexa::IAlgorithmProgressState
{
public:
    int sleepMs = 0;
    bool cancelable = false;
    bool result = true;
    const char* throwText = nullptr;
    double holdAt = -1.0;
    std::string description = "Fake job";

    std::atomic<bool> released{false};
    std::atomic<bool> cancelled{false};
    std::atomic<bool> returned{false};

    bool start() override
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(sleepMs));
        progress_ = std::max(holdAt, 0.0);
        while ((holdAt >= 0.0 && !released && !cancelled) || (cancelable && !cancelled))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        returned = true; // the last step before returning or throwing
        if (throwText)
            throw std::runtime_error(throwText);
        return result;
    }
    void cancel() override { cancelled = true; }
    double getProgressState() const override { return progress_; }
    std::string getShortDescription() const override { return description; }
    bool isCancelable() const override { return cancelable; }

private:
    std::atomic<double> progress_{0.0};
};

}

// Five kinds of job, a hundred runs each; a cancelable job is cancelled with its button as soon
// as the dialog is up.
TEST(AlgorithmProgressDialog, FakeJobsHundredRunsEach)
{
    const struct
    {
        const char* name;
        int sleepMs;
        bool cancelable;
        bool result;
        const char* throwText;
        int exec;
    } rows[] = {
        {"sleeping", 5, false, true, nullptr, 1},
        {"cancelable", 0, true, true, nullptr, 0},
        {"returning false", 0, false, false, nullptr, 1},
        {"throwing", 2, false, true, "job failed: disk full", 1},
        {"done before the first tick", 0, false, true, nullptr, 1},
    };
    Vexa::ExceptionStack::getInstance()->clear();
    for (const auto& row : rows)
        for (int i = 0; i < 100; ++i)
        {
            FakeJob job;
            job.sleepMs = row.sleepMs;
            job.cancelable = row.cancelable;
            job.result = row.result;
            job.throwText = row.throwText;
            AlgorithmProgressDialog dialog(&job, QString(), 0, nullptr);
            bool shown = false, cancelButton = false;
            const int exec = ShellTest::runModal(dialog, [&] {
                shown = dialog.isVisible();
                auto* button = dialog.findChild<QPushButton*>();
                cancelButton = button != nullptr;
                if (button)
                    QTest::mouseClick(button, Qt::LeftButton);
            });
            ASSERT_EQ(exec, row.exec) << row.name << " run " << i;
            ASSERT_TRUE(job.returned) << row.name << ": exec returned before the job";
            ASSERT_TRUE(shown) << row.name;
            ASSERT_EQ(cancelButton, row.cancelable) << row.name;
            ASSERT_EQ(dialog.labelText(), "Fake job");
            ASSERT_EQ(dialog.getErrorText(), row.throwText ? QString(row.throwText) : QString()) << row.name;
            ASSERT_EQ(bool(dialog.getException()), row.throwText != nullptr);
        }
    EXPECT_EQ(Vexa::ExceptionStack::getInstance()->size(), 100u) << "one trail record per throw";
}

TEST(AlgorithmProgressDialog, BarShowsStep999AndEscapeOrCloseNeverEndsARunningJob)
{
    for (bool cancelable : {false, true})
    {
        FakeJob job;
        job.holdAt = 0.9999;
        job.cancelable = cancelable;
        AlgorithmProgressDialog dialog(&job, QString(), 0, nullptr);
        int step = -1;
        bool openAfterEscape = false;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (dialog.value() != 999)
                return;
            poll.stop();
            step = dialog.value();
            QTest::keyClick(&dialog, Qt::Key_Escape);
            dialog.close();
            openAfterEscape = dialog.isVisible();
            job.released = true;
        });
        const int exec = ShellTest::runModal(dialog, [&] { poll.start(5); });
        EXPECT_EQ(step, 999);
        EXPECT_TRUE(openAfterEscape) << cancelable;
        EXPECT_TRUE(job.returned);
        // Escape asks a cancelable job to stop, which counts as a cancel.
        EXPECT_EQ(exec, cancelable ? 0 : 1);
        EXPECT_EQ(job.cancelled.load(), cancelable);
    }
}

// A job that waits for another instance names a lock by its whole path: the description wraps
// between names inside the screen, every line of it shown.
TEST(AlgorithmProgressDialog, ALongDescriptionWrapsWithinTheScreen)
{
    FakeJob job;
    job.holdAt = 0.5;
    job.description = "Saving planning data: waiting for the lock /home/practice/patients/Mustermann_Max_1960-01-01/"
                      ".2031-02-03__09-00-00-7.lock that a save left when it ended, which this user cannot take over "
                      "safely (the file system exchanges no files, and locks this file only shared for this user, "
                      "who may not write it)";
    AlgorithmProgressDialog dialog(&job, QString(), 0, nullptr);
    QRect shown, screen;
    int lines = 0, needed = 0, height = 0;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        const auto* label = dialog.findChild<QLabel*>();
        if (!dialog.isVisible() || !label || label->text() != QString::fromStdString(job.description))
            return;
        poll.stop();
        shown = dialog.frameGeometry();
        screen = dialog.screen()->availableGeometry();
        if (const auto* wrapping = qobject_cast<const WrappingLabel*>(label))
            lines = int(wrapping->lines(label->contentsRect().width()).size());
        needed = label->heightForWidth(label->width());
        height = label->height();
        job.released = true;
    });
    ShellTest::runModal(dialog, [&] { poll.start(5); });
    EXPECT_TRUE(screen.contains(shown)) << shown.width() << " wide on " << screen.width();
    EXPECT_GE(lines, 2);
    EXPECT_GE(height, needed);
}
