// What a person reads at the two screen sizes the workstation runs on (1280x1024, 1920x1080):
// the error boxes of a damaged planning, a truncated series and an unwritable patient folder
// show their whole text, and every text of every dialog and panel fits its widget. Each size
// runs in a child process of this program on an X server of that size.
#include "AppTestSupport.h"
#include "TextFit.h"

#include "planning/model/ImplantManager.h"
#include "planning/model/Model.h"
#include "planning/model/Settings.h"
#include "planning/objects/Implant.h"
#include "shell/dialogs/AboutDialog.h"
#include "shell/dialogs/BoneDensityDialog.h"
#include "shell/dialogs/CalibrationAcceptanceDialog.h"
#include "shell/dialogs/DicomImportDialog.h"
#include "shell/dialogs/HierachyImplantSelectionDialog.h"
#include "shell/dialogs/JawSelectionDialog.h"
#include "shell/dialogs/LoadDialog.h"
#include "shell/dialogs/LoadPlanningDialog.h"
#include "shell/dialogs/MessageDialog.h"
#include "shell/dialogs/SaveDialog.h"
#include "shell/dialogs/ViewSelectionDialog.h"
#include "shell/main/MainWindow.h"
#include "shell/main/ShellPlanningUi.h"
#include "shell/segmentation/SegmentationDialog.h"
#include "navigation/ICalibrationAcceptor.h"

#include <QDirIterator>
#include <QGuiApplication>
#include <QScreen>
#include <QScrollArea>
#include <QTextEdit>
#include <QScrollBar>
#include <QStackedWidget>
#include <gtest/gtest.h>
#include <memory>

namespace {

constexpr const char* screenVariable = "MORVANTA_SCREEN_UNDER_TEST";

QString screenName()
{
    return qEnvironmentVariable(screenVariable);
}

// The whole screen as the user sees it, into $MORVANTA_ARTIFACTS when it is set.
void saveScreen(const QString& name)
{
    const QString folder = qEnvironmentVariable("MORVANTA_ARTIFACTS");
    if (folder.isEmpty())
        return;
    QDir().mkpath(folder);
    QGuiApplication::primaryScreen()->grabWindow(0).save(folder + "/" + name + "-" + screenName() + ".png");
}

std::vector<std::string> filesOf(const QString& folder)
{
    std::vector<std::string> files;
    for (const QFileInfo& f : QDir(folder).entryInfoList(QDir::Files, QDir::Name))
        files.push_back(f.absoluteFilePath().toStdString());
    return files;
}

std::shared_ptr<Implant> firstImplant(const QString& database)
{
    QDirIterator it(database, {"*.implant"}, QDir::Files, QDirIterator::Subdirectories);
    return Implant::createFromFile(Vexa::Matrix44<double>(Vexa::Vector3D(20, 20, 20)), 0, it.next().toStdString());
}

// Cuts the first implant's transform in a saved planning file short.
void cutTransform(const QString& planning)
{
    QFile file(planning);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QString text = QString::fromUtf8(file.readAll());
    file.close();
    const qsizetype at = text.indexOf("transform0");
    ASSERT_GE(at, 0);
    text.remove(text.indexOf(' ', at + 20), text.indexOf('\n', at) - text.indexOf(' ', at + 20));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text.toUtf8());
}

// A box as shown: its caption, its text and whatever keeps a part of the text from view.
struct ShownBox
{
    QString caption, text;
    QStringList hidden;
};

// Answers the next message box with Ok after looking at it and saving the screen.
void readBox(AppTest::DialogAnswerer& answer, ShownBox& seen, const QString& png)
{
    answer.then([&seen, png](QWidget* modal) {
        auto* box = qobject_cast<MessageDialog*>(modal);
        if (!box || !QTest::qWaitForWindowExposed(box))
            return false;
        auto* label = box->findChild<WrappingLabel*>();
        auto* scroll = box->findChild<QScrollArea*>();
        seen = {box->windowTitle(), label->text(), {}};
        const QRect text(label->mapTo(box, label->textRect().topLeft()), label->textRect().size());
        const QRect area(scroll->mapTo(box, QPoint()), scroll->viewport()->size());
        if (!area.contains(text) || !box->rect().contains(area))
            seen.hidden << "the text lies outside what the box shows";
        if (scroll->verticalScrollBar()->isVisible())
            seen.hidden << "the text scrolls";
        if (!box->screen()->availableGeometry().contains(box->frameGeometry()))
            seen.hidden << "the box reaches past the screen";
        seen.hidden << TextFit::misfits(box);
        saveScreen(png);
        QPushButton* ok = box->findChildren<QPushButton*>().front();
        QTimer::singleShot(0, ok, [ok] { ok->click(); });
        return true;
    });
}

// Shows the dialog, checks its texts and saves the screen.
QStringList walk(QWidget& dialog, const QString& png)
{
    dialog.show();
    if (!QTest::qWaitForWindowExposed(&dialog))
        return {"the dialog " + png + " did not show"};
    QApplication::processEvents();
    const QStringList found = TextFit::misfits(&dialog);
    saveScreen(png);
    dialog.hide();
    return found;
}

class Acceptor : public ICalibrationAcceptor
{
public:
    void acceptLastCalibration(bool) override {}
    bool setStateUpdatesEnabled(bool) override { return true; }
};

// One program window over the sample patient, for a child run.
class ScreenChild : public testing::Test
{
protected:
    void SetUp() override
    {
        if (screenName().isEmpty())
            GTEST_SKIP() << "runs inside ScreenFit.BothScreenSizes";
        IPlanningUi::install(std::make_shared<ShellPlanningUi>());
        window = std::make_unique<MainWindow>(nullptr, Constants::NormalMode);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        ASSERT_TRUE(window->importVolumeData(filesOf(home.path("SamplePatient"))));
    }
    void TearDown() override
    {
        window.reset();
        IPlanningUi::install(nullptr);
    }
    AppTest::AppFolder home;
    AppTest::DialogAnswerer answer;
    std::unique_ptr<MainWindow> window;
};

}

TEST(ScreenFit, BothScreenSizes)
{
    for (const QString size : {"1280x1024", "1920x1080"}) {
        SCOPED_TRACE(size.toStdString());
        TestSupport::PrivateXServer x(size + "x24");
        ASSERT_TRUE(x.running()) << "an X server of " << size.toStdString();
        QProcess child;
        QProcessEnvironment env = x.environment();
        env.insert(screenVariable, size);
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(QCoreApplication::applicationFilePath(), {"--gtest_filter=ScreenChild.*"});
        ASSERT_TRUE(child.waitForFinished(480000)) << "the run at " << size.toStdString() << " ended";
        const QString output = child.readAll();
        EXPECT_EQ(child.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
        EXPECT_TRUE(output.contains("[  PASSED  ] 2 tests")) << output.toStdString();
    }
}

TEST_F(ScreenChild, ErrorBoxesShowTheirWholeText)
{
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    ASSERT_EQ(QString("%1x%2").arg(screen.width()).arg(screen.height()), screenName());
    ShownBox box;

    // A planning whose implant transform was cut short.
    window->getModel()->getImplantManager()->addImplant(firstImplant(home.path("ImplantDatabase")));
    ASSERT_TRUE(window->savePlanning(false));
    const QString planning = QString::fromStdString(window->getSettings()->getPlanningFile());
    cutTransform(planning);
    readBox(answer, box, "loading-error");
    EXPECT_FALSE(window->loadPlanning(planning.toStdString()));
    EXPECT_EQ(box.caption, "Loading error");
    EXPECT_TRUE(box.text.contains(planning) && box.text.contains("transform0")) << box.text.toStdString();
    EXPECT_TRUE(box.hidden.isEmpty()) << box.hidden.join("\n").toStdString();

    // A series with one file cut in half.
    QDir().mkpath(home.path("cut"));
    for (const std::string& f : filesOf(home.path("SamplePatient")))
        QFile::copy(QString::fromStdString(f), home.path("cut/") + QFileInfo(QString::fromStdString(f)).fileName());
    const std::vector<std::string> series = filesOf(home.path("cut"));
    const QString cut = QString::fromStdString(series[series.size() / 2]);
    ASSERT_TRUE(QFile::resize(cut, QFileInfo(cut).size() / 2));
    readBox(answer, box, "importing-error");
    EXPECT_FALSE(window->importVolumeData(series));
    EXPECT_EQ(box.caption, "Importing error");
    EXPECT_TRUE(box.text.contains(cut)) << box.text.toStdString();
    EXPECT_TRUE(box.hidden.isEmpty()) << box.hidden.join("\n").toStdString();

    // A patient folder below a plain file (so also for root).
    QFile plain(home.path("plain"));
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    plain.close();
    QFile ini(home.path("Morvanta.ini"));
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
    ini.write(("[Morvanta]\nPatientPath=" + home.path("plain") + "/patients\n").toUtf8());
    ini.close();
    readBox(answer, box, "saving-error");
    EXPECT_FALSE(window->savePlanning(false));
    EXPECT_EQ(box.caption, "Saving error");
    EXPECT_TRUE(box.text.contains(home.path("plain") + "/patients") && box.text.contains("Not a directory"))
        << box.text.toStdString();
    EXPECT_TRUE(box.hidden.isEmpty()) << box.hidden.join("\n").toStdString();
    EXPECT_TRUE(answer.done()) << answer.seen.join(", ").toStdString();
}

TEST_F(ScreenChild, EveryTextFitsItsWidget)
{
    const auto model = window->getModel();
    const auto implant = firstImplant(home.path("ImplantDatabase"));
    model->getImplantManager()->addImplant(implant);
    model->notify();
    ASSERT_TRUE(window->savePlanning(false));
    model->notify();
    QApplication::processEvents();
    QStringList found = TextFit::misfits(window.get());
    saveScreen("main-window");

    MessageDialog question(window.get(), "Attention", "Do you really want to delete the whole panoramic line?",
                           MessageDialog::Yes | MessageDialog::No | MessageDialog::Cancel);
    found << walk(question, "message-dialog");
    LoadDialog load(window.get());
    found << walk(load, "load-dialog");
    JawSelectionDialog jaw(window.get());
    found << walk(jaw, "jaw-dialog");
    ViewSelectionDialog views({"3D", "Axial", "Coronal", "Cross-sectional", "Panoramic", "Sagittal"}, window.get());
    found << walk(views, "view-selection-dialog");
    AboutDialog about("Surgical");
    found << walk(about, "about-dialog");
    SaveDialog save(window.get(), model, "Quit\nwithout save");
    found << walk(save, "save-dialog");
    HierachyImplantSelectionDialog::forgetDatabase();
    {
        HierachyImplantSelectionDialog implants(home.path("ImplantDatabase"), true, nullptr);
        found << walk(implants, "implant-selection-short-list");
        auto* stack = implants.findChild<QStackedWidget*>();
        auto* all = static_cast<QTreeWidget*>(stack->widget(0));
        stack->setCurrentWidget(all);
        all->expandAll();
        found << walk(implants, "implant-selection-all");
    }
    BoneDensityDialog density(implant, model, 1, nullptr);
    found << walk(density, "bone-density-dialog");
    // Beside the sound planning two damaged ones, a value cut short and a DICOM file gone: the
    // sound one is listed, the other two are named with their reasons.
    const auto saveAgain = [&] {
        EXPECT_TRUE(window->savePlanning(false));
        return QFileInfo(QString::fromStdString(window->getSettings()->getPlanningFile()));
    };
    const QFileInfo cut = saveAgain(), incomplete = saveAgain();
    cutTransform(cut.filePath());
    const QStringList series = QDir(incomplete.path() + "/dicom").entryList(QDir::Files, QDir::Name);
    ASSERT_GT(series.size(), 3);
    const QString gone = series[3];
    ASSERT_TRUE(QFile::remove(incomplete.path() + "/dicom/" + gone));
    LoadPlanningDialog plannings(window.get(), &window->getDicomIOManager());
    plannings.setBasePaths(window->getSettings()->getPatientPaths());
    int listed = -1;
    QStringList leftOut;
    QTimer::singleShot(0, &plannings, [&] {
        if (!QTest::qWaitForWindowExposed(&plannings)) {
            ADD_FAILURE() << "the planning list never showed";
            plannings.reject();
            return;
        }
        // The list fills in a thread of its own.
        EXPECT_TRUE(QTest::qWaitFor([&] { return !plannings.isListing(); }, 60000));
        listed = plannings.findChild<QTreeWidget*>("m_PatientTable")->topLevelItemCount();
        leftOut = plannings.findChild<QTextEdit*>("m_LeftOut")->toPlainText().split('\n');
        found << TextFit::misfits(&plannings);
        if (!plannings.screen()->availableGeometry().contains(plannings.frameGeometry()))
            found << "the planning list reaches past the screen";
        saveScreen("load-planning-dialog");
        plannings.reject();
    });
    plannings.exec();
    EXPECT_EQ(listed, 1);
    // After the heading, in the order of the folder names.
    QStringList expected = {
        cut.dir().dirName() + ": the planning file holds an invalid value of \"transform0\" in [Implant]",
        incomplete.dir().dirName() + ": the planning file names the DICOM file dicom/" + gone + ", which is missing"};
    if (incomplete.dir().dirName() < cut.dir().dirName())
        expected.swapItemsAt(0, 1);
    expected.prepend("Not listed, because they cannot be loaded:");
    EXPECT_EQ(leftOut.join('\n').toStdString(), expected.join('\n').toStdString());
    Vexa::DicomImportDialog import(window.get(), &window->getDicomIOManager());
    import.setBasePath(home.path("SamplePatient").toStdString());
    QTimer::singleShot(0, &import, [&] {
        if (!QTest::qWaitForWindowExposed(&import)) {
            ADD_FAILURE() << "the import dialog never showed";
            import.reject();
            return;
        }
        found << TextFit::misfits(&import);
        saveScreen("dicom-import-dialog");
        import.reject();
    });
    import.exec();
    Acceptor acceptor;
    CalibrationAcceptanceDialog calibration(&acceptor, window.get());
    found << walk(calibration, "calibration-acceptance-dialog");
    SegmentationDialog segmentation(model->getVolumeData(), nullptr, 1000);
    found << walk(segmentation, "segmentation-dialog");
    EXPECT_TRUE(found.isEmpty()) << "texts that do not fit:\n" << found.join("\n").toStdString();
}
