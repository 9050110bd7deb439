#pragma once
// Shared pieces of the record and playback tests.
#include "tapewright/TapewrightSettings.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QStringList>
#include <QTest>
#include <QWidget>
#include <functional>
#include <gtest/gtest.h>

namespace TapewrightTest {

// Collects Qt warnings while alive.
class Warnings
{
public:
    Warnings() { previous_ = qInstallMessageHandler(&Warnings::handle); current() = this; }
    ~Warnings() { qInstallMessageHandler(previous_); current() = nullptr; }
    QStringList messages;

private:
    static Warnings*& current() { static Warnings* w = nullptr; return w; }
    static void handle(QtMsgType type, const QMessageLogContext&, const QString& text)
    {
        if (type != QtDebugMsg && current())
            current()->messages << text;
    }
    QtMessageHandler previous_;
};

// Reports go to the console (stderr) unless a test asks for the box.
class TapewrightFixture : public ::testing::Test
{
protected:
    void SetUp() override
    {
        auto& s = TapewrightSettings::instance();
        s.setErrorMessageLocation(0);
        s.setCreationTimeOut(5000);
        s.setCompressTime(false);
        s.setIgnoreMouseMovement(false);
        s.setShowRecorderDialog(false);
    }
};

// Once the error box is open, waits a while (timers fire behind it), runs `during` and presses
// the button.
inline void answerBox(QMessageBox::StandardButton button, int waitMs, std::function<void()> during = {})
{
    QMetaObject::invokeMethod(qApp, [button, waitMs, during] {
        QMessageBox* box = nullptr;
        (void)QTest::qWaitFor([&] {
            for (QWidget* w : QApplication::topLevelWidgets())
                if (w->objectName() == QLatin1String("box") && w->isVisible())
                    box = qobject_cast<QMessageBox*>(w);
            return box != nullptr;
        });
        ASSERT_NE(box, nullptr);
        QTest::qWait(waitMs);
        if (during)
            during();
        box->button(button)->click();
    }, Qt::QueuedConnection);
}

}
