// The planning flows of the real main window, driven as a person would: import the sample
// patient, draw the panoramic curve, generate the 3D model, place an implant, take a screenshot,
// save as new; then a new window reloads the planning. The files on disk are read by outside
// tools (configparser, pydicom, identify, openssl).
#include "AppTestSupport.h"

#include "planning/model/ImplantManager.h"
#include "planning/model/Marker.h"
#include "planning/model/Model.h"
#include "planning/model/Settings.h"
#include "planning/objects/Implant.h"
#include "planning/objects/PanoramicLine.h"
#include "shell/dialogs/HierachyImplantSelectionDialog.h"
#include "shell/main/IRecordPlayback.h"
#include "shell/main/MainWindow.h"
#include "shell/main/ShellPlanningUi.h"
#include "shell/widgets/MainWidget.h"
#include "shell/widgets/ViewFrame.h"
#include "vexa/mesh/IndexedTriangleMesh.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QRegularExpression>
#include <QGuiApplication>
#include <QScreen>
#include <QStackedWidget>
#include <QToolButton>
#include <gtest/gtest.h>

using AppTest::clickButton;
using AppTest::waitFor;

namespace {

// Stands in for the record/playback unit: writes a known text into the device it is given.
struct FakeRecorder : IRecordPlayback
{
    int mode() const override { return 1; }
    QString scriptFile() const override { return {}; }
    void startWithDevice(QWidget*, QIODevice* device) override
    {
        ++starts;
        device->open(QIODevice::WriteOnly);
        device->write(written);
    }
    void startWithFile(QWidget*, std::function<void(int)>) override {}
    void endRecording() override { ++ends; }
    QByteArray written = "recorded: a press on the Patient button\n";
    int starts = 0, ends = 0;
};

struct Planning
{
    std::vector<Vexa::Vector3D> corners, markers;
    std::vector<Vexa::Matrix44<double>> implants;
    std::size_t vertices = 0;
};

Planning planningOf(const Model& model)
{
    Planning p;
    const auto line = model.getPanoramicLine();
    for (auto it = line->cornersBegin(); it != line->cornersEnd(); ++it)
        p.corners.push_back((*it)->getPosition());
    for (const auto& m : model.getMarkers())
        p.markers.push_back(m->getPosition());
    for (const auto& implant : model.getImplantManager()->getImplants())
        p.implants.push_back(implant->getTransform());
    p.vertices = model.get3DModel() ? model.get3DModel()->getVertexCount() : 0;
    return p;
}

void expectNear(const Vexa::Vector3D& a, const Vexa::Vector3D& b, double tolerance)
{
    for (int i = 0; i < 3; ++i)
        EXPECT_NEAR(a[i], b[i], tolerance);
}

QToolButton* toolButton(QWidget* window, const char* name)
{
    return window->findChild<QToolButton*>(name);
}

}

TEST(PlanningFlowTest, ImportPlanSaveAsNewAndReload)
{
    if (QGuiApplication::platformName() == "offscreen")
        GTEST_SKIP() << "needs an X display";
    AppTest::AppFolder home;
    IPlanningUi::install(std::make_shared<ShellPlanningUi>());
    FakeRecorder recorder;
    AppTest::DialogAnswerer answer;
    Planning saved;
    QString planningFile, recording;
    QSize windowSize;
    double videoSeconds = 0;
    {
        MainWindow window(&recorder, Constants::NormalMode);
        const auto model = window.getModel();
        windowSize = window.size();
        const QRect screen = QGuiApplication::primaryScreen()->geometry();
        EXPECT_EQ(window.geometry(), screen) << "full screen also without a window manager";

        // Patient -> "Start new planning" -> the sample's study in the import dialog.
        answer.then(clickButton("LoadDialog", "Start new planning"));
        answer.then(AppTest::openFirstStudy);
        toolButton(&window, "PatientButton")->click();
        ASSERT_TRUE(answer.done()) << answer.seen.join("\n").toStdString();
        ASSERT_TRUE(model->getVolumeData());
        EXPECT_EQ(model->getState(), 2) << "a fresh import draws the panoramic curve";
        EXPECT_EQ(recorder.starts, 1);
        recording = window.recordingFileName();

        // The curve: three presses in the axial view.
        ViewFrame* axialFrame = window.getMainWidget()->frame("RightLowerFrame");
        QWidget* axial = axialFrame->getView();
        ASSERT_TRUE(axial && axial->isVisible());
        for (const QPointF& corner : AppTest::archCurve)
            AppTest::clickAt(axial, corner);
        EXPECT_EQ(model->getPanoramicLine()->numberOfCorners(), 3u);

        // Generate 3D: the sample's markers are found, then the surface is made.
        toolButton(&window, "Generate 3DButton")->click();
        ASSERT_TRUE(waitFor([&] { return model->get3DModel() != nullptr; })) << answer.seen.join("\n").toStdString();
        EXPECT_TRUE(model->isMarkerDetected());
        EXPECT_EQ(model->getMarkers().size(), 6u);

        // An implant through the selection dialog, placed at the curve's apex.
        QToolButton* implantButton = toolButton(&window, "ImplantButton");
        ASSERT_TRUE(implantButton->isEnabled());
        implantButton->click();
        EXPECT_EQ(model->getState(), 3);
        answer.then(AppTest::chooseFirstImplant);
        AppTest::clickAt(axial, AppTest::archCurve[1]);
        ASSERT_EQ(model->getImplantManager()->numberOfImplants(), 1u) << answer.seen.join("\n").toStdString();

        // P: a screenshot of the window.
        window.activateWindow();
        QApplication::setActiveWindow(&window);
        QTest::keyClick(&window, Qt::Key_P);
        EXPECT_EQ(QDir(home.path("Images")).entryList({"*.bmp"}, QDir::Files).size(), 1);

        // R ... R: a screen video of about two seconds.
        QElapsedTimer wall;
        wall.start();
        QTest::keyClick(&window, Qt::Key_R);
        EXPECT_TRUE(model->isCapturing());
        waitFor([] { return false; }, 2000);
        // Another test's window on the shared display may have taken the activation meanwhile.
        QApplication::setActiveWindow(&window);
        QTest::keyClick(&window, Qt::Key_R);
        videoSeconds = wall.elapsed() / 1000.0;
        EXPECT_FALSE(model->isCapturing());

        saved = planningOf(*model);
        // OK -> "Save as new"; the window then closes.
        answer.then(clickButton("SaveDialog", "Save as new"));
        toolButton(&window, "OKButton")->click();
        ASSERT_TRUE(answer.done()) << answer.seen.join("\n").toStdString();
        EXPECT_FALSE(window.isVisible());
        EXPECT_EQ(recorder.ends, 1);
        planningFile = QString::fromStdString(window.getSettings()->getPlanningFile());
        EXPECT_TRUE(QDir(home.path("Images")).entryList({"*.bmp"}, QDir::Files).isEmpty());
    }
    const QString folder = QFileInfo(planningFile).absolutePath();
    ASSERT_TRUE(QFileInfo(planningFile).isFile()) << planningFile.toStdString();

    // A new window reloads the same planning.
    {
        MainWindow window(&recorder, Constants::NormalMode);
        ASSERT_TRUE(window.loadPlanning(planningFile.toStdString()));
        const Planning loaded = planningOf(*window.getModel());
        ASSERT_EQ(loaded.corners.size(), saved.corners.size());
        for (std::size_t i = 0; i < saved.corners.size(); ++i)
            expectNear(loaded.corners[i], saved.corners[i], 1e-9);
        ASSERT_EQ(loaded.markers.size(), saved.markers.size());
        for (std::size_t i = 0; i < saved.markers.size(); ++i)
            expectNear(loaded.markers[i], saved.markers[i], 1e-9);
        ASSERT_EQ(loaded.implants.size(), saved.implants.size());
        for (std::size_t i = 0; i < saved.implants.size(); ++i)
            for (int k = 0; k < 16; ++k)
                EXPECT_NEAR(loaded.implants[i][k], saved.implants[i][k], 1e-9);
        EXPECT_EQ(loaded.vertices, saved.vertices);
    }

    // On disk, read by outside tools.
    EXPECT_EQ(AppTest::python("import configparser,sys\nc=configparser.ConfigParser(strict=False)\n"
                              "c.optionxform=str\nc.read(sys.argv[1])\nprint(' '.join(sorted(c.sections())))",
                              {planningFile})
                  .contains("Implant"),
              true);
    EXPECT_EQ(AppTest::python("import pydicom,sys,os,glob\n"
                              "copies=sorted(glob.glob(os.path.join(sys.argv[1],'dicom','*')))\n"
                              "orig=sorted(glob.glob(os.path.join(sys.argv[2],'*')))\n"
                              "a=[pydicom.dcmread(f) for f in copies]; b=[pydicom.dcmread(f) for f in orig]\n"
                              "key=lambda d: d.SOPInstanceUID\n"
                              "print(len(a)==len(b) and sorted(a,key=key)==sorted(b,key=key))",
                              {folder, home.path("SamplePatient")}),
              "True");
    const QStringList pictures = QDir(folder + "/images").entryList({"*.bmp"}, QDir::Files);
    ASSERT_EQ(pictures.size(), 1);
    QProcess identify;
    identify.start("identify", {"-format", "%m %wx%h", folder + "/images/" + pictures.front()});
    identify.waitForFinished();
    // ImageMagick names the Windows 3 bitmap "BMP3".
    EXPECT_EQ(QString(identify.readAllStandardOutput()),
              QString("BMP3 %1x%2").arg(windowSize.width()).arg(windowSize.height()));
    const QStringList videos = QDir(folder + "/images").entryList({"*.avi"}, QDir::Files);
    ASSERT_EQ(videos.size(), 1);
    const QString video = folder + "/images/" + videos.front();
    QProcess probe;
    probe.start("ffprobe", {"-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
                            "stream=codec_name,nb_read_frames,nb_frames:format=duration", "-of", "default=nw=1", video});
    probe.waitForFinished(60000);
    const QString facts = probe.readAllStandardOutput();
    EXPECT_TRUE(facts.contains("codec_name=mjpeg")) << facts.toStdString();
    const double duration = QRegularExpression("duration=([0-9.]+)").match(facts).captured(1).toDouble();
    EXPECT_NEAR(duration, videoSeconds, 0.1 * videoSeconds) << facts.toStdString();
    const QString stored = QRegularExpression("nb_frames=([0-9]+)").match(facts).captured(1);
    EXPECT_EQ(QRegularExpression("nb_read_frames=([0-9]+)").match(facts).captured(1), stored) << facts.toStdString();
    const QString copy = folder + "/system/" + QFileInfo(recording).fileName();
    QProcess openssl;
    openssl.start("openssl", {"enc", "-d", "-aes-128-ecb", "-K", "4d6f7276616e74612d6c6f672d6b6579", "-in", copy});
    openssl.waitForFinished();
    EXPECT_EQ(openssl.readAllStandardOutput(), recorder.written);
    IPlanningUi::install(nullptr);
}
