#include "TapewrightTestSupport.h"

#include "common/TestSupport.h"
#include "tapewright/AdapterRegistry.h"
#include "tapewright/ChildListener.h"
#include "tapewright/PlayBackAdapter.h"
#include "tapewright/Command.h"
#include "tapewright/ErrorReport.h"
#include "tapewright/PlayBack.h"
#include "tapewright/Recorder.h"
#include "tapewright/ScriptReader.h"

#include <QBuffer>
#include <QCloseEvent>
#include <QDialog>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QSignalSpy>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QtTest/qtestspontaneevent.h>
#include <utility>

using namespace TapewrightTest;

namespace {

// A named top-level window with a line edit and a probe that remembers where it was pressed.
struct Probe : QWidget
{
    QList<QPoint> presses;
    void mousePressEvent(QMouseEvent* e) override { presses << e->position().toPoint(); }
};

class Playback : public TapewrightFixture
{
protected:
    void SetUp() override
    {
        TapewrightFixture::SetUp();
        TapewrightSettings::instance().setMissingWidget(TapewrightSettings::warnMissing);
        // The naming service runs from before the widgets are built, as in a program.
        ChildListener::instance();
        top = std::make_unique<QWidget>();
        top->setObjectName("pbTop");
        edit = new QLineEdit(top.get());
        edit->setObjectName("edit");
        probe = new Probe;
        probe->setObjectName("probe");
        probe->setParent(top.get());
        probe->setGeometry(0, 40, 100, 50);
        top->resize(200, 100);
        top->show();
        QCoreApplication::processEvents();
    }

    QString script(const QString& name, const QString& body)
    {
        const QString file = dir.qpath() + "/" + name;
        QFile out(file);
        EXPECT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(("<Events>\n" + body + "\n</Events>").toUtf8());
        return file;
    }

    // Plays a script to its end; returns milliseconds taken.
    qint64 play(const QString& body, const QString& output = QString())
    {
        PlayBack player;
        QSignalSpy done(&player, &PlayBack::playbackDone);
        QElapsedTimer clock;
        clock.start();
        if (player.start(script("main.tws", body), output)) {
            EXPECT_TRUE(done.wait(20000));
        }
        QCoreApplication::processEvents();
        return clock.elapsed();
    }

    static QString key(const char* text, int sleep = 0)
    {
        return QString("<KeyPress name=\"/pbTop/edit\" key=\"%1\" text=\"%2\" sleep=\"%3\"/>")
            .arg(QString(text).toUpper(), text).arg(sleep);
    }

    TestSupport::ScratchDir dir;
    std::unique_ptr<QWidget> top;
    QLineEdit* edit;
    Probe* probe;
};

}

TEST_F(TapewrightFixture, RecorderStampsRelativeAndAbsoluteTimeLeavingPausesOut)
{
    QWidget widget;
    widget.setObjectName("recorded");
    for (bool absolute : {false, true}) {
        TapewrightSettings::instance().setAbsoluteTimeStamps(absolute);
        qint64 now = 1000;
        QBuffer buffer;
        Recorder recorder(nullptr, [&now] { return now; });
        ASSERT_TRUE(recorder.start(&buffer));
        for (int step : {30, 50}) {
            now += step;
            recorder.pauseClock();
            now += 400;
            recorder.resumeClock();
            QCloseEvent close;
            QApplication::sendEvent(&widget, &close);
        }
        QSignalSpy ended(&recorder, &Recorder::recordingEnded);
        recorder.stop();
        recorder.stop();
        EXPECT_EQ(ended.count(), 2);
        QDomDocument document;
        ASSERT_TRUE(ScriptReader::parse(buffer.data(), "recorded", document));
        EXPECT_TRUE(buffer.data().endsWith("</Events>"));
        const QList<QDomElement> steps = ScriptReader::steps(document);
        ASSERT_EQ(steps.size(), 3);
        EXPECT_EQ(steps[0].attribute("id"), "3");
        EXPECT_EQ(steps[1].attribute("name"), "/recorded");
        EXPECT_EQ(steps[1].attribute("sleep"), "30");
        EXPECT_EQ(steps[2].attribute("sleep"), absolute ? "80" : "50");
    }
    TapewrightSettings::instance().setAbsoluteTimeStamps(false);

    // The Stop binding ends the recording and its key press is not recorded.
    QBuffer buffer;
    Recorder stopped;
    stopped.start(&buffer);
    TapewrightSettings::instance().setKeyBinding(0, QKeySequence(Qt::Key_F12));
    QKeyEvent f12(QEvent::KeyPress, Qt::Key_F12, Qt::NoModifier);
    QSpontaneKeyEvent::setSpontaneous(&f12);
    qApp->notify(&widget, &f12);
    TapewrightSettings::instance().setKeyBinding(0, QKeySequence());
    EXPECT_FALSE(stopped.isRecording());
    EXPECT_FALSE(buffer.data().contains("F12"));
    EXPECT_TRUE(buffer.data().endsWith("</Events>"));

    testing::internal::CaptureStderr();
    Recorder recorder;
    EXPECT_FALSE(recorder.start("/nonexistent-folder/x.tws"));
    EXPECT_TRUE(recorder.isRecording()) << "recording goes on without a script";
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Could not open file"), std::string::npos);
}

TEST_F(Playback, DelaysFirstAtOnceCompressionSleepAndNegative)
{
    // A minute's sleep that is not waited: play() waits 20 s at most for the end.
    EXPECT_LT(play(key("a", 60000)), 60000) << "the first element plays at once";
    EXPECT_EQ(edit->text(), "a");
    EXPECT_GE(play(key("b") + key("c", 300)), 290);
    EXPECT_LT(play(key("d") + key("e", -60000)), 60000) << "a negative delay runs at once";
    TapewrightSettings::instance().setCompressTime(true);
    EXPECT_LT(play(key("f") + key("g", 60000)), 60000);
    EXPECT_GE(play(key("h") + "<Sleep msec=\"300\"/>" + key("i", 5000)), 290);
    EXPECT_EQ(edit->text(), "abcdefghi");
}

// Stands for an element that waits in a nested event loop while holding the player, as a move
// waiting for the window system's report does; notes what the line edit held before and after.
struct SlowElement : PlayBackAdapter
{
    QLineEdit* edit = nullptr;
    QStringList seen;
    std::function<void()> inLoop;   // runs once inside the loop, as a timer's slot would
    bool play(QObject*, const QDomElement& element) override
    {
        if (element.tagName() != "SlowElement")
            return false;
        seen << edit->text();
        const PlayBack::Hold hold;
        if (inLoop)
            QTimer::singleShot(0, qApp, std::exchange(inLoop, {}));
        // Long enough for the next element's timer to come due many times over.
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 200)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        seen << edit->text();
        return true;
    }
};

TEST_F(Playback, AnElementAtWorkInANestedLoopIsNotOvertakenByTheNextOne)
{
    static auto* slow = new SlowElement;
    if (!slow->edit)
        adapterRegistry().registerAdapter(std::unique_ptr<PlayBackAdapter>(slow));
    slow->edit = edit;
    slow->seen.clear();
    play(key("a") + "<SlowElement name=\"/pbTop/edit\" sleep=\"0\"/>" + key("b") + key("c"));
    EXPECT_EQ(slow->seen, QStringList({"a", "a"}));
    EXPECT_EQ(edit->text(), "abc");

    // A modal box that opens inside that loop (a timer's message) keeps the loop until it is
    // closed: the elements that close it are played meanwhile, the one after still waits.
    QDialog notice;
    notice.setObjectName("pbNotice");
    auto* ok = new QPushButton("OK", &notice);
    ok->setObjectName("ok");
    ok->resize(80, 30);
    QObject::connect(ok, &QPushButton::clicked, &notice, &QDialog::accept);
    int result = -1;
    slow->inLoop = [&] {
        // Ends the box if nothing is played into it.
        QTimer::singleShot(15000, &notice, &QDialog::reject);
        result = notice.exec();
    };
    slow->seen.clear();
    edit->clear();
    const QString click = R"(<MousePress name="/pbNotice/ok" button="Left" x="10" y="10"/>)"
                          R"(<MouseRelease name="/pbNotice/ok" button="Left" x="10" y="10"/>)";
    play(key("a") + "<SlowElement name=\"/pbTop/edit\" sleep=\"0\"/>" + click + key("b"));
    EXPECT_EQ(result, QDialog::Accepted) << "the click for the box was not played while it was open";
    EXPECT_EQ(slow->seen, QStringList({"a", "a"}));
    EXPECT_EQ(edit->text(), "ab");
}

// Notes how much memory the process holds when it is played.
struct MemoryProbe : PlayBackAdapter
{
    qint64 resident = -1;
    bool play(QObject*, const QDomElement& element) override
    {
        if (element.tagName() != "MemoryProbe")
            return false;
        resident = residentBytes();
        return true;
    }
    static qint64 residentBytes()
    {
        QFile status("/proc/self/status");
        if (!status.open(QIODevice::ReadOnly))
            return -1;
        for (const QByteArray& line : status.readAll().split('\n'))
            if (line.startsWith("VmRSS:"))
                return line.mid(6).trimmed().split(' ').value(0).toLongLong() * 1024;
        return -1;
    }
};

TEST_F(Playback, AScriptAndTheFilesAboveItsIncludeAreHeldAtAboutTheirSize)
{
    static auto* probe = new MemoryProbe;
    static const bool registered = (adapterRegistry().registerAdapter(std::unique_ptr<PlayBackAdapter>(probe)), true);
    ASSERT_TRUE(registered);
    // Two files of 100,000 steps (1.8 MB each), the second included at the end of the first and
    // measured at its end. Held as documents they took some 500 MB.
    const QByteArray sleeps = QByteArray("<Sleep msec=\"0\"/>\n").repeated(100000);
    script("inner.tws", sleeps + "<MemoryProbe name=\"/pbTop/edit\"/>" + key("i"));
    TapewrightSettings::instance().setCompressTime(true);
    [[maybe_unused]] const qint64 before = MemoryProbe::residentBytes();
    play(sleeps + "<Include file=\"" + dir.qpath() + "/inner.tws\"/>" + key("o"));
    TapewrightSettings::instance().setCompressTime(false);
    EXPECT_EQ(edit->text(), "io");
    ASSERT_GT(probe->resident, 0);
#ifndef __SANITIZE_ADDRESS__
    // (AddressSanitizer keeps what was freed in quarantine: the process's size tells nothing there.)
    EXPECT_LT(probe->resident - before, 50 * 1024 * 1024);
#endif
}

TEST_F(Playback, AShortcutWaitsUntilItsWindowIsActiveAndIsReportedWhenItNeverIs)
{
    QStringList reports;
    setErrorSink([&reports](bool, const QString& message) { reports << message; });
    TapewrightSettings::instance().setCreationTimeOut(1000);
    for (const bool activated : {true, false}) {
        SCOPED_TRACE(activated);
        reports.clear();
        // The recording took the shortcut in the active window; replayed on a loaded machine, the
        // window system's answer to the script's activation can come after it, or never (a window
        // that does not take the activation stands for another one that keeps it).
        QDialog dialog;
        dialog.setObjectName("pbShortcuts");
        dialog.setWindowTitle("Shortcuts");
        auto* ok = new QPushButton("&Ok", &dialog);
        QSignalSpy clicked(ok, &QPushButton::clicked);
        dialog.setAttribute(Qt::WA_ShowWithoutActivating);
        dialog.setWindowFlag(Qt::WindowDoesNotAcceptFocus, !activated);
        dialog.show();
        QApplication::setActiveWindow(top.get());
        ASSERT_FALSE(dialog.isActiveWindow());
        // The window system's late answer, given in the application: on a display shared with
        // other test programs the window system itself may hand the activation elsewhere.
        // Repeated, so that such a hand-over cannot undo it.
        QTimer answer;
        QObject::connect(&answer, &QTimer::timeout, [&] { QApplication::setActiveWindow(&dialog); });
        if (activated)
            QTimer::singleShot(300, &answer, [&] { answer.start(20); });
        play("<Accel key=\"O\" state=\"Alt\" text=\"o\" name=\"/pbShortcuts\" ascii=\"111\"/>");
        if (activated) {
            // A mnemonic animates its click.
            EXPECT_TRUE(clicked.count() == 1 || clicked.wait(10000));
            EXPECT_EQ(reports, QStringList());
        } else {
            EXPECT_EQ(reports, QStringList({"The shortcut Alt+O was not played: its window /pbShortcuts (\"Shortcuts\") "
                                            "did not become active within 1000 ms"}));
        }
    }
    TapewrightSettings::instance().setCreationTimeOut(5000);
    setErrorSink({});
}

TEST_F(Playback, AWindowsCloseWaitsForTheClickItsShortcutStarted)
{
    // A mnemonic clicks its button after a short animation, and the dialog that the click
    // accepts closes itself: the recording holds that close right after the shortcut.
    QDialog dialog;
    dialog.setObjectName("pbAccepted");
    auto* ok = new QPushButton("&Ok", &dialog);
    QObject::connect(ok, &QPushButton::clicked, &dialog, &QDialog::accept);
    QList<int> outcomes;
    QObject::connect(&dialog, &QDialog::finished, [&outcomes](int result) { outcomes << result; });
    dialog.show();
    QApplication::setActiveWindow(&dialog);
    play(R"(<Accel key="O" state="Alt" text="o" name="/pbAccepted"/><Close sleep="0" name="/pbAccepted"/>)");
    EXPECT_EQ(outcomes, QList<int>({QDialog::Accepted}));
}

TEST_F(Playback, IncludesNestMissingAndCyclicOnesAreReportedOnce)
{
    script("inner.tws", key("b") + "<Include file=\"" + dir.qpath() + "/main.tws\"/>" + key("c"));
    script("middle.tws", "<Include file=\"" + dir.qpath() + "/inner.tws\"/>" + key("d"));
    testing::internal::CaptureStderr();
    play(key("a") + "<Include file=\"" + dir.qpath() + "/middle.tws\"/><Include file=\"nowhere.tws\"/>" + key("e"));
    EXPECT_EQ(edit->text(), "abcde");
    const QStringList errors = QString::fromStdString(testing::internal::GetCapturedStderr()).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(errors.size(), 2);
    EXPECT_TRUE(errors[0].contains("would include itself"));
    EXPECT_EQ(errors[1], "File 'nowhere.tws' doesn't exist");
}

TEST_F(Playback, MissingWidgetsFollowThePolicyAndLateOrDisabledOnesAreWaitedFor)
{
    // The paths are new in every run of the test: a path once given up on, or whose widget is
    // gone, is not waited for again, and repeated runs share the process-wide listener.
    static int run = 0;
    const QString suffix = QString::number(++run);
    const QString lateName = "pbLate" + suffix;
    TapewrightSettings::instance().setCreationTimeOut(100);
    for (int policy : {0, 1, 16}) {
        TapewrightSettings::instance().setMissingWidget(policy);
        edit->clear();
        testing::internal::CaptureStderr();
        const QString gone = QString("/pbTop/gone%1_%2").arg(policy).arg(suffix);
        play(key("a") + "<Close name=\"" + gone + "\"/>" + key("b"));
        EXPECT_EQ(edit->text(), policy == 16 ? "a" : "ab") << policy;
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  policy == 1 ? ("Unable to find widget with name " + gone + "\n").toStdString() : "");
    }
    TapewrightSettings::instance().setCreationTimeOut(5000);
    std::unique_ptr<QLineEdit> late;
    QTimer::singleShot(300, top.get(), [&] {
        late = std::make_unique<QLineEdit>();
        late->setObjectName(lateName);
        late->show();
    });
    play("<KeyPress name=\"/" + lateName + "\" key=\"X\" text=\"x\"/>");
    ASSERT_TRUE(late);
    EXPECT_EQ(late->text(), "x");
    // A disabled one is waited for in the same way, also in compressed time: the person who
    // recorded waited until it could be used.
    TapewrightSettings::instance().setCompressTime(true);
    late->setEnabled(false);
    QTimer::singleShot(300, late.get(), [&] { late->setEnabled(true); });
    play("<KeyPress name=\"/" + lateName + "\" key=\"Y\" text=\"y\"/>");
    EXPECT_EQ(late->text(), "xy");
    // And one held back by a modal dialog (a computation's progress) until the dialog closes.
    QDialog busy;
    busy.setModal(true);
    busy.show();
    QTimer::singleShot(300, &busy, [&] { EXPECT_EQ(late->text(), "xy"); busy.close(); });
    play("<KeyPress name=\"/" + lateName + "\" key=\"Z\" text=\"z\"/>");
    EXPECT_EQ(late->text(), "xyz");
    // And one held back while the host says it is busy (a job's result still being taken in),
    // however long that takes, unless it is for the modal dialog in front.
    TapewrightSettings::instance().setCreationTimeOut(100);
    bool hostBusy = true;
    PlayBack::setBusyCheck([&] { return hostBusy; });
    QLineEdit inFront;
    inFront.setObjectName("pbFront");
    inFront.setWindowModality(Qt::ApplicationModal);
    inFront.show();
    // The job ends once the key has reached the dialog in front; the run's end waits for that.
    const QMetaObject::Connection jobEnds = QObject::connect(&inFront, &QLineEdit::textChanged, [&] { hostBusy = false; });
    play("<KeyPress name=\"/pbFront\" key=\"A\" text=\"a\"/>");
    EXPECT_EQ(inFront.text(), "a");
    QObject::disconnect(jobEnds);
    inFront.close();
    hostBusy = true;
    QTimer::singleShot(300, late.get(), [&] { EXPECT_EQ(late->text(), "xyz"); hostBusy = false; });
    play("<KeyPress name=\"/" + lateName + "\" key=\"W\" text=\"w\"/>");
    PlayBack::setBusyCheck({});
    TapewrightSettings::instance().setCreationTimeOut(5000);
    EXPECT_EQ(late->text(), "xyzw");
    // And a tree item not there yet (a list still being filled) until it is, and a press that an
    // adapter recorded until its widget is enabled.
    auto* tree = new QTreeWidget(top.get());
    tree->setObjectName("tree");
    tree->setEnabled(false);
    tree->show();
    QTimer::singleShot(300, tree, [tree] { new QTreeWidgetItem(tree, {"late"}); });
    QTimer::singleShot(500, tree, [tree] { tree->setEnabled(true); });
    play("<QListView..mouseEvent name=\"/pbTop/tree\" type=\"MouseButtonPress\" button=\"Left\" offsetX=\"5\" "
         "offsetY=\"5\" column=\"0\"><ChildPath><Child col0=\"late\" index=\"0\"/></ChildPath></QListView..mouseEvent>");
    TapewrightSettings::instance().setCompressTime(false);
    ASSERT_TRUE(tree->currentItem());
    EXPECT_EQ(tree->currentItem()->text(0), "late");
}

TEST_F(Playback, QuitPolicyAndUnknownTagsEndTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            TapewrightSettings::instance().setCreationTimeOut(-1);
            TapewrightSettings::instance().setMissingWidget(257);
            PlayBack player;
            if (player.start(script("quit.tws", "<Close name=\"/pbTop/gone\"/>" + key("z"))))
                std::exit(QApplication::exec());
            std::exit(1);
        },
        testing::ExitedWithCode(255), "Unable to find widget with name /pbTop/gone");
    EXPECT_EXIT(
        {
            PlayBack player;
            if (player.start(script("unknown.tws", "<QFooBar name=\"/pbTop/edit\"/>")))
                std::exit(QApplication::exec());
            std::exit(1);
        },
        testing::ExitedWithCode(255), "Unknown tag: qfoobar");
}

TEST_F(Playback, MousePositionsScaleOnlyAcrossTheEdgeAndKeyBeatsIntkey)
{
    QString body;
    for (const char* at : {"x=\"150\" y=\"20\" widgetWidth=\"200\" widgetHeight=\"50\"",
                           "x=\"50\" y=\"20\" widgetWidth=\"200\" widgetHeight=\"50\"",
                           "x=\"-10\" y=\"5\" widgetWidth=\"200\" widgetHeight=\"50\"",
                           "x=\"150\" y=\"20\" widgetWidth=\"0\" widgetHeight=\"0\"", "x=\"150\" y=\"20\""})
        body += QString("<MousePress name=\"/pbTop/probe\" button=\"Left\" %1/>").arg(at);
    play(body + "<KeyPress name=\"/pbTop/edit\" key=\"Q\" intkey=\"65\" text=\"q\"/>");
    EXPECT_EQ(probe->presses, QList<QPoint>({{75, 20}, {50, 20}, {-10, 5}, {150, 20}, {150, 20}}));
    EXPECT_EQ(edit->text(), "q");
}

TEST_F(Playback, PrintsPropertiesAndScreenDumps)
{
    edit->setText("shown");
    const QString output = dir.qpath() + "/output.txt";
    testing::internal::CaptureStderr();
    play("<PrintProperty name=\"/pbTop/edit\" property=\"text\">first line</PrintProperty>"
         "<PrintProperty name=\"/pbTop/edit\" property=\"maxLength\" extra=\"1\"/>"
         "<PrintProperty name=\"/pbTop/edit\" property=\"nothing\"/>"
         "<ScreenDump name=\"/pbTop/probe\" fileName=\"" + dir.qpath() + "/probe.png\"/>"
         "<ScreenDump name=\"/pbTop/probe\" fileName=\"" + dir.qpath() + "/probe.gif\"/>",
         output);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Unknown file format, must be one of: PNG, BMP, XBM, XPM, and PNM\n");
    QFile file(output);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), "first line\n/pbTop/edit, text: shown\n/pbTop/edit, maxLength: 32767\n"
                              "/pbTop/edit, nothing: *INVALID*\n");
    EXPECT_EQ(QImage(dir.qpath() + "/probe.png").convertToFormat(QImage::Format_RGB32),
              probe->grab().toImage().convertToFormat(QImage::Format_RGB32));
    QFile gif(dir.qpath() + "/probe.gif");
    ASSERT_TRUE(gif.open(QIODevice::ReadOnly));
    EXPECT_TRUE(gif.read(2) == "\xFF\xD8") << "JPEG data";

    testing::internal::CaptureStdout();
    play("<PrintProperty name=\"/pbTop/edit\" property=\"text\"/>");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "/pbTop/edit, text: shown\n");
}

TEST_F(Playback, RunsEndWithAnErrorPastTheirBoundsAndARefusedCommandIsAContinuableError)
{
    QList<std::pair<bool, QString>> reports;
    setErrorSink([&reports](bool canContinue, const QString& message) { reports.append({canContinue, message}); });
    // Eight levels of ten includes each: bounded in depth and free of cycles, but without a bound
    // on the total it would never end.
    script("level8.tws", "<Sleep msec=\"0\"/>");
    for (int level = 7; level >= 0; --level)
        script(QString("level%1.tws").arg(level), QString("<Include file=\"%1/level%2.tws\"/>").arg(dir.qpath()).arg(level + 1).repeated(10));
    {
        PlayBack player;
        QSignalSpy done(&player, &PlayBack::playbackDone);
        ASSERT_TRUE(player.start(dir.qpath() + "/level0.tws"));
        EXPECT_TRUE(done.wait(120000)) << "the end of the include fan-out";
    }
    ASSERT_EQ(reports.size(), 1);
    EXPECT_TRUE(reports[0].second.startsWith("The script includes more than 10000 files")) << reports[0].second.toStdString();

    // Exactly as many elements as the bound plays to the end; one more ends with the error.
    for (const int elements : {5, 6}) {
        reports.clear();
        edit->clear();
        PlayBack player;
        player.setRunLimits(PlayBack::defaultMaxIncludedFiles, 5);
        QSignalSpy done(&player, &PlayBack::playbackDone);
        ASSERT_TRUE(player.start(script("keys.tws", key("k").repeated(elements))));
        EXPECT_TRUE(done.wait(20000)) << "the end of the playback";
        QCoreApplication::processEvents();
        EXPECT_EQ(edit->text(), "kkkkk");
        EXPECT_EQ(reports.size(), elements - 5);
        if (!reports.isEmpty()) {
            EXPECT_EQ(reports[0].second, "The script plays more than 5 elements; playback ends");
        }
    }

    // The run goes on after a command that did not run, but its status says so.
    const QString output = dir.qpath() + "/out.txt";
    Command::setTimeOut(300);
    const struct
    {
        bool allowed;
        QString command;
        QString reported;   // empty: nothing
    } commands[] = {
        {false, "touch never", "External commands are off; not run: touch never"},
        {true, "no-such-program-here x", "Unable to run command: no-such-program-here x"},
        {true, "sleep 100", "Command timed out after 300 ms: sleep 100"},
        {true, "true", {}},
    };
    for (const auto& c : commands) {
        SCOPED_TRACE(c.command.toStdString());
        reports.clear();
        edit->clear();
        TapewrightSettings::instance().setAllowCommands(c.allowed);
        play("<RunCommand command=\"" + c.command + "\"/>" + key("r"), output);
        EXPECT_EQ(edit->text(), "r");
        ASSERT_EQ(reports.size(), c.reported.isEmpty() ? 0 : 1);
        if (!c.reported.isEmpty()) {
            EXPECT_TRUE(reports[0].first);
            EXPECT_EQ(reports[0].second, c.reported);
        }
        QFile file(output);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(file.readAll().trimmed(), c.reported.toUtf8());
    }
    Command::setTimeOut(Command::defaultTimeOutMs);
    TapewrightSettings::instance().setAllowCommands(false);
    setErrorSink({});
}

// An unattended run that stops early says how much of its script it left undone: the presses,
// keys, values set and wheel turns after the stop, and the releases of those, and the checks
// (screen dumps, printed properties, commands, includes, messages), in every file being played;
// not the closes, activations, focus changes, moves and releases of keys already pressed that a
// recording ends with.
TEST_F(Playback, AnUnattendedRunThatStopsEarlyCountsTheInputAndTheChecksItLeft)
{
    TapewrightSettings& settings = TapewrightSettings::instance();
    settings.setUnattended(true);
    settings.setMissingWidget(TapewrightSettings::stopOnMissing);
    settings.setCreationTimeOut(-1);
    QStringList reports;
    setErrorSink([&reports](bool, const QString& message) { reports << message; });
    // A path given up on is not reported again: each stop has one of its own, in every run.
    static int run = 0;
    ++run;
    const auto stop = [](int i) { return QString("<Close name=\"/pbTop/missing%1_%2\"/>\n").arg(run).arg(i); };
    const QString inner = script("inner.tws", stop(3) + key("c"));
    const QString main = dir.qpath() + "/main.tws";
    const QString left = "Playback ended before its script did: ";
    const struct
    {
        QString body;
        QString reported;   // empty: nothing
    } cases[] = {
        {key("a") + "\n" + stop(1) + key("b") + "\n<KeyRelease name=\"/pbTop/edit\" key=\"B\" text=\"b\"/>\n<MouseMove name=\"/pbTop/probe\"/>\n<QSlider..setValue name=\"/pbTop/s\" value=\"3\"/>\n"
                                              "<WheelEvent name=\"/pbTop/edit\" delta=\"120\"/>",
         left + "4 input elements (presses, releases, keys, values set, wheel turns) were not played, from line 4 of '" + main + "' on"},
        // The releases of what was played before the stop only end it.
        {key("a") + "\n" + stop(2) + "<KeyRelease name=\"/pbTop/edit\" key=\"A\" text=\"a\"/>\n<MouseRelease name=\"/pbTop/probe\" button=\"Left\"/>\n<Close name=\"/pbTop\"/>\n<WindowDeactivate name=\"/pbTop\"/>\n"
                                   "<FocusEvent name=\"/pbTop/edit\" type=\"FocusOut\"/>\n<QListView..mouseEvent name=\"/pbTop/t\" type=\"MouseMove\"/>",
         {}},
        {"<Include file=\"" + inner + "\"/>\n" + key("d"),
         left + "2 input elements (presses, releases, keys, values set, wheel turns) were not played, from line 3 of '" + inner + "' on"},
        {stop(4) + key("e"), left + "1 input element (a press, release, key, value set or wheel turn) was not played, on line 3 of '" + main + "'"},
        {stop(6) + "<ScreenDump name=\"/pbTop\" fileName=\"never.png\"/>\n<Include file=\"" + inner + "\"/>\n<Information text=\"x\"/>",
         left + "3 checks (screen dumps, printed properties, commands, includes, messages) were not played, from line 3 of '" + main + "' on"},
        {stop(7) + "<RunCommand command=\"true\"/>\n" + key("f") + "\n<bogus name=\"/pbTop/edit\"/>",
         left + "3 elements were not played, 1 of them input (presses, releases, keys, values set, wheel turns) and 2 checks (screen dumps, "
                "printed properties, commands, includes, messages), from line 3 of '" + main + "' on"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body.toStdString());
        reports.clear();
        play(c.body);
        EXPECT_EQ(reports.join('\n').toStdString(), c.reported.toStdString());
    }
    setErrorSink({});
    settings.setUnattended(false);
    settings.setMissingWidget(TapewrightSettings::warnMissing);
    settings.setCreationTimeOut(5000);
}

TEST(Command, RefusedByDefaultThenRunWithShellQuotingTimeOutAndFailures)
{
    TestSupport::ScratchDir dir;
    const QString touched = dir.qpath() + "/touched";
    EXPECT_TRUE(Command::runCommand("touch " + touched).contains("not run: touch"));
    EXPECT_FALSE(QFile::exists(touched));
    bool shell = false;
    EXPECT_EQ(Command::splitCommand("a \"b c\" '' x\"y", &shell), QStringList({"a", "b c", "", "x\"y"}));
    EXPECT_FALSE(shell);
    EXPECT_EQ(Command::splitCommand("A=1 b|c", &shell), QStringList({"A=1", "b", "|", "c"}));
    EXPECT_TRUE(shell);

    TapewrightSettings::instance().setAllowCommands(true);
    EXPECT_EQ(Command::runCommand("printf 'a\\nb\\n' | sort -r"), "b\na\n");
    EXPECT_EQ(Command::runCommand("printf '%s|' \"b c\" d"), "b c|d|\n") << "the last line without a line end is kept";
    EXPECT_EQ(Command::runCommand("no-such-program-here x"), "Unable to run command: no-such-program-here x");
    Command::setTimeOut(300);
    QElapsedTimer clock;
    clock.start();
    EXPECT_TRUE(Command::runCommand("sleep 100").startsWith("Command timed out"));
    EXPECT_LT(clock.elapsed(), 100000) << "waited for the command's end";
    Command::setTimeOut(Command::defaultTimeOutMs);
    TapewrightSettings::instance().setAllowCommands(false);
}
