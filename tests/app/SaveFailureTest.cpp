// Saving: overwriting replaces the planning folder by a new one and leaves no folder of the old
// name; a save that cannot be written shows "Saving error" and leaves the planning as it was.
#include "AppTestSupport.h"
#include "common/RefusedThreadStarts.h"
#include "common/SmallDisk.h"

#include "dicom/import/DicomIOManager.h"
#include "dicom/import/UniversalImporter.h"
#include "planning/io/PlanningReader.h"
#include "planning/model/ImplantManager.h"
#include "planning/model/Model.h"
#include "planning/model/Settings.h"
#include "planning/objects/PanoramicLine.h"
#include "shell/dialogs/MessageDialog.h"
#include "shell/main/MainWindow.h"
#include "shell/main/ImageFolder.h"
#include "shell/main/ShellPlanningUi.h"
#include "planning/objects/Implant.h"
#include "vexa/mesh/MeshFactory.h"

#include <QCryptographicHash>
#include <QProcess>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <QDirIterator>
#include <QFileInfo>
#include <filesystem>
#include <gtest/gtest.h>
#include <iostream>
#include <unistd.h>

namespace {

// Every file below the folder with its content's hash.
QStringList snapshot(const QString& folder)
{
    QStringList files;
    QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile f(it.next());
        f.open(QIODevice::ReadOnly);
        files << f.fileName() + " " + QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha1).toHex();
    }
    files.sort();
    return files;
}

// Answers the next message box with OK and keeps its caption and text.
void answerMessage(AppTest::DialogAnswerer& answer, QString& seen)
{
    answer.then([&seen](QWidget* modal) {
        auto* box = qobject_cast<MessageDialog*>(modal);
        if (!box)
            return false;
        seen = box->windowTitle() + ": " + box->findChild<QLabel*>()->text();
        QPushButton* ok = box->findChildren<QPushButton*>().front();
        QTimer::singleShot(0, ok, [ok] { ok->click(); });
        return true;
    });
}

// Loads the planning into a Model of its own; the reader's error text, empty when it loaded.
std::string load(const std::string& file, const AppTest::AppFolder& home, std::shared_ptr<Model>& model)
{
    const auto settings = std::make_shared<Settings>(home.path("Morvanta.ini").toStdString());
    model = std::make_shared<Model>(settings);
    Vexa::DicomIOManager manager;
    manager.insertImporter(new Vexa::UniversalImporter);
    PlanningReader reader(file, model, settings, manager);
    reader.start();
    return reader.getErrorMessage();
}

// Every entry below the patient folder is a planning folder holding its planning file: no
// half-written, hidden or empty folder is left.
QStringList notPlannings(const QString& patients)
{
    QStringList odd;
    for (const QFileInfo& entry : QDir(patients).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot))
        if (!QFileInfo(entry.filePath() + "/" + entry.fileName() + ".srl").isFile())
            odd << entry.fileName();
    return odd;
}

}

// On a file system that is full, or nearly so: a save is whole and loads, or it says "Saving
// error" and leaves the planning it was to replace byte for byte as it was, and nothing beside it.
// Overwriting links the series and takes room only for the planning file, the 3D model and an
// implant's files; saving as new copies the series.
TEST(SaveFailureTest, OnAFullDiskASaveIsWholeOrFailsWithThePlanningAsItWas)
{
    if (QGuiApplication::platformName() == "offscreen")
        GTEST_SKIP() << "needs an X display";
    if (!SmallDisk::rerunInside(64ull << 20))
        return;
    const QString patients = QString::fromStdString(SmallDisk::path()) + "/patients";
    AppTest::AppFolder home("PatientPath=" + patients + "\n");
    IPlanningUi::install(std::make_shared<ShellPlanningUi>());
    MainWindow window(nullptr, Constants::NormalMode);
    std::vector<std::string> files;
    for (const QFileInfo& f : QDir(home.path("SamplePatient")).entryInfoList({"*.dcm"}, QDir::Files, QDir::Name))
        files.push_back(f.absoluteFilePath().toStdString());
    ASSERT_TRUE(window.importVolumeData(files));
    const auto model = window.getModel();
    model->set3DModel(Vexa::createBoxMesh(Vexa::Matrix44<double>(Vexa::Vector3D(40, 40, 20)), Vexa::Vector3D(10, 12, 14)));
    ASSERT_TRUE(window.savePlanning(false));
    // A screenshot taken meanwhile, which a successful save moves into the planning.
    const QDir images(QString::fromStdString(window.getImageFolder().path()));
    QString shot;

    const struct
    {
        unsigned long long free;
        bool implant;
    } rows[] = {{0, false}, {4096, false}, {16384, false}, {65536, false}, {65536, true}, {262144, true}};
    std::ostringstream table;
    double step = 0;
    for (const auto& row : rows)
        for (const bool overwrite : {true, false}) {
            const std::string how = overwrite ? "Overwrite" : "Save as new";
            SCOPED_TRACE(how + " with " + std::to_string(row.free) + " bytes free");
            const std::string old = window.getSettings()->getPlanningFile();
            const QString oldFolder = QFileInfo(QString::fromStdString(old)).absolutePath();
            if (row.implant && model->getImplantManager()->numberOfImplants() == 0)
                model->getImplantManager()->addImplant(Implant::createFromFile(
                    Vexa::Matrix44<double>(), 0,
                    home.path("ImplantDatabase/Altavis Dental/Conical Pro/AV-CP-D40-L100.implant").toStdString()));
            if (shot.isEmpty() || !QFileInfo::exists(shot)) {
                window.makeScreenshot();
                const QStringList taken = images.entryList({"*.bmp"}, QDir::Files);
                ASSERT_EQ(taken.size(), 1);
                shot = images.filePath(taken.front());
            }
            const qint64 shotSize = QFileInfo(shot).size();
            ASSERT_GT(shotSize, 65536);
            // The work of this step: the curve drawn anew.
            const Vexa::Vector3D corner(-20 - ++step, 10, 0);
            model->getPanoramicLine()->setPoints({corner, {0, -10, 0}, {20, 10, 0}});
            std::filesystem::remove(SmallDisk::path() + "/filler");
            SmallDisk::leaveFree(row.free);
            const QStringList before = snapshot(patients);
            const QStringList oldBefore = snapshot(oldFolder);

            QString seen;
            bool saved = false;
            {
                AppTest::DialogAnswerer answer;
                answer.then(AppTest::clickButton("SaveDialog", QString::fromStdString(how)));
                answerMessage(answer, seen);
                saved = window.requestPlanningSave(QString());
            }
            const std::string now = window.getSettings()->getPlanningFile();
            std::shared_ptr<Model> loaded;
            EXPECT_EQ(notPlannings(patients), QStringList());
            if (!saved) {
                EXPECT_TRUE(seen.startsWith("Saving error: The planning was not saved.\nThe disk is full: the new planning"))
                    << seen.toStdString();
                EXPECT_TRUE(seen.endsWith("\nThe planning loaded is unchanged in " + oldFolder + ".")) << seen.toStdString();
                EXPECT_EQ(now, old);
                EXPECT_EQ(snapshot(patients), before) << "the planning is byte for byte as it was";
                EXPECT_EQ(load(old, home, loaded), "");
            } else {
                EXPECT_NE(now, old);
                ASSERT_EQ(load(now, home, loaded), "");
                const auto line = loaded->getPanoramicLine();
                ASSERT_EQ(line->numberOfCorners(), 3u);
                EXPECT_LT((line->toWorld((*line->cornersBegin())->getPosition()) - corner).length(), 1e-9)
                    << "the planning saved is the one changed";
                EXPECT_EQ(loaded->getImplantManager()->numberOfImplants(), row.implant ? 1u : 0u);
                if (overwrite)
                    EXPECT_FALSE(QFileInfo::exists(oldFolder));
                else
                    EXPECT_EQ(snapshot(oldFolder), oldBefore);
                // The screenshot is whole in the planning, or the user is told where it stayed whole.
                const QString inPlanning =
                    QFileInfo(QString::fromStdString(now)).absolutePath() + "/images/" + QFileInfo(shot).fileName();
                const bool told = seen.startsWith("Pictures not moved: ");
                EXPECT_EQ(QFileInfo(told ? shot : inPlanning).size(), shotSize) << seen.toStdString();
                EXPECT_EQ(QFileInfo::exists(shot), told);
            }
            EXPECT_TRUE(row.free > 0 || !saved) << "nothing can be saved on a full disk";
            table << "| " << row.free / 1024 << " KiB | " << (row.implant ? "with implant | " : "no implant | ") << how
                  << " | " << (saved ? "saved, loads" : "\"Saving error\", planning as it was") << " | "
                  << QString(seen).replace('\n', ' ').toStdString() << " |\n";
        }
    std::cout << table.str();
    IPlanningUi::install(nullptr);
}

TEST(SaveFailureTest, OverwriteReplacesTheFolderAndAFailedSaveKeepsThePlanning)
{
    if (QGuiApplication::platformName() == "offscreen")
        GTEST_SKIP() << "needs an X display";
    AppTest::AppFolder home;
    IPlanningUi::install(std::make_shared<ShellPlanningUi>());
    AppTest::DialogAnswerer answer;
    MainWindow window(nullptr, Constants::NormalMode);
    std::vector<std::string> files;
    for (const QFileInfo& f : QDir(home.path("SamplePatient")).entryInfoList(QDir::Files, QDir::Name))
        files.push_back(f.absoluteFilePath().toStdString());
    ASSERT_TRUE(window.importVolumeData(files));
    window.getModel()->getPanoramicLine()->setPoints({{-20, 10, 0}, {0, -10, 0}, {20, 10, 0}});
    ASSERT_TRUE(window.savePlanning(false));
    const QString first = QFileInfo(QString::fromStdString(window.getSettings()->getPlanningFile())).absolutePath();

    ASSERT_TRUE(window.savePlanning(true));
    const QString second = QFileInfo(QString::fromStdString(window.getSettings()->getPlanningFile())).absolutePath();
    EXPECT_NE(first, second);
    EXPECT_FALSE(QFileInfo::exists(first)) << "no folder of the old name";
    EXPECT_EQ(QDir(home.path("patients")).entryList(QDir::Dirs | QDir::NoDotAndDotDot),
              QStringList{QFileInfo(second).fileName()});

    const QStringList before = snapshot(home.path("patients"));
    QString seen;
    if (geteuid() != 0) {
        // A read-only patient folder: neither overwriting nor saving as new can write.
        QFile::setPermissions(home.path("patients"), QFile::ReadOwner | QFile::ExeOwner);
        QFile::setPermissions(second, QFile::ReadOwner | QFile::ExeOwner);
        for (bool overwrite : {true, false}) {
            answerMessage(answer, seen);
            EXPECT_FALSE(window.savePlanning(overwrite));
            EXPECT_TRUE(seen.startsWith("Saving error: The planning was not saved.\n")) << seen.toStdString();
        }
        QFile::setPermissions(second, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QFile::setPermissions(home.path("patients"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    // A patient path below a plain file cannot hold a folder, also for root.
    QFile plain(home.path("plain"));
    plain.open(QIODevice::WriteOnly);
    plain.close();
    QFile ini(home.path("Morvanta.ini"));
    ini.open(QIODevice::WriteOnly);
    ini.write(("[Morvanta]\nPatientPath=" + home.path("plain") + "/patients\n").toUtf8());
    ini.close();
    answerMessage(answer, seen);
    EXPECT_FALSE(window.savePlanning(false));
    EXPECT_TRUE(seen.startsWith("Saving error: The planning was not saved.\n")) << seen.toStdString();
    EXPECT_TRUE(seen.endsWith("\nThe planning loaded is unchanged in " + second + ".")) << seen.toStdString();
    EXPECT_EQ(snapshot(home.path("patients")), before) << "the planning is byte for byte as it was";
    IPlanningUi::install(nullptr);
}

// A save whose job cannot start its thread ends the program (as every thread Qt cannot start
// does), and leaves nothing in the patient folder: the new planning's folder is reserved by the
// job itself. Run in a child, which the failure ends.
TEST(SaveFailureTest, ASaveWhoseThreadCannotStartLeavesNoFolderBehind)
{
    if (QGuiApplication::platformName() == "offscreen")
        GTEST_SKIP() << "needs an X display";
    if (qEnvironmentVariableIsSet("MORVANTA_UNSTARTED_SAVE")) {
        MainWindow window(nullptr, Constants::NormalMode);
        std::vector<std::string> files;
        for (const QFileInfo& f : QDir(qEnvironmentVariable("MORVANTA_HOME") + "/SamplePatient").entryInfoList({"*.dcm"}, QDir::Files))
            files.push_back(f.absoluteFilePath().toStdString());
        ASSERT_TRUE(window.importVolumeData(files));
        // As the program's watch of thread starts ends it.
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& text) {
            std::fprintf(stderr, "%s\n", qPrintable(text));
            if (text.startsWith("QThread::start: Thread creation error"))
                std::_Exit(255);
        });
        const TestSupport::RefusedThreadStarts refused(0, true);
        window.savePlanning(false);
        std::_Exit(0);
    }
    AppTest::AppFolder home;
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("MORVANTA_UNSTARTED_SAVE", "1");
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(), {"--gtest_filter=SaveFailureTest.ASaveWhoseThreadCannotStart*"});
    ASSERT_TRUE(child.waitForFinished(120000));
    const QString output = child.readAll();
    EXPECT_TRUE(child.exitCode() == 255 && output.contains("QThread::start: Thread creation error")) << output.toStdString();
    EXPECT_EQ(QDir(home.path("patients")).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).join(", ").toStdString(), "");
}
