// Saving as a user meets it in the window: an ordinary session of overwrites says nothing, what a
// start finished of earlier sessions is shown once, and every recording of a session reaches the
// planning, also those a failed save had closed.
#include "AppTestSupport.h"

#include "planning/commands/ExchangeImplantCommand.h"
#include "planning/io/PlanningFile.h"
#include "planning/io/saving/FolderHandle.h"
#include "planning/io/saving/TakeOverRecord.h"
#include "planning/model/ImplantManager.h"
#include "planning/model/Model.h"
#include "planning/model/Settings.h"
#include "planning/objects/Implant.h"
#include "shell/dialogs/MessageDialog.h"
#include "shell/main/MainWindow.h"
#include "shell/widgets/WrappingLabel.h"
#include "vexa/core/CommandProcessor.h"

#include <QDateTime>
#include <QLabel>
#include <QScreen>
#include <QTest>
#include <atomic>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QStringList planningsIn(const QString& patients)
{
    return QDir(patients).entryList({"20*"}, QDir::Dirs);
}

QString planningFolder(MainWindow& window)
{
    return QFileInfo(QString::fromStdString(window.getSettings()->getPlanningFile())).absolutePath();
}

// Imports the sample patient with one implant and saves it as new; the planning's folder.
QString saveSample(MainWindow& window, const AppTest::AppFolder& home)
{
    std::vector<std::string> files;
    for (const QFileInfo& f : QDir(home.path("SamplePatient")).entryInfoList({"*.dcm"}, QDir::Files, QDir::Name))
        files.push_back(f.absoluteFilePath().toStdString());
    EXPECT_TRUE(window.importVolumeData(files));
    window.getModel()->getImplantManager()->addImplant(Implant::createFromFile(
        Vexa::Matrix44<double>(Vexa::Vector3D(40, 36, 20)), 0,
        home.path("ImplantDatabase/Altavis Dental/Conical Pro/AV-CP-D40-L100.implant").toStdString()));
    EXPECT_TRUE(window.savePlanning(false));
    return planningFolder(window);
}

// Whether `modal` is the box "Earlier sessions", shown: then `read` looks at it, the screen is
// saved as the picture `shot` (none when empty) and its OK is clicked.
bool answerEarlierSessions(QWidget* modal, const QString& shot, const std::function<void(MessageDialog&)>& read)
{
    auto* box = qobject_cast<MessageDialog*>(modal);
    if (!box || box->windowTitle() != "Earlier sessions" || !QTest::qWaitForWindowExposed(box))
        return false;
    QApplication::processEvents();
    read(*box);
    // Grabbed on the program's own connection, after what it drew: another client's grab may
    // reach the X server before the box's pixels do.
    if (!shot.isEmpty())
        box->screen()->grabWindow(0).save(shot);
    QPushButton* ok = box->findChildren<QPushButton*>().front();
    QTimer::singleShot(0, ok, [ok] { ok->click(); });
    return true;
}

QString writeFile(const QString& file, const QByteArray& bytes, int secondsAgo = 0)
{
    QDir().mkpath(QFileInfo(file).absolutePath());
    QFile f(file);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size()) << file.toStdString();
    // Written out first: a write the closing flushed would make it new again.
    if (secondsAgo && f.flush())
        f.setFileTime(QDateTime::currentDateTime().addSecs(-secondsAgo), QFileDevice::FileModificationTime);
    return file;
}

// Overwrites the window's planning with its take-over cut off by an I/O error at the first move
// after the publishing rename: both plannings stay listed, the new one holds the record.
void overwriteCutOff(MainWindow& window)
{
    AppTest::DialogAnswerer answer;
    answer.then(AppTest::clickButton("MessageDialog", "Ok")); // "Saving error": not finished
    auto renames = std::make_shared<std::atomic<int>>(0);
    FolderHandle::setFaultInjector([renames](FolderHandle::SystemCall call, const std::string&) {
        return call == FolderHandle::SystemCall::rename && ++*renames == 2 ? EIO : 0;
    });
    EXPECT_TRUE(window.savePlanning(true));
    FolderHandle::setFaultInjector({});
    EXPECT_TRUE(answer.done()) << answer.seen.join(", ").toStdString();
}

// While it lives, the system calls of that kind fail with an I/O error whenever the process has
// that folder open, i.e. for every step on it or on its entries.
struct FailingIn
{
    explicit FailingIn(std::vector<std::pair<QString, FolderHandle::SystemCall>> faults)
    {
        std::vector<std::pair<std::filesystem::path, FolderHandle::SystemCall>> open;
        for (const auto& [folder, kind] : faults)
            open.emplace_back(std::filesystem::canonical(folder.toStdString()), kind);
        FolderHandle::setFaultInjector([open](FolderHandle::SystemCall call, const std::string&) {
            for (const auto& [folder, kind] : open) {
                std::error_code error;
                if (call == kind)
                    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd", error))
                        if (std::filesystem::read_symlink(fd.path(), error) == folder)
                            return EIO;
            }
            return 0;
        });
    }
    ~FailingIn() { FolderHandle::setFaultInjector({}); }
};

using AppTest::ReadOnlyProgramFolder;

// Where a line of the label ends inside a word: in a path only right after a "/", elsewhere only
// after a hyphen. The lines that do not.
QStringList brokenWords(const WrappingLabel& label)
{
    QStringList broken;
    const int width = label.contentsRect().width();
    const auto lines = label.lines(width);
    std::size_t next = 0;
    for (const QString& paragraph : label.text().split('\n')) {
        qsizetype at = 0;
        do {
            if (next == lines.size())
                return broken << "the lines end before the text";
            QString line = lines[next++].text;
            line.remove(QChar(0x2060)).remove(QChar(0x200B));
            at = paragraph.indexOf(line, at) + line.size();
            if (line.isEmpty() || at >= paragraph.size() || paragraph[at].isSpace() || paragraph[at - 1].isSpace())
                continue;
            qsizetype start = at, end = at;
            while (start > 0 && !paragraph[start - 1].isSpace())
                --start;
            while (end < paragraph.size() && !paragraph[end].isSpace())
                ++end;
            // A path breaks after a "/"; a name of it (with its "/") wider than a line, after a hyphen.
            qsizetype nameStart = at, nameEnd = at;
            while (nameStart > start && paragraph[nameStart - 1] != '/')
                --nameStart;
            while (nameEnd < end && paragraph[nameEnd] != '/')
                ++nameEnd;
            const bool wide = label.fontMetrics().horizontalAdvance(paragraph.mid(nameStart, nameEnd - nameStart + (nameEnd < end ? 1 : 0))) > width;
            const QChar before = paragraph[at - 1];
            if (paragraph.mid(start, end - start).contains('/') ? before != '/' && !(wide && before == '-') : before != '-')
                broken << line;
        } while (at < paragraph.size());
    }
    return broken;
}

}

// Save as new, exchange the implant, then Overwrite three times: no box at all, one folder, and
// the planning holds the exchanged implant.
TEST(SavingSessionTest, AnExchangedImplantIsOverwrittenThreeTimesWithoutAWord)
{
    if (QGuiApplication::platformName() == "offscreen")
        GTEST_SKIP() << "needs an X display";
    AppTest::AppFolder home;
    AppTest::DialogAnswerer answer;
    MainWindow window(nullptr, Constants::NormalMode);
    saveSample(window, home);
    const auto manager = window.getModel()->getImplantManager();
    Vexa::CommandProcessor processor;
    processor.execute(ExchangeImplantCommand::create(
        manager, manager->getImplant(1),
        Implant::createFromFile(Vexa::Matrix44<double>(), 0,
                                home.path("ImplantDatabase/Quillon Medical/Q-Line/QM-L-D48-L100.implant").toStdString())));
    for (int round = 1; round <= 3; ++round) {
        SCOPED_TRACE(round);
        EXPECT_TRUE(window.savePlanning(true));
        EXPECT_EQ(answer.seen, QStringList()) << "a box showed";
        EXPECT_EQ(planningsIn(home.path("patients")).size(), 1);
        EXPECT_EQ(QDir(home.path("patients")).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                  planningsIn(home.path("patients")))
            << "nothing hidden beside the planning";
    }
    const PlanningFile saved = PlanningFile::read(window.getSettings()->getPlanningFile());
    ASSERT_EQ(saved.implants.size(), 1u);
    EXPECT_EQ(QFileInfo(QString::fromStdString(saved.implants[0].file)).fileName(), "QM-L-D48-L100.implant");
}

// A start that finds a take-over record not fitting its folder sets it aside and tells the user
// in the window, once; the next start has nothing to tell.
TEST(SavingSessionTest, WhatAStartFinishedIsShownInTheWindowOnce)
{
    if (QGuiApplication::platformName() == "offscreen")
        GTEST_SKIP() << "needs an X display";
    AppTest::AppFolder home;
    QString folder;
    {
        MainWindow window(nullptr, Constants::NormalMode);
        folder = saveSample(window, home);
    }
    // A record naming the folder that holds it.
    const std::string name = QFileInfo(folder).fileName().toStdString();
    TakeOverRecord record;
    record.folder = name;
    record.planning = name + ".srl";
    QFile file(folder + "/" + QString::fromStdString(record.fileName()));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray::fromStdString(record.text()));
    file.close();

    for (const bool first : {true, false}) {
        SCOPED_TRACE(first ? "the start that finds it" : "the next start");
        AppTest::DialogAnswerer answer;
        QString told;
        // The box as the user sees it over the window, once it is painted.
        answer.then([&](QWidget* modal) {
            return answerEarlierSessions(modal, MORVANTA_BINARY_DIR "/tests/app/earlier_sessions_told.png",
                                         [&](MessageDialog& box) { told = box.findChild<QLabel*>()->text(); });
        });
        MainWindow window(nullptr, Constants::NormalMode);
        AppTest::waitFor([&] { return answer.done(); }, first ? 30000 : 2000);
        EXPECT_EQ(answer.done(), first) << answer.seen.join(", ").toStdString();
        if (first) {
            const std::string at = folder.toStdString();
            EXPECT_EQ(told.toStdString(), "The planning in " + at + " records that it replaced the planning in " + at +
                                              ", but " + at + " does not hold that planning now. Nothing was moved or "
                                              "removed for it; the record is kept as " + at + "/.morvanta-set-aside-" +
                                              name + ".");
        }
    }
    EXPECT_EQ(planningsIn(home.path("patients")), QStringList{QFileInfo(folder).fileName()});
}

// One of every kind of thing earlier sessions leave, found by one start: the box tells each in a
// paragraph of its own, in whole sentences, no path broken inside a name. A start that finds the
// same things again tells nothing; of a thing that changed, only that is told again.
TEST(SavingSessionTest, EveryKindOfThingEarlierSessionsLeftIsToldInItsOwnParagraphOnce)
{
    if (QGuiApplication::platformName() == "offscreen")
        GTEST_SKIP() << "needs an X display";
    AppTest::AppFolder home;
    const QString patients = home.path("patients");
    // Two overwrites whose take-overs were cut off, each leaving a letter of the user's behind.
    QString replaced, kept, cut, unfinished;
    {
        MainWindow window(nullptr, Constants::NormalMode);
        replaced = saveSample(window, home);
        writeFile(replaced + "/letters/referral.pdf", "the referral");
        overwriteCutOff(window);
        kept = planningFolder(window);
        ASSERT_TRUE(window.savePlanning(false));
        cut = planningFolder(window);
        writeFile(cut + "/letters/referral.pdf", "the referral");
        overwriteCutOff(window);
        unfinished = planningFolder(window);
    }
    ASSERT_EQ(planningsIn(patients).size(), 4u);
    // The user put a different letter of that name into the new planning meanwhile.
    writeFile(kept + "/letters/referral.pdf", "another referral");
    // A record naming the folder that holds it.
    const QString keptName = QFileInfo(kept).fileName();
    TakeOverRecord record;
    record.folder = keptName.toStdString();
    record.planning = record.folder + ".srl";
    writeFile(kept + "/" + QString::fromStdString(record.fileName()), QByteArray::fromStdString(record.text()));
    // A picture and a video of a session that died; another computer's save unfinished for hours;
    // a folder that cannot be read.
    const QString picture = writeFile(home.path("Images/2031-02-03__10-00-00-1.bmp"), "a picture", 86400);
    const QString video = writeFile(home.path("Images/2031-02-03__10-00-05-2.avi"), "a video", 86400);
    const QString staging = patients + "/.2031-02-03__09-00-00-7.saving0";
    writeFile(staging + "/dicom/CT0000.dcm", QByteArray(1500000, 'c'));
    writeFile(staging + "/.morvanta-work",
              "morvanta-work 1\n4242\nstation-2\n0123456789abcdef0123456789abcdef\n"
              "fedcba98-7654-3210-fedc-ba9876543210\n51234\n", 3 * 3600);
    const QString begun = QFileInfo(staging + "/.morvanta-work").lastModified().toString("yyyy-MM-dd hh:mm");
    // Its path is longer than a line of the box, and the line ends inside its last name: it wraps
    // after the "/" before that name.
    const QString unreadable = patients +
                               "/archive-of-the-old-practice-in-the-town-hall-closed-cases-from-2015-to-2019-handed-"
                               "over-in-spring/referrals-from-the-maxillofacial-department-of-the-university-hospital-"
                               "with-letters-and-x-rays-sent-before-the-move-to-the-new-building";
    writeFile(unreadable + "/notes.txt", "the user's notes");

    const QString recovered = home.path("Images/recovered");
    const QString otherSave = "An unfinished save of the computer station-2, begun " + begun + ", holds %1 in the "
                              "hidden folder " + staging + ". That computer removes it at its next start; nothing of "
                              "it was removed here.";
    const struct
    {
        const char* start;
        std::function<void()> change;
        QStringList told;
    } starts[] = {
        {"the start that finds them", {},
         {"The planning in " + kept + " replaced the planning in " + replaced + ". What could not move into it stays "
              "in " + replaced + ", which is no planning any more: letters/referral.pdf (a different file of that name "
              "is in the new planning).",
          "The planning in " + unfinished + " replaced the planning in " + cut + ", but taking its files over is not "
              "finished: " + cut + "/images could not be moved into " + unfinished + " (Input/output error). The next "
              "start of the program tries again.",
          "The planning in " + kept + " records that it replaced the planning in " + kept + ", but " + kept +
              " does not hold that planning now. Nothing was moved or removed for it; the record is kept as " + kept +
              "/.morvanta-set-aside-" + keptName + ".",
          "The picture " + picture + " of an earlier session is kept in " + recovered + ".",
          "The video " + video + " of an earlier session is kept in " + recovered + ".",
          otherSave.arg("1.5 MB"),
          "The program could not read " + unreadable + " (Input/output error). What earlier sessions may have left unfinished "
              "there is looked at again at the next start."}},
        {"the next start, nothing changed", {}, {}},
        {"the other computer's save grew", [&] { writeFile(staging + "/dicom/CT0001.dcm", QByteArray(1500000, 'c')); },
         {otherSave.arg("3.0 MB")}},
    };
    for (const auto& start : starts) {
        SCOPED_TRACE(start.start);
        if (start.change)
            start.change();
        AppTest::DialogAnswerer answer;
        QString told;
        QStringList broken;
        answer.then([&](QWidget* modal) {
            const QString shot = MORVANTA_BINARY_DIR "/tests/app/earlier_sessions_every_kind_" +
                                 QString::number(&start - starts) + ".png";
            return answerEarlierSessions(modal, shot, [&](MessageDialog& box) {
                auto* label = box.findChild<WrappingLabel*>();
                told = label->text();
                broken = brokenWords(*label);
            });
        });
        // At every start the take-over's first move out of `cut` fails, and so does the listing
        // of the unreadable folder.
        auto failing = std::make_unique<FailingIn>(std::vector<std::pair<QString, FolderHandle::SystemCall>>{
            {cut, FolderHandle::SystemCall::rename}, {unreadable, FolderHandle::SystemCall::list}});
        MainWindow window(nullptr, Constants::NormalMode);
        // The box, if any, opens at the window's first turn of the event loop once the start's
        // walk of the patient folders is through.
        QString openAtFirstTurn = "-";
        QObject::connect(&window, &MainWindow::earlierSessionsFinished, &window, [&] {
            failing.reset();
            QTimer::singleShot(0, &window, [&] {
                openAtFirstTurn = QApplication::activeModalWidget() ? QApplication::activeModalWidget()->windowTitle() : "";
            });
        });
        ASSERT_TRUE(AppTest::waitFor([&] { return openAtFirstTurn != "-"; }, 30000));
        EXPECT_EQ(openAtFirstTurn, start.told.isEmpty() ? "" : "Earlier sessions");
        if (!start.told.isEmpty()) {
            EXPECT_TRUE(AppTest::waitFor([&] { return answer.done(); }, 30000)) << answer.seen.join(", ").toStdString();
        }
        const auto sorted = [](QStringList items) {
            items.sort();
            return items.join("\n\n").toStdString();
        };
        EXPECT_EQ(sorted(told.split("\n\n", Qt::SkipEmptyParts)), sorted(start.told));
        EXPECT_EQ(broken.join("\n").toStdString(), "");
        EXPECT_TRUE(!start.told.isEmpty() || answer.seen.isEmpty()) << answer.seen.join(", ").toStdString();
    }
    // What was told is so.
    EXPECT_EQ(TestSupport::readFile((replaced + "/letters/referral.pdf").toStdString()), "the referral");
    EXPECT_EQ(TestSupport::readFile((kept + "/letters/referral.pdf").toStdString()), "another referral");
    EXPECT_EQ(QDir(recovered).entryList(QDir::Files),
              QStringList({QFileInfo(picture).fileName(), QFileInfo(video).fileName()}));
    EXPECT_EQ(QDir(staging + "/dicom").entryList(QDir::Files).size(), 2);
    EXPECT_TRUE(QFileInfo::exists(staging + "/.morvanta-work"));
}

// A start in a program folder it may not write, and one whose memory of what was told is a named
// pipe: the take-over an overwrite left unfinished is finished and the user told in the box
// "Earlier sessions"; the pipe holds nothing up and stays.
TEST(SavingSessionTest, AStartFinishesWhatEarlierSessionsLeftWhateverTheProgramFolderAllows)
{
    if (QGuiApplication::platformName() == "offscreen")
        GTEST_SKIP() << "needs an X display";
    for (const bool readOnly : {true, false}) {
        SCOPED_TRACE(readOnly ? "a program folder that may not be written" : "a named pipe as the memory");
        AppTest::AppFolder home;
        QString replaced, unfinished;
        {
            MainWindow window(nullptr, Constants::NormalMode);
            replaced = saveSample(window, home);
            writeFile(replaced + "/letters/referral.pdf", "the referral");
            overwriteCutOff(window);
            unfinished = planningFolder(window);
        }
        ASSERT_EQ(planningsIn(home.path("patients")).size(), 2);
        // The user put a different letter of that name into the new planning meanwhile.
        writeFile(unfinished + "/letters/referral.pdf", "another referral");
        const QString memory = home.path(".earlier-sessions-told");
        if (!readOnly) {
            ASSERT_TRUE(QFile::remove(memory) && ::mkfifo(QFile::encodeName(memory).constData(), 0600) == 0);
        }
        // The screenshot goes where the program's user may write.
        const QString shot = QDir::temp().filePath("earlier_sessions_read_only_program_folder.png");
        AppTest::DialogAnswerer answer;
        QString told;
        answer.then([&](QWidget* modal) {
            return answerEarlierSessions(modal, readOnly ? shot : QString(),
                                         [&](MessageDialog& box) { told = box.findChild<QLabel*>()->text(); });
        });
        {
            const auto user = readOnly ? std::make_unique<ReadOnlyProgramFolder>(home) : nullptr;
            MainWindow window(nullptr, Constants::NormalMode);
            EXPECT_TRUE(AppTest::waitFor([&] { return answer.done(); }, 30000)) << answer.seen.join(", ").toStdString();
        }
        EXPECT_EQ(told.toStdString(), ("The planning in " + unfinished + " replaced the planning in " + replaced +
                                       ". What could not move into it stays in " + replaced + ", which is no planning "
                                       "any more: letters/referral.pdf (a different file of that name is in the new "
                                       "planning).").toStdString());
        EXPECT_EQ(answer.seen, QStringList{"MessageDialog:Earlier sessions"});
        // The replaced folder is no planning any more; the user's letter stays in it.
        EXPECT_FALSE(QFileInfo::exists(replaced + "/" + QFileInfo(replaced).fileName() + ".srl"));
        EXPECT_EQ(TestSupport::readFile((replaced + "/letters/referral.pdf").toStdString()), "the referral");
        EXPECT_EQ(QFileInfo(memory).isFile(), readOnly);
        if (readOnly) {
            const QString kept = MORVANTA_BINARY_DIR "/tests/app/" + QFileInfo(shot).fileName();
            QFile::remove(kept);
            QFile::rename(shot, kept);
        }
    }
}

// The real program records a session: a save as new that fails (a file of the series went) says
// that the planning was not saved, the recording goes on in a new log, and the save that then
// succeeds takes both logs into the planning.
TEST(SavingSessionTest, EveryRecordingOfTheSessionReachesThePlanning)
{
    const QString display = AppTest::xServer().display();
    if (display.isEmpty())
        GTEST_SKIP() << "no Xvfb";
    AppTest::AppFolder home;
    // A copy of the sample, so that one of its files can go missing for a while.
    ASSERT_TRUE(QFile::remove(home.path("SamplePatient")));
    ASSERT_EQ(QProcess::execute("cp", {"-r", AppTest::built + "/SamplePatient", home.path("SamplePatient")}), 0);
    const QString study = home.path("patients/MorvantaStudyDummy/System");
    const auto logs = [&] { return QDir(study).entryList({"*.log"}, QDir::Files, QDir::Name); };
    QProcess program;
    ASSERT_FALSE(AppTest::startProgram(program, display, home.path()).isEmpty());
    AppTest::openFirstEntry(false);
    ASSERT_TRUE(AppTest::waitFor([&] { return logs().size() == 1; }, 120000));

    const QString missing = QDir(home.path("SamplePatient")).entryList({"*.dcm"}, QDir::Files, QDir::Name).value(3);
    ASSERT_TRUE(QFile::rename(home.path("SamplePatient/" + missing), home.path(missing)));
    for (const bool fails : {true, false}) {
        SCOPED_TRACE(fails ? "the save that fails" : "the save that succeeds");
        AppTest::inWindow("^Morvanta$", {"windowfocus", "--sync", "%1", "key", "ctrl+w"});
        AppTest::inWindow("^Save patient$", {"windowfocus", "--sync", "%1", "key", "space"}); // "Save as new"
        if (!fails)
            break;
        ASSERT_FALSE(AppTest::waitForWindow(display, "^Saving error$", 120000, &program).isEmpty());
        const QString error = AppTest::windowNamed(display, "Saving error"); // painted
        QProcess::execute("env", {"DISPLAY=" + display, "import", "-window", "root",
                                  MORVANTA_BINARY_DIR "/tests/app/saving_error_not_saved.png"});
        AppTest::xdotool(display, {"windowfocus", "--sync", error, "key", "space"});
        // The recording goes on in a log of its own.
        ASSERT_TRUE(AppTest::waitFor([&] { return logs().size() == 2; }, 60000));
        ASSERT_TRUE(QFile::rename(home.path(missing), home.path("SamplePatient/" + missing)));
    }
    ASSERT_TRUE(program.waitForFinished(120000));
    // Every key is let go, also the Ctrl+W whose dialog took the focus before its release.
    EXPECT_EQ(AppTest::heldKeys(display).toStdString(), "");
    const QString told = QString::fromLocal8Bit(program.readAllStandardError());
    EXPECT_TRUE(told.contains("Saving error: The planning was not saved.\nCould not copy the DICOM file " +
                              home.path("SamplePatient/" + missing) + ": the file does not exist."))
        << told.toStdString();
    const QStringList plannings = planningsIn(home.path("patients"));
    ASSERT_EQ(plannings.size(), 1);
    EXPECT_EQ(QDir(home.path("patients/" + plannings[0] + "/system")).entryList({"*.log"}, QDir::Files, QDir::Name), logs());
}
