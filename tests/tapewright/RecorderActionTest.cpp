#include "TapewrightTestSupport.h"

#include "DemoWindow.h"
#include "common/TestSupport.h"
#include "tapewright/AdapterRegistry.h"
#include "tapewright/ErrorReport.h"
#include "tapewright/ModalityOverride.h"
#include "tapewright/PlayBack.h"
#include "tapewright/Recorder.h"
#include "tapewright/RecorderDialog.h"
#include "tapewright/TapewrightConfig.h"

#include <QBuffer>
#include <QCheckBox>
#include <QDir>
#include <QDomDocument>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QInputDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTableWidget>
#include <QStandardPaths>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <QWhatsThis>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Runs `then` once `ready` holds, inside whatever event loop runs at that time (the tools under
// test run loops of their own, and X input arrives whenever it does). After a minute without it
// the test fails and the modal dialog or popup in front is closed, so that the test ends.
void once(std::function<bool()> ready, std::function<void()> then)
{
    auto* poll = new QTimer;
    auto* clock = new QElapsedTimer;
    clock->start();
    QObject::connect(poll, &QTimer::timeout, [poll, clock, ready, then] {
        const bool late = clock->elapsed() > 60000;
        if (!ready() && !late)
            return;
        poll->stop();
        poll->deleteLater();
        delete clock;
        if (!late)
            return then();
        QWidget* front = QApplication::activePopupWidget() ? QApplication::activePopupWidget() : QApplication::activeModalWidget();
        ADD_FAILURE() << "waited a minute for what the test answers; in front: "
                      << (front ? front->metaObject()->className() : "nothing");
        if (front)
            front->close();
    });
    poll->start(10);
}

QWidget* shown(const QString& name)
{
    for (QWidget* window : QApplication::topLevelWidgets())
        if (window->objectName() == name && window->isVisible())
            return window;
    return nullptr;
}

QAction* item(QMenu* menu, const QString& text)
{
    for (QAction* action : menu->actions())
        if (action->text() == text)
            return action;
    return nullptr;
}

// Chooses an item of a submenu of the next popup menu; an unknown title closes the menu.
void choose(const QString& submenu, const QString& text)
{
    const auto popup = [] { return qobject_cast<QMenu*>(QApplication::activePopupWidget()); };
    once(popup, [popup, submenu, text] {
        QAction* sub = item(popup(), submenu);
        if (!sub || !sub->menu())
            return popup()->close(), void();
        popup()->setActiveAction(sub);
        once([sub] { return sub->menu()->isVisible(); }, [sub, text] {
            sub->menu()->setActiveAction(item(sub->menu(), text));
            QTest::keyClick(sub->menu(), Qt::Key_Return);
        });
    });
}

using Answer = std::function<void(QDialog*)>;

// Answers the next modal dialog while a fake clock, if any, runs on by 500 ms behind it.
void answerNext(qint64* clock, Answer answer)
{
    const auto dialog = [] { return qobject_cast<QDialog*>(QApplication::activeModalWidget()); };
    once(dialog, [=] {
        if (clock)
            *clock += 500;
        answer(dialog());
    });
}

Answer text(const char* value)
{
    return [value](QDialog* dialog) {
        static_cast<QInputDialog*>(dialog)->setTextValue(value);
        dialog->accept();
    };
}

const Answer cancel = [](QDialog* dialog) { dialog->reject(); };

// The elements of a script, each as its tag and the attributes tests look at, in a fixed order.
QStringList elementsOf(const QByteArray& script)
{
    QDomDocument document;
    EXPECT_TRUE(document.setContent(script)) << script.toStdString();
    QStringList lines;
    for (QDomElement e = document.documentElement().firstChildElement(); !e.isNull(); e = e.nextSiblingElement()) {
        QString line = e.tagName();
        for (const char* name : {"name", "property", "file", "fileName", "text", "command", "msec", "key", "sleep"})
            if (e.hasAttribute(name))
                line += QStringLiteral(" %1=%2").arg(name, e.attribute(name));
        lines << line;
    }
    return lines;
}

enum class Scenario { Here, Done, Unavailable };

// Real X input reaches only the test's own windows on an X server of its own: the test program
// runs the test named by `filter` there again. Here inside that child, Done in the parent.
Scenario inOwnXServer(const char* filter, bool needsModalityOverride)
{
    if (qEnvironmentVariableIsSet("TAPEWRIGHT_PICK_SCENARIO"))
        return Scenario::Here;
    TestSupport::PrivateXServer display;
    if (!display.running() || QStandardPaths::findExecutable("xdotool").isEmpty()
        || (needsModalityOverride && !ModalityOverride::available()))
        return Scenario::Unavailable;
    QProcess child;
    QProcessEnvironment environment = display.environment();
    environment.insert("TAPEWRIGHT_PICK_SCENARIO", "1");
    child.setProcessEnvironment(environment);
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--gtest_filter=") + filter});
    EXPECT_TRUE(child.waitForFinished(120000)) << "the end of " << filter;
    const QString output = child.readAllStandardOutput() + child.readAllStandardError();
    EXPECT_TRUE(child.exitCode() == 0 && output.contains("[  PASSED  ] 1 test")) << output.toStdString();
    return Scenario::Done;
}

// Moves the X pointer to a point of the widget, then does the xdotool action there.
void xdotool(QWidget* widget, QPoint at, const QStringList& action)
{
    const QPoint global = widget->mapToGlobal(at);
    QProcess::execute("xdotool", QStringList {"mousemove", "--sync", QString::number(global.x()), QString::number(global.y())} + action);
}

QByteArray readAll(const QString& name)
{
    QFile file(name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

class RecorderTools : public TapewrightTest::TapewrightFixture
{
protected:
    void SetUp() override
    {
        TapewrightFixture::SetUp();
        adapterRegistry();
        previousDir = QDir::currentPath();
        QDir::setCurrent(dir.qpath());
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        edit = window.findChild<QLineEdit*>("edit");
    }
    void TearDown() override { QDir::setCurrent(previousDir); }

    // Plays the script; what it printed.
    QString play()
    {
        PlayBack player;
        QSignalSpy done(&player, &PlayBack::playbackDone);
        testing::internal::CaptureStdout();
        if (player.start(script, QString())) {
            EXPECT_TRUE(done.wait(20000));
        }
        return QString::fromStdString(testing::internal::GetCapturedStdout());
    }

    TestSupport::ScratchDir dir;
    const QString script = dir.qpath() + "/script.tws";
    QString previousDir;
    DemoWindow window;
    QLineEdit* edit = nullptr;
};

}

TEST_F(RecorderTools, EachWritesItsElementWithoutCountingItsDialogAndCancelWritesNothing)
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

TEST_F(RecorderTools, PickedPropertiesPrintTheSameLinesAtRecordingAndPlaybackAlsoThroughASavedSet)
{
    edit->setText("picked");
    auto* list = window.findChild<QListWidget*>("list");
    // No file, a file, and one that cannot be saved where giving up puts the properties inline;
    // unattended, nobody is asked whether to try again: it is given up at once, and said.
    const struct
    {
        QString set;
        bool unattended = false;
    } sets[] = {{""}, {"set.tpw"}, {"missing/set.tpw"}, {"missing/set.tpw", true}};
    for (const auto& [set, unattended] : sets) {
        QStringList reports;
        setErrorSink([&reports](bool, const QString& message) { reports << message; });
        TapewrightSettings::instance().setUnattended(unattended);
        Recorder recorder;
        ASSERT_TRUE(recorder.start(script));
        once([] { return shown("PropertyPicker"); }, [&] {
            QWidget* picker = shown("PropertyPicker");
            choose("QLineEdit", "text");
            QTest::mouseClick(edit, Qt::LeftButton);
            choose("Extension to QComboBox", "elements");
            QTest::mouseClick(window.findChild<QWidget*>("combo"), Qt::LeftButton);
            choose("Extension to QListBox", "elementAtPoint");
            QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(2)).center());
            choose({}, {});
            QTest::mouseClick(edit, Qt::LeftButton);
            QTest::keyClicks(edit, "never");
            // Rows edit, combo, list: the edit moves down and goes.
            auto* rows = picker->findChild<QTreeWidget*>("_listView");
            rows->setCurrentItem(rows->topLevelItem(0));
            picker->findChild<QPushButton*>("_down")->click();
            EXPECT_TRUE(picker->findChild<QPushButton*>("_up")->isEnabled());
            picker->findChild<QPushButton*>("_delete")->click();
            picker->findChild<QCheckBox*>("_writeToFile")->setChecked(!set.isEmpty());
            picker->findChild<QLineEdit*>("_fileName")->setText(dir.qpath() + "/" + set);
            if (set.startsWith("missing") && !unattended)
                answerNext(nullptr, [](QDialog* box) { static_cast<QMessageBox*>(box)->button(QMessageBox::No)->click(); });
            picker->findChild<QPushButton*>("ok")->click();
        });
        testing::internal::CaptureStdout();
        recorder.slotShowPropertyPicker();
        const QString recorded = QString::fromStdString(testing::internal::GetCapturedStdout());
        recorder.stop();
        EXPECT_EQ(edit->text(), "picked");
        EXPECT_EQ(recorded, "/twdemo/central/combo, elements, alpha, beta, gamma, delta\n/twdemo/central/list, elementAtPoint, entry 2\n");
        const QStringList printed = {"PrintProperty name=/twdemo/central/combo property=elements sleep=0",
                                     "PrintProperty name=/twdemo/central/list property=elementAtPoint sleep=0"};
        EXPECT_EQ(elementsOf(readAll(script)).mid(1), set == "set.tpw" ? QStringList {"Include file=set.tpw sleep=0"} : printed);
        EXPECT_EQ(play(), recorded);
        TapewrightSettings::instance().setUnattended(false);
        setErrorSink({});
        EXPECT_EQ(reports.join('\n').toStdString(),
                  unattended ? ("Could not write " + dir.qpath() + "/" + set + ": No such file or directory; the properties go into "
                                "the recording itself").toStdString()
                             : "");
    }
}

// A saved configuration and a saved property set (the write kinds a dialog names) onto a link to
// nothing or a file of mode 444 (nobody's, saved as nobody where the test runs as root, who may
// write it) are refused with a line naming the file and why, and left byte for byte as they were.
TEST_F(RecorderTools, ASavedConfigurationOrPropertySetIsRefusedWhereItsUserMayNotWrite)
{
    QStringList reports;
    setErrorSink([&reports](bool, const QString& message) { reports << message; });
    TapewrightSettings::instance().setUnattended(true);
    const bool root = ::geteuid() == 0;
    const QString dangling = dir.qpath() + "/dangling.xml", readonly = dir.qpath() + "/readonly.xml";
    QFile file(readonly);
    ASSERT_TRUE(QFile::link(dir.qpath() + "/nowhere.xml", dangling) && file.open(QIODevice::WriteOnly) && file.write("kept") == 4 && file.flush());
    ASSERT_TRUE(::chmod(QFile::encodeName(readonly), 0444) == 0
                && (!root || (::chown(QFile::encodeName(dir.qpath()), 65534, 65534) == 0 && ::chown(QFile::encodeName(readonly), 65534, 65534) == 0)));
    int argc = 1;
    char name[] = "prog";
    char* argv[] = {name, nullptr};
    TapewrightConfig config(argc, argv, false);
    Recorder recorder;
    ASSERT_TRUE(recorder.start(script));
    for (const bool propertySet : {false, true})
        for (const auto& [target, why] : {std::pair {dangling, "it is a link to nothing, not a regular file"}, {readonly, "Permission denied"}}) {
            if (propertySet)
                once([] { return shown("PropertyPicker"); }, [&] {
                    QWidget* picker = shown("PropertyPicker");
                    picker->findChild<QCheckBox*>("_writeToFile")->setChecked(true);
                    picker->findChild<QLineEdit*>("_fileName")->setText(target);
                    picker->findChild<QPushButton*>("ok")->click();
                });
            reports.clear();
            const bool asNobody = root && target == readonly;
            ASSERT_TRUE(!asNobody || (::setegid(65534) == 0 && ::seteuid(65534) == 0));
            propertySet ? recorder.slotShowPropertyPicker() : config.saveConfig(target);
            ASSERT_TRUE(!asNobody || (::seteuid(0) == 0 && ::setegid(0) == 0));
            EXPECT_EQ(reports.size(), 1) << reports.join('\n').toStdString();
            EXPECT_TRUE(reports.value(0).startsWith("Could not write " + target + ": " + why)) << reports.join('\n').toStdString();
        }
    TapewrightSettings::instance().setUnattended(false);
    setErrorSink({});
    struct stat kept {};
    EXPECT_TRUE(QFileInfo(dangling).isSymLink() && !QFileInfo::exists(dir.qpath() + "/nowhere.xml"));
    EXPECT_TRUE(::stat(QFile::encodeName(readonly), &kept) == 0 && (kept.st_mode & 07777) == 0444 && kept.st_uid == (root ? 65534 : ::getuid())
                && readAll(readonly) == "kept");
}

TEST_F(RecorderTools, AScreenDumpActionNamesThePickedWidgetOrItsWindowAndPlaysToAPictureOfItsSize)
{
    for (const bool whole : {false, true}) {
        const QString picture = QStringLiteral("dump%1.png").arg(whole);
        Recorder recorder;
        ASSERT_TRUE(recorder.start(script));
        once([] { return shown("DumpWidget"); }, [&] {
            QTest::mouseClick(shown("DumpWidget"), Qt::LeftButton);
            answerNext(nullptr, [&](QDialog* files) {
                // Typed into the name field: selectFile leaves the field alone once it has the focus,
                // and whether it has it yet depends on when the window system activated the dialog.
                files->findChild<QLineEdit*>("fileNameEdit")->setText(dir.qpath() + "/" + picture);
                files->accept();
            });
            QTest::mouseClick(edit, Qt::LeftButton);
        });
        whole ? recorder.slotScreenDumpDialog() : recorder.slotScreenDumpWidget();
        recorder.stop();
        EXPECT_EQ(elementsOf(readAll(script)), QStringList({"Version sleep=0", QString("ScreenDump name=%1 fileName=%2 sleep=0")
                                                                .arg(whole ? "/twdemo" : "/twdemo/central/edit", picture)}));
        play();
        EXPECT_EQ(QImage(dir.qpath() + "/" + picture).size(), whole ? window.size() : edit->size());
    }
}

TEST_F(RecorderTools, SidebarFacesFollowTheSettingAndItsButtonsAndBoundKeysRunActionsUnrecorded)
{
    auto& settings = TapewrightSettings::instance();
    const int bound = settings.keyBinding(7);
    settings.setKeyBinding(7, QKeySequence(Qt::CTRL | Qt::Key_F7));
    settings.setKeyBinding(6, QKeySequence());
    settings.setShowRecorderDialog(true);
    settings.setCloseRecorderDialog(true);
    const Qt::ToolButtonStyle faces[] = {Qt::ToolButtonIconOnly, Qt::ToolButtonTextOnly, Qt::ToolButtonTextBesideIcon};
    for (int view : {0, 1, 2}) {
        settings.setRecorderView(view);
        Recorder recorder;
        ASSERT_TRUE(recorder.start(script));
        QPointer<RecorderDialog> sidebar = recorder.sidebar();
        ASSERT_TRUE(sidebar && sidebar->isVisible());
        const auto buttons = sidebar->findChildren<QToolButton*>();
        ASSERT_EQ(buttons.size(), 10);
        for (QToolButton* button : buttons)
            EXPECT_EQ(button->toolButtonStyle(), faces[view]);
        EXPECT_EQ(buttons[7]->toolTip(), "Sleep as Last (Control + F7)");
        EXPECT_TRUE(buttons[7]->whatsThis().startsWith("<qt><p><center>Sleep as Last (Control + F7)</center></p><p>"));
        EXPECT_TRUE(buttons[6]->toolTip() == "Sleep" && buttons[6]->whatsThis().startsWith("<qt><p><center>Sleep</center></p>"));
        QTest::mouseClick(buttons[7], Qt::LeftButton);
        QTest::keyClick(sidebar, Qt::Key_F7, Qt::ControlModifier);
        QTest::keyClick(edit, Qt::Key_F7, Qt::ControlModifier);
        QCoreApplication::processEvents();
        if (view == 2) {
            sidebar->grab().save(QStringLiteral(MORVANTA_BINARY_DIR "/tests/tapewright/recorder_sidebar.png"));
            window.close();
            EXPECT_FALSE(sidebar->isVisible());
        }
        QTest::mouseClick(buttons[0], Qt::LeftButton);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_TRUE(sidebar.isNull() && !recorder.isRecording());
        // The bound press is consumed; the release of "Sleep as Last", which opens no dialog, is input.
        QStringList recorded = elementsOf(readAll(script)).filter(QRegularExpression("Sleep|Key(Press|Release) .*F7|recorderDialog"));
        recorded.replaceInStrings(QRegularExpression(" sleep=\\d+$"), QString());
        EXPECT_EQ(recorded, QStringList({"Sleep msec=100", "KeyRelease name=/twdemo/central/edit key=F7", "Sleep msec=100"}));
    }
    settings.setKeyBinding(7, QKeySequence(bound));
}

TEST_F(RecorderTools, APickThroughTheBoundKeyReachesAWindowThatAModalDialogBlocks)
{
    const Scenario scenario = inOwnXServer("RecorderTools.APickThroughTheBoundKey*", true);
    if (scenario == Scenario::Unavailable)
        GTEST_SKIP() << "needs Xvfb, xdotool and Qt's private GUI interface";
    if (scenario == Scenario::Done)
        return;
    TapewrightSettings::instance().setKeyBinding(2, QKeySequence(Qt::CTRL | Qt::Key_F3));
    window.move(1200, 50);
    QDialog modal;
    modal.setWindowModality(Qt::ApplicationModal);
    modal.setGeometry(100, 100, 300, 200);
    modal.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&modal));
    Recorder recorder;
    ASSERT_TRUE(recorder.start(script));
    bool picked = false;
    once([] { return shown("PropertyPicker"); }, [&] {
        choose("QLineEdit", "text");
        xdotool(edit, edit->rect().center(), {"click", "1"});
        // Beside the window, where it hides none of the views.
        shown("PropertyPicker")->move(0, 300);
        ASSERT_TRUE(QTest::qWaitFor([] { return shown("PropertyPicker")->geometry().top() == 300; })) << "the picker's move";
        auto* rows = shown("PropertyPicker")->findChild<QTreeWidget*>("_listView");
        EXPECT_TRUE(QTest::qWaitFor([&] { return rows->topLevelItemCount() == 1; }));
        shown("PropertyPicker")->findChild<QPushButton*>("ok")->click();
        picked = true;
    });
    xdotool(&modal, modal.rect().center(), {"key", "ctrl+F3"});
    ASSERT_TRUE(QTest::qWaitFor([&] { return picked; }, 20000));
    EXPECT_EQ(QApplication::activeModalWidget(), &modal);
    recorder.stop();
    const QStringList elements = elementsOf(readAll(script));
    // The bound key's override is recorded as any; its press is consumed and its release, which
    // belongs to the picker's time, is not.
    EXPECT_TRUE(elements.contains("PrintProperty name=/twdemo/central/edit property=text sleep=0")
                && elements.filter(QRegularExpression("^Key(Press|Release) .*F3")).isEmpty())
        << elements.join('\n').toStdString();
}

TEST_F(RecorderTools, WithAnOutputFileTheRecordingPrintsPickedPropertiesThereAndThePlaybackTheSameLines)
{
    edit->setText("picked");
    const QString recordedOut = dir.qpath() + "/recorded.txt", playedOut = dir.qpath() + "/played.txt";
    std::vector<QByteArray> args = {"prog", "-record", "-noconfig", "-script", script.toLocal8Bit(), "-output", recordedOut.toLocal8Bit()};
    std::vector<char*> argv;
    for (QByteArray& arg : args)
        argv.push_back(arg.data());
    int argc = int(argv.size());
    TapewrightConfig config(argc, argv.data(), true);
    config.exec();
    testing::internal::CaptureStdout();
    config.startWithFile(nullptr);
    EXPECT_TRUE(QFile::exists(recordedOut)) << "the output file is made as the recording starts";
    once([] { return shown("PropertyPicker"); }, [&] {
        choose("QLineEdit", "text");
        QTest::mouseClick(edit, Qt::LeftButton);
        shown("PropertyPicker")->findChild<QPushButton*>("ok")->click();
    });
    config.recorder()->slotShowPropertyPicker();
    answerNext(nullptr, text("echo from the command"));
    config.recorder()->slotRunExernalCommand();
    config.endRecording();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(readAll(recordedOut), "/twdemo/central/edit, text: picked\n");

    TapewrightSettings::instance().setAllowCommands(true);
    PlayBack player;
    QSignalSpy done(&player, &PlayBack::playbackDone);
    ASSERT_TRUE(player.start(script, playedOut));
    EXPECT_TRUE(done.wait(20000)) << "the end of the playback";
    TapewrightSettings::instance().setAllowCommands(false);
    EXPECT_EQ(readAll(playedOut), readAll(recordedOut) + "from the command\n\n");
}

TEST_F(RecorderTools, KeyReleasesAreRecordedOnlyForPressesTheRecordingSawAsAShortcutsPress)
{
    // A shortcut needs its window active: on a display shared with other tests their windows
    // can take the activation at any time.
    const Scenario scenario = inOwnXServer("RecorderTools.KeyReleasesAreRecordedOnly*", false);
    if (scenario == Scenario::Unavailable)
        GTEST_SKIP() << "needs Xvfb and xdotool";
    if (scenario == Scenario::Done)
        return;
    Recorder recorder;
    ASSERT_TRUE(recorder.start(script));
    edit->setFocus();
    QTest::keyClick(edit, Qt::Key_A);
    // The dialog takes the press of Return and closes; its release comes to the window.
    answerNext(nullptr, [this](QDialog* dialog) {
        static_cast<QInputDialog*>(dialog)->setTextValue("shown");
        QTest::keyPress(dialog->focusWidget(), Qt::Key_Return);
        QMetaObject::invokeMethod(edit, [this] { QTest::keyRelease(edit, Qt::Key_Return); }, Qt::QueuedConnection);
    });
    recorder.slotShowMessageBox();
    QCoreApplication::processEvents();
    // A shortcut's key: the shortcut stands for its press, and its release is recorded.
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitFor([this] { return QApplication::activeWindow() == &window; })) << "the window's activation";
    edit->setFocus();
    QTest::keyClick(edit, Qt::Key_S, Qt::ControlModifier);
    recorder.stop();
    EXPECT_EQ(window.state()["save"].toObject()["triggered"], 1);
    QStringList elements = elementsOf(readAll(script)).filter(QRegularExpression("^(Key|Information|Accel )"));
    elements.replaceInStrings(QRegularExpression(" sleep=\\d+$"), QString());
    EXPECT_EQ(elements, QStringList({"KeyPress name=/twdemo/central/edit text=a key=A", "KeyRelease name=/twdemo/central/edit text=a key=A",
                                     "Information text=shown", "KeyPress name=/twdemo/central/edit key=Control",
                                     "Accel name=/twdemo text=s key=S", "KeyRelease name=/twdemo/central/edit text=s key=S",
                                     "KeyRelease name=/twdemo/central/edit key=Control"}))
        << elements.join('\n').toStdString();
}

TEST_F(RecorderTools, PicksAndTheSidebarsWhatsThisLeaveTheApplicationAndTheScriptAsTheyWere)
{
    const Scenario scenario = inOwnXServer("RecorderTools.PicksAndTheSidebarsWhatsThis*", false);
    if (scenario == Scenario::Unavailable)
        GTEST_SKIP() << "needs Xvfb and xdotool";
    if (scenario == Scenario::Done)
        return;
    auto& settings = TapewrightSettings::instance();
    settings.setKeyBinding(2, QKeySequence(Qt::CTRL | Qt::Key_F3));
    settings.setShowRecorderDialog(true);
    window.resize(800, 600);
    window.move(500, 50);
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.geometry().topLeft() == QPoint(500, 50) && window.size() == QSize(800, 600); }))
        << "the window's place";
    auto* tree = window.findChild<QTreeWidget*>("tree");
    auto* list = window.findChild<QListWidget*>("list");
    auto* table = window.findChild<QTableWidget*>("table");
    Recorder recorder;
    ASSERT_TRUE(recorder.start(script));
    QPointer<RecorderDialog> sidebar = recorder.sidebar();
    ASSERT_TRUE(sidebar && QTest::qWaitForWindowExposed(sidebar));
    sidebar->move(0, 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return sidebar->geometry().topLeft() == QPoint(0, 0); })) << "the sidebar's place";
    // One recorded click, so that the views do not all stand where they began.
    xdotool(list->viewport(), list->visualItemRect(list->item(1)).center(), {"click", "1"});
    ASSERT_TRUE(QTest::qWaitFor([&] { return list->currentRow() == 1; })) << "the recorded click";
    const QList<QPair<QAbstractItemView*, QPoint>> picks = {
        {tree, tree->visualItemRect(tree->topLevelItem(3)).center()}, {list, list->visualItemRect(list->item(4)).center()},
        {table, table->visualItemRect(table->item(2, 1)).center()}};
    bool picked = false;
    once([] { return shown("PropertyPicker"); }, [&] {
        // Beside the window, where it hides none of the views.
        shown("PropertyPicker")->move(0, 300);
        ASSERT_TRUE(QTest::qWaitFor([] { return shown("PropertyPicker")->geometry().top() == 300; })) << "the picker's move";
        auto* rows = shown("PropertyPicker")->findChild<QTreeWidget*>("_listView");
        // A shortcut of the application's window does not run meanwhile (the picks after it show
        // that it has been handled).
        xdotool(edit, edit->rect().center(), {"key", "ctrl+s"});
        for (const auto& [view, at] : picks) {
            choose("QObject", "objectName");
            const int before = rows->topLevelItemCount();
            xdotool(view->viewport(), at, {"click", "1"});
            EXPECT_TRUE(QTest::qWaitFor([&] { return rows->topLevelItemCount() == before + 1; })) << "the pick in " << view->objectName().toStdString();
        }
        shown("PropertyPicker")->findChild<QPushButton*>("ok")->click();
        picked = true;
    });
    xdotool(edit, edit->rect().center(), {"key", "ctrl+F3"});
    ASSERT_TRUE(QTest::qWaitFor([&] { return picked; }, 30000)) << "the picker's end";
    // What's This from the sidebar, on one of its own buttons; the popup goes with a click on it.
    const auto buttons = sidebar->findChildren<QToolButton*>();
    xdotool(buttons.last(), buttons.last()->rect().center(), {"click", "1"});
    ASSERT_TRUE(QTest::qWaitFor([] { return QWhatsThis::inWhatsThisMode(); })) << "What's This mode";
    xdotool(buttons[1], buttons[1]->rect().center(), {"click", "1"});
    ASSERT_TRUE(QTest::qWaitFor([] { return QApplication::activePopupWidget() != nullptr; })) << "the What's This popup";
    QPointer<QWidget> popup = QApplication::activePopupWidget();
    xdotool(popup, popup->rect().center(), {"click", "1"});
    ASSERT_TRUE(QTest::qWaitFor([&] { return !popup || !popup->isVisible(); })) << "the popup's end";
    xdotool(edit, edit->rect().center(), {"click", "1"});
    ASSERT_TRUE(QTest::qWaitFor([&] { return edit->hasFocus(); })) << "the last recorded click";
    recorder.stop();
    const QJsonObject recorded = window.state();
    EXPECT_EQ(recorded["list"].toObject()["current"], "entry 1");
    EXPECT_EQ(recorded["save"].toObject()["triggered"], 0);

    const QByteArray text = readAll(script);
    const QStringList elements = elementsOf(text);
    EXPECT_EQ(elements.filter("PrintProperty").size(), 3) << elements.join('\n').toStdString();
    EXPECT_TRUE(elements.filter(QRegularExpression("name=/unnamed|recorderDialog|PropertyPicker|^Key(Press|Release) .*F3")).isEmpty())
        << elements.join('\n').toStdString();
    QProcess replay;
    replay.start(TWDEMO_PROGRAM, {"-playback", "-script", script, "--dump-state", dir.qpath() + "/replayed.json"});
    ASSERT_TRUE(replay.waitForFinished(60000));
    EXPECT_EQ(replay.exitCode(), 0) << replay.readAllStandardError().toStdString();
    QFile replayed(dir.qpath() + "/replayed.json");
    ASSERT_TRUE(replayed.open(QIODevice::ReadOnly));
    EXPECT_EQ(QJsonDocument::fromJson(replayed.readAll()).toJson(QJsonDocument::Compact).toStdString(),
              QJsonDocument(recorded).toJson(QJsonDocument::Compact).toStdString());
}
