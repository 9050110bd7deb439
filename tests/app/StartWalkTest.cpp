// The start's walk of the patient folders goes on beside the window: the window is painted and
// tells what the walk does while it goes on, and quitting or a signal ends the program without
// waiting for the rest of the walk. A patient path that names no folder is told as such.
#include "AppTestSupport.h"

#include "planning/io/saving/FolderHandle.h"
#include "shell/dialogs/LoadPlanningDialog.h"
#include "planning/model/Settings.h"
#include "shell/dialogs/MessageDialog.h"
#include "shell/main/MainWindow.h"
#include "vexa/core/DetachableCall.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTextEdit>
#include <QTimer>
#include <QLabel>
#include <QProgressBar>
#include <QRegularExpression>
#include <QPushButton>
#include <QTest>
#include <algorithm>
#include <condition_variable>
#include <csignal>
#include <gtest/gtest.h>
#include <mutex>
#include <set>

namespace {

// `patients` patients of `each` plannings below the folder, as saves leave them.
void makeShare(const QString& folder, int patients, int each)
{
    for (int p = 0; p < patients; ++p)
        for (int n = 0; n < each; ++n) {
            const QString name = QString("2031-02-%1__10-00-00-%2").arg(1 + n, 2, 10, QChar('0')).arg(p);
            const QString planning = QString("%1/patient-%2/%3").arg(folder).arg(p, 3, 10, QChar('0')).arg(name);
            QDir().mkpath(planning + "/dicom");
            QFile file(planning + "/" + name + ".srl");
            ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write("[Planningdata]\n") > 0);
        }
}

// Holds every file step below `gate` until opened; counts the steps below `counted`.
struct Gate
{
    Gate(const QString& gate, const QString& counted) : at(gate.toStdString()), below(counted.toStdString())
    {
        FolderHandle::setFaultInjector([this](FolderHandle::SystemCall, const std::string& path) {
            if (path.compare(0, below.size(), below) == 0) {
                std::lock_guard lock(mutex);
                steps.push_back(path);
            }
            if (path.compare(0, at.size(), at) == 0) {
                std::unique_lock lock(mutex);
                held = true;
                changed.wait(lock, [this] { return open; });
            }
            return 0;
        });
    }
    ~Gate()
    {
        release();
        FolderHandle::setFaultInjector({});
    }
    bool isHeld()
    {
        std::lock_guard lock(mutex);
        return held;
    }
    void release()
    {
        {
            std::lock_guard lock(mutex);
            open = true;
        }
        changed.notify_all();
    }
    // The steps after the `first`, by where they were made.
    std::vector<std::string> since(std::size_t first)
    {
        std::lock_guard lock(mutex);
        return {steps.begin() + std::ptrdiff_t(std::min(first, steps.size())), steps.end()};
    }
    std::size_t count()
    {
        std::lock_guard lock(mutex);
        return steps.size();
    }
    const std::string at, below;
    std::vector<std::string> steps;
    std::mutex mutex;
    std::condition_variable changed;
    bool held = false, open = false;
};

int colours(const QImage& picture)
{
    std::set<QRgb> seen;
    for (int y = 0; y < picture.height(); y += 2)
        for (int x = 0; x < picture.width(); x += 2)
            seen.insert(picture.pixel(x, y));
    return int(seen.size());
}

}

// The walk is held in the middle of the share: the window is on the screen, painted, with the
// walk's bar saying what it does; then it goes through, or quitting ends it where it is.
TEST(StartWalkTest, TheWindowIsPaintedWithTheWalksBarWhileTheWalkGoesOn)
{
    if (QGuiApplication::platformName() == "offscreen")
        GTEST_SKIP() << "needs an X display";
    for (const bool quit : {false, true}) {
        SCOPED_TRACE(quit ? "quitting during the walk" : "the walk goes through");
        AppTest::AppFolder home;
        const QString patients = home.path("patients");
        makeShare(patients, 6, 4);
        Gate gate(patients + "/patient-003", patients);
        auto window = std::make_unique<MainWindow>(nullptr, Constants::NormalMode);
        bool through = false;
        QObject::connect(window.get(), &MainWindow::earlierSessionsFinished, [&through] { through = true; });
        auto* text = window->findChild<QLabel*>("StartWalkText");
        ASSERT_TRUE(AppTest::waitFor([&] {
            text = window->findChild<QLabel*>("StartWalkText");
            return gate.isHeld() && text && text->text().contains("12 plannings looked at");
        }, 60000)) << (text ? text->text().toStdString() : "no bar");
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        EXPECT_EQ(text->text().toStdString(), "Finishing what earlier sessions left in the patient folders: 12 plannings looked at");
        auto* bar = window->findChild<QProgressBar*>("StartWalkProgress");
        ASSERT_TRUE(bar && bar->isVisible());
        // Half of the patients are behind it, and the bar shows so.
        EXPECT_TRUE(AppTest::waitFor([&] { return bar->value() >= 400 && bar->value() <= 600; }, 10000)) << bar->value();
        // What the screen shows: buttons and views, and the walk's words.
        EXPECT_TRUE(AppTest::waitFor([&] { return colours(AppTest::onScreen(window.get())) > 20; }, 10000));
        EXPECT_TRUE(AppTest::waitFor([&] { return colours(AppTest::onScreen(text)) > 1; }, 10000));
        EXPECT_FALSE(through);
        if (quit) {
            window->close();
            const std::size_t before = gate.count();
            gate.release();
            window.reset();
            // Only the patient folder at hand was looked at further, none of its plannings and
            // nothing after it.
            for (const std::string& step : gate.since(before))
                EXPECT_TRUE(step == gate.below ||
                            (step.rfind(gate.at, 0) == 0 && step.find('/', gate.at.size() + 1) == std::string::npos))
                    << step;
            EXPECT_FALSE(through);
        } else {
            gate.release();
            EXPECT_TRUE(AppTest::waitFor([&] { return through; }, 60000));
            EXPECT_EQ(window->findChild<QWidget*>("StartWalkBar"), nullptr);
            EXPECT_TRUE(window->waitForEarlierSessions());
        }
    }
}

// The real program on a slow share, and on one that stops answering (a file server down): a
// signal or Ctrl+W while the start walks it ends the program at once, as it ends otherwise; a
// walk held in a file call that never returns is not waited for.
TEST(StartWalkTest, ASignalOrQuittingDuringASlowWalkEndsTheProgramAtOnce)
{
    TestSupport::PrivateXServer& x = AppTest::xServer();
    if (!x.running())
        GTEST_SKIP() << "no Xvfb";
    const struct
    {
        const char* how;
        std::function<void(QProcess&)> end;
        int status;
    } ends[] = {
        {"SIGTERM", [](QProcess& program) { ::kill(pid_t(program.processId()), SIGTERM); }, 128 + SIGTERM},
        {"Ctrl+W", [&x](QProcess&) { AppTest::xdotool(x.display(), {"key", "ctrl+w"}); }, 0},
    };
    for (const bool stuck : {false, true})
    for (const auto& end : ends) {
        SCOPED_TRACE(std::string(end.how) + (stuck ? " on a share that stops answering" : " on a slow share"));
        AppTest::AppFolder home;
        makeShare(home.path("patients"), 50, 4);
        // 20 ms for each of several steps a planning: the walk takes far longer than the bound.
        QProcessEnvironment slow;
        slow.insert("LD_PRELOAD", SLOW_FOLDERS);
        slow.insert("MORVANTA_SLOW_BELOW", QFileInfo(home.path("patients")).canonicalFilePath());
        slow.insert("MORVANTA_SLOW_MICROSECONDS", "20000");
        slow.insert("MORVANTA_SLOW_BEGUN", home.path("walk-begun"));
        if (stuck) {
            slow.insert("MORVANTA_STUCK_BELOW", QFileInfo(home.path("patients")).canonicalFilePath());
            slow.insert("MORVANTA_STUCK_WHEN", home.path("server-down"));
            slow.insert("MORVANTA_STUCK_HELD", home.path("call-held"));
        }
#if defined(__SANITIZE_ADDRESS__)
        // The shim comes before the sanitizer's runtime among the preloaded libraries, which the
        // runtime would refuse; it only slows two calls down and leaves memory to the runtime.
        slow.insert("ASAN_OPTIONS", qEnvironmentVariable("ASAN_OPTIONS") + ":verify_asan_link_order=0");
#endif
        QProcess program;
        ASSERT_FALSE(AppTest::startProgram(program, x.display(), home.path(), {}, slow).isEmpty());
        ASSERT_TRUE(AppTest::waitFor([&] { return QFileInfo::exists(home.path("walk-begun")); }, 60000));
        if (stuck) {
            QFile(home.path("server-down")).open(QIODevice::WriteOnly);
            ASSERT_TRUE(AppTest::waitFor([&] { return QFileInfo::exists(home.path("call-held")); }, 60000));
        }
        QElapsedTimer clock;
        clock.start();
        end.end(program);
        ASSERT_TRUE(program.waitForFinished(60000));
        const QString errors = QString::fromLocal8Bit(program.readAllStandardError());
        EXPECT_LT(clock.elapsed(), 10000) << errors.toStdString();
        EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(program.exitCode(), end.status) << errors.toStdString();
        EXPECT_FALSE(errors.contains("the patient folders were looked through")) << errors.toStdString();
        EXPECT_EQ(errors.contains("A patient folder does not answer: the program ends without waiting for it"), stuck)
            << errors.toStdString();
    }
}

// Two patient folders, one held in a file call (a file server that stopped answering), first or
// second: what needs only the other goes on at once; a wait for the held one says which folder
// does not answer and Escape typed on the X server ends it; the list shows what the other folder
// holds and says what it waits for, and Ctrl+W closes it at once; the window goes without the held
// call.
TEST(StartWalkTest, AFolderThatDoesNotAnswerHoldsOnlyWhatNeedsIt)
{
    if (QGuiApplication::platformName() == "offscreen")
        GTEST_SKIP() << "needs an X display";
    // The dead folder second, then first: it holds up only its own rows either way.
    for (const bool deadFirst : {false, true}) {
        SCOPED_TRACE(deadFirst ? "the dead folder first" : "the dead folder second");
        AppTest::AppFolder home;
        const QString good = home.path("good"), dead = home.path("dead"), display = qEnvironmentVariable("DISPLAY");
        makeShare(good, 2, 2);
        makeShare(dead, 2, 2);
        QFile ini(home.path("Morvanta.ini"));
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
        ini.write(("[Morvanta]\nPatientPath=" + (deadFirst ? dead + ";" + good : good + ";" + dead) + "\n").toUtf8());
        ini.close();
        auto gate = std::make_unique<Gate>(dead + "/patient-001", dead);
        auto window = std::make_unique<MainWindow>(nullptr, Constants::NormalMode);
        ASSERT_TRUE(AppTest::waitFor([&] { return gate->isHeld(); }, 60000));
        EXPECT_TRUE(window->waitForEarlierSessions((good + "/patient-000").toStdString()));

        // Runs the flow; once the dialog it opens says `says`, types `key` into it (from a timer: the
        // flow's dialog runs its own loop) and takes its picture. What the dialog said.
        const auto inDialog = [&](const std::function<void()>& flow, const char* type, const QString& says, const char* key,
                                  const QString& picture) {
            QString text;
            QElapsedTimer clock;
            QTimer look;
            QObject::connect(&look, &QTimer::timeout, [&] {
                QWidget* dialog = QApplication::activeModalWidget();
                text.clear();
                if (!dialog || !dialog->inherits(type))
                    return;
                // A label shown shortened holds its whole text as its tool tip.
                for (const QLabel* label : dialog->findChildren<QLabel*>())
                    text += (label->toolTip().isEmpty() ? label->text() : label->toolTip()) + "\n";
                for (const QTextEdit* lines : dialog->findChildren<QTextEdit*>())
                    text += lines->toPlainText() + "\n";
                if (!text.contains(says))
                    return;
                look.stop();
                AppTest::onScreen(dialog).save(QString(MORVANTA_BINARY_DIR "/tests/app/%1.png").arg(picture));
                clock.start();
                AppTest::xdotool(display, {"windowfocus", "--sync", QString::number(dialog->winId()), "key", key});
            });
            look.start(50);
            flow();
            EXPECT_TRUE(clock.isValid()) << key << ": " << text.toStdString();
            EXPECT_LT(clock.isValid() ? clock.elapsed() : 0, 3000) << key;
            return text;
        };
        const QString waitText = inDialog([&] { EXPECT_FALSE(window->waitForEarlierSessions(dead.toStdString())); },
                                          "AlgorithmProgressDialog", "has not answered since", "Escape", "start_walk_wait");
        EXPECT_TRUE(waitText.contains("The patient folder " + dead + " has not answered since ")) << waitText.toStdString();
        // The list: the good folder's four plannings (files without what the list shows) are told,
        // the last of them in the walk's order waited for, and the line says what it waits for.
        const QString listText = inDialog([&] { window->choosePlanning(); }, "LoadPlanningDialog",
                                          "\npatient-001/2031-02-02__10-00-00-1: ", "ctrl+w",
                                          deadFirst ? "start_walk_list_dead_first" : "start_walk_list");
        EXPECT_EQ(listText.count(QRegularExpression("\npatient-00[01]/2031-02-0[12]__10-00-00-[01]: ")), 4) << listText.toStdString();
        EXPECT_TRUE(listText.contains("for the start to finish what earlier sessions left in " + dead)) << listText.toStdString();
        EXPECT_EQ(LoadPlanningDialog::threadsOut(), 0);

        QElapsedTimer clock;
        clock.start();
        window->close();
        window.reset();
        EXPECT_LT(clock.elapsed(), 5000);
        EXPECT_EQ(StartWalk::threadsOut(), 1);
        // The server answers again: the thread ends by itself, before the gate goes.
        gate->release();
        EXPECT_TRUE(AppTest::waitFor([] { return StartWalk::threadsOut() == 0; }, 60000));
        gate.reset();
    }
}

// A patient path that names no folder is told as that setting's fault, at the start, and nothing
// of earlier sessions is said or promised.
TEST(StartWalkTest, APatientPathThatNamesNoFolderIsToldAsSuch)
{
    if (QGuiApplication::platformName() == "offscreen")
        GTEST_SKIP() << "needs an X display";
    for (const char* setting : {"plain/patients", "plain"}) {
        SCOPED_TRACE(setting);
        AppTest::AppFolder home;
        QFile plain(home.path("plain"));
        ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
        plain.close();
        QFile ini(home.path("Morvanta.ini"));
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
        ini.write(("[Morvanta]\nPatientPath=" + home.path(setting) + "\n").toUtf8());
        ini.close();
        AppTest::DialogAnswerer answer;
        QString told;
        answer.then([&](QWidget* modal) {
            if (!qobject_cast<MessageDialog*>(modal))
                return false;
            told = modal->findChild<QLabel*>()->text();
            modal->findChild<QPushButton*>()->click();
            return true;
        });
        MainWindow window(nullptr, Constants::NormalMode);
        bool through = false;
        QObject::connect(&window, &MainWindow::earlierSessionsFinished, [&through] { through = true; });
        ASSERT_TRUE(AppTest::waitFor([&] { return through && answer.done(); }, 60000)) << answer.seen.join(", ").toStdString();
        EXPECT_EQ(told.toStdString(), "The setting PatientPath in Morvanta.ini names no folder: " + home.path(setting).toStdString());
        EXPECT_EQ(answer.seen, QStringList{"MessageDialog:Patient folder"});
    }
}

// The real program with its patient folder answering, and stopping to answer once the window is
// up (a file server down): "Start new planning" makes the recording's file there, and "Save as new"
// ends the recording there. Where the folder does not answer, each waits in a box that names it,
// drawn on the screen; Escape leaves the step with the imported series open as it was (told
// where it is not saved, recorded beside the program), and SIGTERM or Ctrl+W in the box end the
// program within seconds.
TEST(StartWalkTest, AStepOnAFolderThatStoppedAnsweringWaitsInABoxThatCanBeLeft)
{
    TestSupport::PrivateXServer& x = AppTest::xServer();
    if (!x.running())
        GTEST_SKIP() << "no Xvfb";
    const QString display = x.display();
    enum class End { cancel, signal, quit };
    // Where the buttons "Save as new" and "Quit without save" of "Save patient" are.
    constexpr QPoint saveAsNew{216, 106}, withoutSave{468, 106};
    const auto key = [&](const QString& window, const QString& keys) {
        AppTest::xdotool(display, {"windowfocus", "--sync", window, "key", keys});
    };
    const auto click = [&](const QString& title, QPoint at) {
        const QString window = AppTest::windowNamed(display, title);
        ASSERT_FALSE(window.isEmpty()) << title.toStdString();
        AppTest::xdotool(display, {"mousemove", "--window", window, QString::number(at.x()), QString::number(at.y()), "click", "1"});
    };
    for (const bool stuck : {false, true})
    for (const bool saving : {false, true})
    for (const End end : stuck ? std::vector<End>{End::cancel, End::signal, End::quit} : std::vector<End>{End::quit}) {
        SCOPED_TRACE(std::string(saving ? "Save as new" : "Start new planning") + (stuck ? ", the folder stopped answering, " : ", ") +
                     (end == End::cancel ? "Escape" : end == End::signal ? "SIGTERM" : "Ctrl+W"));
        AppTest::AppFolder home;
        const QString patients = QFileInfo(home.path("patients")).canonicalFilePath();
        QFile ini(home.path("Morvanta.ini"));
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
        ini.write(("[Morvanta]\nPatientPath=" + patients + "\nCdpath=" + home.path("SamplePatient") + "\n").toUtf8());
        ini.close();
        QProcessEnvironment env;
        env.insert("LD_PRELOAD", SLOW_FOLDERS);
        env.insert("MORVANTA_STUCK_BELOW", patients);
        env.insert("MORVANTA_STUCK_WHEN", home.path("server-down"));
        env.insert("MORVANTA_STUCK_HELD", home.path("call-held"));
#if defined(__SANITIZE_ADDRESS__)
        env.insert("ASAN_OPTIONS", qEnvironmentVariable("ASAN_OPTIONS") + ":verify_asan_link_order=0");
#endif
        QProcess program;
        const QString window = AppTest::startProgram(program, display, home.path(), {}, env);
        ASSERT_FALSE(window.isEmpty());
        QByteArray errors;
        ASSERT_TRUE(AppTest::waitForStartWalk(program, errors));
        const QString recordings = patients + "/MorvantaStudyDummy/System";
        const auto serverDown = [&] { QFile(home.path("server-down")).open(QIODevice::WriteOnly); };
        if (stuck && !saving)
            serverDown();
        AppTest::openFirstEntry(false);
        if (saving) {
            // The import's recording runs in the patient folder, written to, before the server goes.
            ASSERT_TRUE(AppTest::waitFor([&] {
                const QFileInfoList logs = QDir(recordings).entryInfoList({"*.log"});
                return !logs.isEmpty() && logs.front().size() > 0;
            }));
            if (stuck)
                serverDown();
            key(window, "ctrl+w");
            click("Save patient", saveAsNew);
        }
        if (!stuck) {
            if (saving) {
                ASSERT_TRUE(program.waitForFinished(120000));
                EXPECT_EQ(QDir(patients).entryList({"20*"}, QDir::Dirs).size(), 1);
            } else {
                ASSERT_TRUE(AppTest::waitFor([&] { return !QDir(recordings).entryList({"*.log"}).isEmpty(); }));
                key(window, "ctrl+w");
                click("Save patient", withoutSave);
                ASSERT_TRUE(program.waitForFinished(120000));
            }
            errors += program.readAllStandardError();
            EXPECT_EQ(program.exitCode(), 0) << errors.toStdString();
            EXPECT_FALSE(errors.contains("did not answer")) << errors.toStdString();
            continue;
        }
        // The box names the folder once it has been quiet a moment; it is drawn.
        const QString box = AppTest::waitForWindow(display, "^Waiting for a patient folder$", 120000, &program);
        ASSERT_FALSE(box.isEmpty());
        EXPECT_TRUE(QFileInfo::exists(home.path("call-held")));
        const QString waiting = (saving ? "Ending the recording of this session" : "Making the file that records this session") +
                                QString(": The patient folder " + patients + " has not answered since ");
        ASSERT_TRUE(AppTest::waitFor([&] {
            errors += program.readAllStandardError();
            return errors.contains(waiting.toUtf8());
        }, 60000)) << errors.toStdString();
        const QImage shot = QImage::fromData(AppTest::runOnDisplay(display, "import", {"-window", box, "png:-"}), "PNG");
        ASSERT_FALSE(shot.isNull());
        shot.save(QString(MORVANTA_BINARY_DIR "/tests/app/folder_wait_%1.png").arg(saving ? "save" : "record"));
        std::set<QRgb> seen;
        int dark = 0;
        for (int y = 0; y < shot.height(); ++y)
            for (int x = 0; x < shot.width(); ++x) {
                seen.insert(shot.pixel(x, y));
                dark += qGray(shot.pixel(x, y)) < 80;
            }
        EXPECT_GT(seen.size(), 8u);
        EXPECT_GT(dark, 200);
        QElapsedTimer clock;
        if (end == End::cancel) {
            key(box, "Escape");
            // Not saved, said; recorded beside the program, said (and, where the recording's
            // writer was held in a write when the server stopped, that its file ends there): each
            // box answered, one over another as they come; then the series is still open:
            // quitting asks to save it.
            const auto besideProgram = [&] {
                return !QDir(home.path("MorvantaStudyDummy/System")).entryList({"*.log"}).isEmpty();
            };
            const auto boxesNamed = [&](const QString& title) {
                return AppTest::xdotool(display, {"search", "--onlyvisible", "--all", "--pid",
                                                  QString::number(program.processId()), "--name", "^" + title + "$"})
                    .split('\n', Qt::SkipEmptyParts);
            };
            if (saving) {
                ASSERT_FALSE(AppTest::waitForWindow(display, "^Not saved$", 60000, &program).isEmpty());
            }
            // The box that tells the recording beside the program comes once its file is made.
            bool toldBeside = false;
            ASSERT_TRUE(AppTest::waitFor([&] {
                const QStringList told = boxesNamed("Session recording"), notSaved = boxesNamed("Not saved");
                const bool made = besideProgram(); // after the look: a box seen may be the one that tells it
                for (const QString& open : told + notSaved)
                    key(open, "Return");
                toldBeside = toldBeside || (made && !told.isEmpty());
                return toldBeside && told.isEmpty() && notSaved.isEmpty();
            }, 120000)) << (errors += program.readAllStandardError()).toStdString();
            key(window, "ctrl+w");
            click("Save patient", withoutSave);
            clock.start();
        } else {
            clock.start();
            if (end == End::signal)
                ::kill(pid_t(program.processId()), SIGTERM);
            else {
                key(box, "ctrl+w");
                click("Save patient", withoutSave);
            }
        }
        ASSERT_TRUE(program.waitForFinished(60000));
        errors += program.readAllStandardError();
        EXPECT_LT(clock.elapsed(), 10000) << errors.toStdString();
        EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(program.exitCode(), end == End::signal ? 128 + SIGTERM : 0) << errors.toStdString();
        EXPECT_TRUE(errors.contains("A patient folder does not answer: the program ends without waiting for it")) << errors.toStdString();
        EXPECT_EQ(errors.contains("the imported series was not saved as a planning"), end == End::signal) << errors.toStdString();
        const QString notSaved = "Not saved: The imported series is not saved as a planning: the patient folder " + patients +
                                 " did not answer";
        EXPECT_EQ(errors.contains(notSaved.toUtf8()), end == End::cancel && saving) << errors.toStdString();
    }
}

// Overwrite of a planning whose patient folder stopped answering after the start (every file
// step below it held): the window waits in a box that names the folder; Escape typed on the X
// server leaves the save with the planning as it was, told not saved; Ctrl+W in the box leaves it
// and quits as Ctrl+W does, asking first. The call still out is left to the process's end.
TEST(StartWalkTest, AnOverwriteIntoAFolderThatStoppedAnsweringCanBeLeft)
{
    if (QGuiApplication::platformName() == "offscreen")
        GTEST_SKIP() << "needs an X display";
    for (const char* key : {"Escape", "ctrl+w"}) {
        SCOPED_TRACE(key);
        AppTest::AppFolder home;
        const QString good = home.path("good"), dead = home.path("dead");
        makeShare(good, 1, 1);
        makeShare(dead, 1, 1);
        QFile ini(home.path("Morvanta.ini"));
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
        ini.write(("[Morvanta]\nPatientPath=" + good + ";" + dead + "\n").toUtf8());
        ini.close();
        auto window = std::make_unique<MainWindow>(nullptr, Constants::NormalMode);
        bool through = false;
        QObject::connect(window.get(), &MainWindow::earlierSessionsFinished, [&through] { through = true; });
        ASSERT_TRUE(AppTest::waitFor([&] { return through; }, 60000));
        const std::string planning = (dead + "/patient-000/2031-02-01__10-00-00-0/2031-02-01__10-00-00-0.srl").toStdString();
        window->getSettings()->setPlanningFile(planning);
        window->getSettings()->setPlanningState(2);
        const int outBefore = Vexa::DetachableCall::out();
        auto gate = std::make_unique<Gate>(dead, dead);

        QString text, told;
        QTimer look;
        QObject::connect(&look, &QTimer::timeout, [&] {
            QWidget* box = QApplication::activeModalWidget();
            if (!box || !box->inherits("AlgorithmProgressDialog") || !box->isVisible())
                return;
            text = box->findChild<QLabel*>()->text();
            if (!text.contains("has not answered since"))
                return;
            look.stop();
            AppTest::onScreen(box).save(QString(MORVANTA_BINARY_DIR "/tests/app/overwrite_wait.png"));
            AppTest::xdotool(qEnvironmentVariable("DISPLAY"), {"windowfocus", "--sync", QString::number(box->winId()), "key", key});
        });
        look.start(50);
        AppTest::DialogAnswerer answer;
        const bool quits = std::string(key) == "ctrl+w";
        answer.then([&](QWidget* modal) {
            if (quits)
                return AppTest::clickButton("SaveDialog", "Quitwithout save")(modal);
            if (!qobject_cast<MessageDialog*>(modal))
                return false;
            told = modal->findChild<QLabel*>()->text();
            modal->findChild<QPushButton*>()->click();
            return true;
        });
        EXPECT_FALSE(window->savePlanning(true));
        EXPECT_TRUE(gate->isHeld());
        EXPECT_TRUE(text.startsWith("The patient folder " + dead + " has not answered since ")) << text.toStdString();
        // The planning is as it was.
        EXPECT_EQ(window->getSettings()->getPlanningFile(), planning);
        EXPECT_EQ(window->getSettings()->getPlanningState(), 2);
        if (quits) {
            ASSERT_TRUE(AppTest::waitFor([&] { return answer.done() && !window->isVisible(); }, 30000))
                << answer.seen.join(", ").toStdString();
        } else {
            ASSERT_TRUE(AppTest::waitFor([&] { return answer.done(); }, 30000)) << answer.seen.join(", ").toStdString();
            EXPECT_TRUE(told.startsWith("The planning is not saved: the patient folder " + dead + " did not answer"))
                << told.toStdString();
            EXPECT_TRUE(window->isVisible());
            window->close();
        }
        QElapsedTimer clock;
        clock.start();
        window.reset();
        EXPECT_LT(clock.elapsed(), 5000);
        EXPECT_EQ(Vexa::DetachableCall::out(), outBefore + 1);
        // The server answers again: the call ends by itself, before the gate goes.
        gate->release();
        EXPECT_TRUE(AppTest::waitFor([&] { return Vexa::DetachableCall::out() == outBefore; }, 60000));
        gate.reset();
    }
}
