// Saving: overwriting replaces the planning folder by a new one and leaves no folder of the old
// name; a save that cannot be written shows "Saving error" and leaves the planning as it was.
#include "AppTestSupport.h"

#include "planning/model/Model.h"
#include "planning/model/Settings.h"
#include "planning/objects/PanoramicLine.h"
#include "shell/dialogs/MessageDialog.h"
#include "shell/main/MainWindow.h"
#include "shell/main/ShellPlanningUi.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QFileInfo>
#include <gtest/gtest.h>
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
            EXPECT_TRUE(seen.startsWith("Saving error: ")) << seen.toStdString();
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
    EXPECT_TRUE(seen.startsWith("Saving error: ")) << seen.toStdString();
    EXPECT_EQ(snapshot(home.path("patients")), before) << "the planning is byte for byte as it was";
    IPlanningUi::install(nullptr);
}
