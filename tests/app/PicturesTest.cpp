// Screenshots and screen videos where it goes wrong: they hold what the screen showed, the texts
// the slice views draw over their pictures included; a full disk tells the user and never passes
// for a saved picture; two programs sharing one program folder each file only their own
// pictures into their plannings; and taking pictures leaves no folders behind.
#include "AppTestSupport.h"
#include "common/SmallDisk.h"

#include "planning/model/IPlanningUi.h"
#include "planning/model/ImplantManager.h"
#include "planning/model/Model.h"
#include "planning/model/Settings.h"
#include "platform/Sound.h"
#include "shell/dialogs/MessageDialog.h"
#include "shell/main/ImageFolder.h"
#include "shell/main/MainWindow.h"
#include "shell/main/ShellPlanningUi.h"
#include "shell/main/VideoCapture.h"
#include "shell/widgets/MainWidget.h"
#include "shell/widgets/ViewFrame.h"
#include "views/OpenGLView.h"

#include <QLockFile>
#include <QToolButton>
#include <gtest/gtest.h>
#include <optional>

namespace {

using AppTest::waitFor;
using AppTest::xdotool;

// A program folder with the build's pictures and sounds, the settings these tests need, and
// its plannings in `patients`.
struct ProgramFolder
{
    ProgramFolder(const QString& home, const QString& patients) : images(home + "/Images")
    {
        QDir().mkpath(patients);
        QFile::link(AppTest::built + "/Data", home + "/Data");
        QFile ini(home + "/Morvanta.ini");
        ini.open(QIODevice::WriteOnly);
        ini.write(("[Morvanta]\nPatientPath=" + patients + "\nCaptureSupport=1\n").toUtf8());
        ini.close();
        qputenv("MORVANTA_HOME", home.toUtf8());
    }
    ~ProgramFolder() { qunsetenv("MORVANTA_HOME"); }
    // Everything in "Images" but the instances' lock files: hidden files and folders too.
    QStringList others() const
    {
        QStringList all = images.entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
        all.removeIf([](const QString& name) { return name.startsWith(".session-") && name.endsWith(".lock"); });
        return all;
    }
    QDir images;
};

// Answers every message box with Ok and keeps "caption: text".
void readMessages(AppTest::DialogAnswerer& answer, QStringList& seen, int count)
{
    for (int i = 0; i < count; ++i)
        answer.then([&seen](QWidget* modal) {
            auto* box = qobject_cast<MessageDialog*>(modal);
            if (!box)
                return false;
            seen << box->windowTitle() + ": " + box->findChild<QLabel*>()->text();
            QPushButton* ok = box->findChildren<QPushButton*>().front();
            QTimer::singleShot(0, ok, [ok] { ok->click(); });
            return true;
        });
}

std::vector<std::string> sampleFiles()
{
    std::vector<std::string> files;
    for (const QFileInfo& f : QDir(AppTest::built + "/SamplePatient").entryInfoList({"*.dcm"}, QDir::Files, QDir::Name))
        files.push_back(f.absoluteFilePath().toStdString());
    return files;
}

// What ffprobe says is wrong when it decodes the whole video, and the frames it counts.
std::pair<std::string, int> decode(const QString& video)
{
    QProcess probe;
    probe.start("ffprobe", {"-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
                            "stream=nb_read_frames", "-of", "csv=p=0", video});
    probe.waitForFinished(60000);
    return {probe.readAllStandardError().toStdString(), QString(probe.readAllStandardOutput()).trimmed().toInt()};
}

bool near(QRgb a, QRgb b, int tolerance)
{
    return std::abs(qRed(a) - qRed(b)) + std::abs(qGreen(a) - qGreen(b)) + std::abs(qBlue(a) - qBlue(b)) <= tolerance;
}

}

// Key P's screenshot and a frame of the screen video against the X server's screen at the same
// moment: each text the axial, coronal, cross-sectional and panoramic views drew over their GL
// pictures (side markers, slice position, section numbers) is in both, where the screen shows it.
TEST(PicturesTest, ScreenshotsAndVideoFramesShowTheTextsOfTheViews)
{
    if (QGuiApplication::platformName() == "offscreen")
        GTEST_SKIP() << "needs an X display";
    if (!AppTest::rerunOnOwnXServer())
        return;
    AppTest::AppFolder home;
    struct Ui
    {
        Ui() { IPlanningUi::install(std::make_shared<ShellPlanningUi>()); }
        ~Ui() { IPlanningUi::install(nullptr); }
    } ui;
    MainWindow window(nullptr, Constants::NormalMode);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    ASSERT_TRUE(window.importVolumeData(sampleFiles()));
    MainWidget* main = window.getMainWidget();
    // The curve, the 3D model and an implant give every view its picture and its texts.
    auto* axial = qobject_cast<OpenGLView*>(main->frame("RightLowerFrame")->getView());
    ASSERT_TRUE(axial);
    ASSERT_TRUE(waitFor([&] { return axial->isVisible() && !axial->getTextRecord().empty(); }, 30000));
    for (const QPointF& corner : AppTest::archCurve)
        AppTest::clickAt(axial, corner);
    window.findChild<QToolButton*>("Generate 3DButton")->click();
    ASSERT_TRUE(waitFor([&] { return window.getModel()->get3DModel() != nullptr; }));
    AppTest::DialogAnswerer answer;
    answer.then(AppTest::chooseFirstImplant);
    window.findChild<QToolButton*>("ImplantButton")->click();
    AppTest::clickAt(axial, AppTest::archCurve[1]);
    ASSERT_EQ(window.getModel()->getImplantManager()->numberOfImplants(), 1u) << answer.seen.join("\n").toStdString();
    main->frame("LeftLowerFrame")->setView("Coronal");
    window.hideAndShowViews(true);
    std::vector<OpenGLView*> views;
    for (const char* frame : {"RightLowerFrame", "LeftLowerFrame", "MiddleUpperFrame", "LeftUpperFrame"}) {
        views.push_back(qobject_cast<OpenGLView*>(main->frame(frame)->getView()));
        ASSERT_TRUE(views.back()) << frame;
    }
    // Per view, its texts that `screen` shows (3 pixels of their colour or more, else drawn over
    // a picture of that colour), and those of them `other` shows alike: exactly in the lossless
    // screenshot, by brightness in the video's JPEG, which blurs the glyphs' edges.
    using Counts = std::map<std::string, int>;
    const auto textsShown = [&](const QImage& screen, const QImage& other, bool jpeg) {
        Counts shown, alike;
        for (OpenGLView* view : views)
            for (const GlTextOverlay::Text& t : view->getTextRecord()) {
                const QRect box = (QFontMetrics(t.font).boundingRect(t.text).translated(t.position.toPoint())
                                   & view->visibleRegion().boundingRect()).translated(view->mapTo(&window, QPoint()));
                int onScreen = 0, same = 0;
                for (int y = box.top(); y <= box.bottom(); ++y)
                    for (int x = box.left(); x <= box.right(); ++x) {
                        const QRgb a = screen.pixel(x, y), b = other.pixel(x, y);
                        if (near(a, t.color.rgb(), 60)) {
                            ++onScreen;
                            same += jpeg ? std::abs(qGray(a) - qGray(b)) <= 40 : near(a, b, 6);
                        }
                    }
                if (onScreen >= 3) {
                    ++shown[view->objectName().toStdString()];
                    alike[view->objectName().toStdString()] += same >= onScreen * (jpeg ? 60 : 95) / 100;
                }
            }
        return std::pair(shown, alike);
    };
    // "R", "L" and the slice position, and the section numbers.
    const auto all = [](Counts n) { return n["Axial"] >= 3 && n["Coronal"] >= 3 && n["Cross-sectional"] >= 1; };
    const auto screen = [&] { return window.screen()->grabWindow(0).toImage().convertToFormat(QImage::Format_RGB32); };
    Counts seen;
    ASSERT_TRUE(waitFor([&] { const QImage s = screen(); return all(seen = textsShown(s, s, false).first); }, 60000))
        << "the views never showed their texts: " << testing::PrintToString(seen);

    const QImage shown = screen().copy(window.geometry());
    window.makeScreenshot();
    window.toggleVideoCapture();
    ASSERT_TRUE(window.getModel()->isCapturing());
    window.toggleVideoCapture();
    const QDir images(home.path("Images"));
    const QStringList bmp = images.entryList({"*.bmp"}), avi = images.entryList({"*.avi"});
    ASSERT_EQ(bmp.size(), 1);
    ASSERT_EQ(avi.size(), 1);
    const QImage screenshot = QImage(images.filePath(bmp[0])).convertToFormat(QImage::Format_RGB32);
    QProcess ffmpeg; // the video's first frame
    ffmpeg.start("ffmpeg",
                 {"-v", "error", "-i", images.filePath(avi[0]), "-frames:v", "1", "-f", "image2pipe", "-vcodec", "png", "-"});
    ffmpeg.waitForFinished(30000);
    const QImage frame = QImage::fromData(ffmpeg.readAllStandardOutput(), "PNG").convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(screenshot.size(), shown.size());
    ASSERT_EQ(frame.size(), QSize(shown.width() & ~1, shown.height() & ~1));
    for (const bool jpeg : {false, true}) {
        const auto [onScreen, alike] = textsShown(shown, jpeg ? frame : screenshot, jpeg);
        EXPECT_TRUE(all(onScreen));
        EXPECT_EQ(alike, onScreen) << (jpeg ? "the video frame" : "the screenshot");
    }
}

TEST(PicturesTest, OnAFullDiskTheUserIsToldAndNoShutterSounds)
{
    if (QGuiApplication::platformName() == "offscreen")
        GTEST_SKIP() << "needs an X display";
    // The keys go to whichever window has the focus: on a display of its own no other test's
    // window can take it between focusing and typing.
    std::optional<TestSupport::PrivateXServer> own;
    if (SmallDisk::path().empty()) {
        own.emplace();
        ASSERT_TRUE(own->running());
    }
    if (!SmallDisk::rerunInside(48 << 20, {"DISPLAY=" + (own ? own->display() : QString())}))
        return;
    const QString home = QString::fromStdString(SmallDisk::path()) + "/program";
    ProgramFolder folder(home, home + "/patients");
    std::vector<std::string> sounds;
    Platform::setSoundListener([&sounds](const std::string& file) { sounds.push_back(file); });
    AppTest::DialogAnswerer answer;
    QStringList seen;
    MainWindow window(nullptr, Constants::NormalMode);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    const QString display = qEnvironmentVariable("DISPLAY");
    // The key pressed on the X server, once the window has the focus; then until `done`.
    const auto press = [&](const char* key, auto done) {
        xdotool(display, {"windowfocus", "--sync", QString::number(window.winId()), "key", key});
        return waitFor(done, 60000);
    };

    // With room: the shutter sounds for a whole picture of the window; nothing else is left.
    ASSERT_TRUE(press("p", [&] { return sounds.size() == 1; }));
    const QStringList one = folder.images.entryList({"*.bmp"});
    ASSERT_EQ(one.size(), 1);
    EXPECT_EQ(QImage(folder.images.filePath(one[0])).size(), window.size());
    EXPECT_EQ(folder.others().join(", ").toStdString(), one[0].toStdString());

    // No room: the user is told, no sound, nothing left behind.
    readMessages(answer, seen, 3);
    SmallDisk::leaveFree(64 << 10);
    ASSERT_TRUE(press("p", [&] { return seen.size() == 1 || sounds.size() > 1; }));
    ASSERT_EQ(seen.size(), 1);
    EXPECT_EQ(seen[0].toStdString(), ("Screenshot error: The screenshot could not be saved: The disk is full: " +
                                       folder.images.path() + " could not be written.").toStdString());
    EXPECT_EQ(sounds.size(), 1u);
    EXPECT_EQ(folder.others().join(", ").toStdString(), one[0].toStdString());

    SmallDisk::leaveFree(0);
    ASSERT_TRUE(press("r", [&] { return seen.size() == 2 || window.getModel()->isCapturing(); }));
    ASSERT_EQ(seen.size(), 2);
    EXPECT_TRUE(seen[1].startsWith("Video error: The screen video could not be started: The disk is full: "))
        << seen[1].toStdString();
    EXPECT_FALSE(window.getModel()->isCapturing());
    EXPECT_EQ(folder.others().join(", ").toStdString(), one[0].toStdString());

    // Room for three frames and a half: the video stops, the user is told, and the frames
    // recorded until then play.
    QFile::remove(QString::fromStdString(SmallDisk::path()) + "/filler");
    const qint64 frame = VideoCapture::compress(window.grab().toImage()).size();
    SmallDisk::leaveFree(frame * 7 / 2 + 8192);
    ASSERT_TRUE(press("r", [&] { return seen.size() == 3; }));
    EXPECT_FALSE(window.getModel()->isCapturing());
    const QStringList videos = folder.images.entryList({"*.avi"});
    ASSERT_EQ(videos.size(), 1);
    // Names carry unpadded milliseconds, so either may sort first.
    QStringList both{one[0], videos[0]};
    both.sort();
    EXPECT_EQ(folder.others().join(", ").toStdString(), both.join(", ").toStdString());
    const QString video = folder.images.filePath(videos[0]);
    EXPECT_EQ(seen[2].toStdString(), ("Video error: The screen video was stopped: The disk is full: " + video +
                                       " could not be written.\nWhat was recorded until then is kept in " + video + ".")
                                          .toStdString());
    const auto [complaints, frames] = decode(video);
    EXPECT_EQ(complaints, "");
    EXPECT_GE(frames, 2);
    EXPECT_EQ(sounds.size(), 1u);
    Platform::setSoundListener({});
}

TEST(PicturesTest, PicturesThatDoNotFitIntoThePlanningStayAndTheUserIsTold)
{
    if (QGuiApplication::platformName() == "offscreen")
        GTEST_SKIP() << "needs an X display";
    if (!SmallDisk::rerunInside(96 << 20))
        return;
    TestSupport::ScratchDir program;
    const QString patients = QString::fromStdString(SmallDisk::path()) + "/patients";
    ProgramFolder folder(program.qpath(), patients);
    AppTest::DialogAnswerer answer;
    QStringList seen;
    MainWindow window(nullptr, Constants::NormalMode);
    ASSERT_TRUE(window.importVolumeData(sampleFiles()));
    // Room for the planning once more, not for a screenshot of the window besides.
    ASSERT_TRUE(window.savePlanning(false));
    const unsigned long long planning = (96ull << 20) - SmallDisk::freeBytes();
    SmallDisk::leaveFree(planning + (512 << 10));
    window.makeScreenshot();
    const QStringList picture = folder.images.entryList({"*.bmp"});
    ASSERT_EQ(picture.size(), 1);
    const qint64 taken = QFileInfo(folder.images.filePath(picture[0])).size();
    ASSERT_GT(taken, 1000000);

    answer.then(AppTest::clickButton("SaveDialog", "Save as new"));
    readMessages(answer, seen, 1);
    EXPECT_TRUE(window.requestPlanningSave("New planning\nwithout save"));
    ASSERT_EQ(seen.size(), 1) << answer.seen.join(", ").toStdString();
    const QString saved = QFileInfo(QString::fromStdString(window.getSettings()->getPlanningFile())).absolutePath();
    EXPECT_TRUE(seen[0].startsWith("Pictures not moved: The planning was saved, but these pictures could not be moved into " +
                                   saved + "/images and stay in " + folder.images.path() + ":\n" + picture[0] +
                                   ": The disk is full: "))
        << seen[0].toStdString();
    EXPECT_EQ(folder.images.entryList({"*.bmp"}).join(", ").toStdString(), picture[0].toStdString());
    EXPECT_EQ(QFileInfo(folder.images.filePath(picture[0])).size(), taken);
    EXPECT_EQ(QDir(saved + "/images").entryList(QDir::Files | QDir::Hidden).join(", ").toStdString(), "") << "no part of it";
}

TEST(PicturesTest, TwoProgramsEachFileTheirOwnPicturesAndLeaveNoFolders)
{
    if (QGuiApplication::platformName() == "offscreen")
        GTEST_SKIP() << "needs an X display";
    const QString display = AppTest::xServer().display();
    ASSERT_FALSE(display.isEmpty());
    AppTest::AppFolder home;
    {
        MainWindow window(nullptr, Constants::NormalMode);
        ASSERT_TRUE(window.importVolumeData(sampleFiles()));
        ASSERT_TRUE(window.savePlanning(false));
    }
    const QStringList plannings = QDir(home.path("patients")).entryList({"20*"}, QDir::Dirs);
    const QDir images(home.path("Images"));
    const auto pictures = [&] { return images.entryList({"*.bmp", "*.avi"}, QDir::Files, QDir::Name); };
    const auto key = [&](const QString& window, const QString& keys) {
        xdotool(display, {"windowfocus", "--sync", window, "key", keys});
    };

    // A reloads the planning, takes ten screenshots and a video.
    QProcess a;
    const QString windowA = AppTest::startProgram(a, display, home.path());
    ASSERT_FALSE(windowA.isEmpty());
    ASSERT_TRUE(AppTest::reloadTheOnlyPlanning(display));
    // The planning is in (and its progress box gone, which would take the keys) once its
    // recording has begun.
    ASSERT_TRUE(waitFor([&] {
        return !QDir(home.path("patients/MorvantaStudyDummy/System")).entryList({"*.log"}, QDir::Files).isEmpty();
    }, 60000));
    for (int i = 1; i <= 10; ++i) {
        key(windowA, "p");
        ASSERT_TRUE(waitFor([&] { return pictures().size() == i; }, 30000));
    }
    key(windowA, "r");
    ASSERT_TRUE(waitFor([&] {
        const QStringList videos = images.entryList({"*.avi"}, QDir::Files);
        return videos.size() == 1 && QFileInfo(images.filePath(videos[0])).size() > 100000;
    }, 30000));
    key(windowA, "r");
    const QStringList ofA = pictures();

    // B starts while A runs and leaves A's pictures where they are; its own screenshot.
    QProcess b;
    AppTest::startProgram(b, display, home.path());
    QString windowB;
    ASSERT_TRUE(waitFor([&] {
        windowB = xdotool(display, {"search", "--all", "--onlyvisible", "--pid", QString::number(b.processId()), "--name",
                                    "^Morvanta$"}).section('\n', 0, 0);
        return !windowB.isEmpty();
    }, 60000));
    EXPECT_EQ(pictures().join(", ").toStdString(), ofA.join(", ").toStdString());
    key(windowB, "p");
    ASSERT_TRUE(waitFor([&] { return pictures().size() == ofA.size() + 1; }, 30000));
    QStringList ofB = pictures();
    for (const QString& name : ofA)
        ofB.removeAll(name);

    // A quits with "Save as new" (the second button of "Save patient").
    key(windowA, "ctrl+w");
    xdotool(display, {"mousemove", "--window", AppTest::windowNamed(display, "Save patient"), "216", "106", "click", "1"});
    ASSERT_TRUE(a.waitForFinished(60000));
    QStringList added = QDir(home.path("patients")).entryList({"20*"}, QDir::Dirs);
    for (const QString& old : plannings)
        added.removeAll(old);
    ASSERT_EQ(added.size(), 1);
    EXPECT_EQ(QDir(home.path("patients/" + added[0] + "/images")).entryList(QDir::Files, QDir::Name).join(", ").toStdString(),
              ofA.join(", ").toStdString());
    EXPECT_EQ(pictures().join(", ").toStdString(), ofB.join(", ").toStdString());
    const QStringList videos = QDir(home.path("patients/" + added[0] + "/images")).entryList({"*.avi"});
    ASSERT_EQ(videos.size(), 1);
    const auto [complaints, frames] = decode(home.path("patients/" + added[0] + "/images/" + videos[0]));
    EXPECT_EQ(complaints, "");
    EXPECT_GE(frames, 1);

    // B quits (nothing to save): its picture waits in Images, and no folder is left there.
    key(windowB, "ctrl+w");
    ASSERT_TRUE(b.waitForFinished(60000));
    EXPECT_EQ(pictures().join(", ").toStdString(), ofB.join(", ").toStdString());
    EXPECT_EQ(images.entryList(QDir::Dirs | QDir::NoDotAndDotDot).join(", ").toStdString(), "");
}

// A session lock that names this very process (a session that died in another process namespace,
// where it had the same number) is a dead one: the start clears up as the only instance, and the
// pictures that session left are kept in "recovered". A picture this session takes before that,
// stamped an hour earlier by a program folder whose clock runs behind, stays this session's.
TEST(PicturesTest, ADeadSessionWithThisProcessNumberIsNoInstanceRunning)
{
    TestSupport::ScratchDir program;
    ProgramFolder folder(program.qpath(), program.qpath() + "/patients");
    QDir().mkpath(folder.images.path());
    QByteArray named;
    {
        QLockFile mine(program.qpath() + "/probe.lock");
        ASSERT_TRUE(mine.tryLock(0));
        QFile text(program.qpath() + "/probe.lock");
        ASSERT_TRUE(text.open(QIODevice::ReadOnly));
        named = text.readAll();
    }
    for (const auto& [name, bytes] : {std::pair<QString, QByteArray>{".session-dead.lock", named}, {"left.bmp", "a picture"}}) {
        QFile file(folder.images.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush());
        ASSERT_TRUE(file.setFileTime(QDateTime::currentDateTime().addSecs(-60), QFileDevice::FileModificationTime));
    }
    ImageFolder images;
    EXPECT_TRUE(images.isOnlyInstance());
    QImage picture(4, 4, QImage::Format_RGB32);
    picture.fill(Qt::white);
    const std::string shot = images.saveScreenshot(picture);
    QFile taken(QString::fromStdString(shot));
    ASSERT_TRUE(taken.open(QIODevice::ReadWrite) &&
                taken.setFileTime(QDateTime::currentDateTime().addSecs(-3600), QFileDevice::FileModificationTime));
    EXPECT_EQ(images.recoverEarlierSession({}).size(), 1u);
    EXPECT_TRUE(QFileInfo::exists(folder.images.filePath("recovered/left.bmp")));
    EXPECT_EQ(images.ownFiles(), std::vector<std::string>{shot});
}
