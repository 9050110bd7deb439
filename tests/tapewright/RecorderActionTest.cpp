#include "TapewrightTestSupport.h"

#include "tapewright/Recorder.h"

#include <QBuffer>
#include <QDomDocument>
#include <QInputDialog>
#include <QSpinBox>

namespace {

using Answer = std::function<void(QDialog*)>;

// Answers the next modal dialog while the fake clock runs on by 500 ms behind it.
void answerNext(qint64* clock, Answer answer)
{
    QMetaObject::invokeMethod(qApp, [clock, answer] {
        QDialog* dialog = nullptr;
        ASSERT_TRUE(QTest::qWaitFor([&] { return (dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) != nullptr; }));
        *clock += 500;
        answer(dialog);
    }, Qt::QueuedConnection);
}

Answer text(const char* value)
{
    return [value](QDialog* dialog) {
        static_cast<QInputDialog*>(dialog)->setTextValue(value);
        dialog->accept();
    };
}

const Answer cancel = [](QDialog* dialog) { dialog->reject(); };

QStringList elementsOf(const QByteArray& script)
{
    QDomDocument document;
    EXPECT_TRUE(document.setContent(script)) << script.toStdString();
    QStringList lines;
    for (QDomElement e = document.documentElement().firstChildElement(); !e.isNull(); e = e.nextSiblingElement()) {
        QString line = e.tagName();
        for (const char* name : {"text", "command", "msec", "sleep"})
            if (e.hasAttribute(name))
                line += QStringLiteral(" %1=%2").arg(name, e.attribute(name));
        lines << line;
    }
    return lines;
}

}

class RecorderActions : public TapewrightTest::TapewrightFixture
{};

TEST_F(RecorderActions, EachWritesItsElementWithoutCountingItsDialogAndCancelWritesNothing)
{
    qint64 clock = 0;
    Recorder recorder(nullptr, [&clock] { return clock; });
    QBuffer script;
    ASSERT_TRUE(recorder.start(&script));
    QDomDocument document;
    const auto mark = [&] { recorder.addElement(document.createElement("Mark")); };
    recorder.slotSleepAsLast();
    const std::vector<std::pair<void (Recorder::*)(), Answer>> steps = {
        {&Recorder::slotShowMessageBox, text("look here")},
        {&Recorder::slotShowMessageBox, text("")},
        {&Recorder::slotShowMessageBox, cancel},
        {&Recorder::slotRunExernalCommand, text("")},
        {&Recorder::slotRunExernalCommand, text("ls -l")},
        {&Recorder::slotSleep, [](QDialog* d) { d->findChild<QSpinBox*>("_spin")->setValue(700); d->accept(); }},
        {&Recorder::slotSleep, cancel},
    };
    for (const auto& [action, answer] : steps) {
        clock += 40;
        answerNext(&clock, answer);
        (recorder.*action)();
        clock += 10;
        mark();
    }
    // A late event of an action's dialog stays out of the script.
    for (QWidget* window : QApplication::topLevelWidgets())
        if (window->objectName() == "sleepDialog") {
            QFocusEvent late(QEvent::FocusOut);
            QApplication::sendEvent(window->findChild<QSpinBox*>("_spin"), &late);
        }
    recorder.slotSleepAsLast();
    recorder.stop();
    EXPECT_EQ(elementsOf(script.data()),
              (QStringList {"Version sleep=0", "Sleep msec=100 sleep=0",
                            "Information text=look here sleep=0", "Mark sleep=50",
                            "Information text= sleep=0", "Mark sleep=50", "Mark sleep=50",
                            "Mark sleep=50",
                            "RunCommand command=ls -l sleep=0", "Mark sleep=50",
                            "Sleep msec=700 sleep=0", "Mark sleep=50", "Mark sleep=50",
                            "Sleep msec=700 sleep=0"}));
}

TEST_F(RecorderActions, ABoundKeyRunsItsActionAndIsNotRecorded)
{
    auto& settings = TapewrightSettings::instance();
    const int previous = settings.keyBinding(7);
    settings.setKeyBinding(7, QKeySequence(Qt::Key_F7));
    QWidget top;
    top.setObjectName("top");
    top.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&top));
    Recorder recorder;
    QBuffer script;
    ASSERT_TRUE(recorder.start(&script));
    QTest::keyClick(&top, Qt::Key_F7);
    QCoreApplication::processEvents();
    recorder.stop();
    settings.setKeyBinding(7, QKeySequence(previous));
    const QStringList elements = elementsOf(script.data());
    EXPECT_TRUE(elements.contains("Sleep msec=100 sleep=0")) << elements.join(", ").toStdString();
    EXPECT_FALSE(script.data().contains("F7"));
}
