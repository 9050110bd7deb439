// navigation_headless showing the displays while it replays a procedure, and finding the
// simulated serial cameras.
#include "DisplayTestSupport.h"
#include "common/TestSupport.h"
#include "navigation/NavigationScene.h"
#include "navigation/PtySimulator.h"

#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <cmath>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <sstream>

TEST(NavigationHeadlessDisplay, ReplaysWithTheDisplaysAndRejectsABadSize)
{
    if (!std::getenv("DISPLAY"))
        GTEST_SKIP() << "needs an X server";
    QTemporaryDir home;
    ASSERT_TRUE(QDir(home.path()).mkdir("Plan"));
    const QString trajectory = home.filePath("procedure.txt");
    std::ostringstream out;
    NavigationScene::writeProcedure(out);
    std::ofstream(trajectory.toStdString()) << out.str();
    const QString program = MORVANTA_BINARY_DIR "/tools/navigation_headless";
    const struct
    {
        const char* size;
        int exitCode;
    } runs[] = {{"640x480", 0}, {"0x480", 2}, {"640", 2}, {"640x480x2", 2}};
    for (const auto& run : runs) {
        QProcess process;
        process.start(program, {"--camera", "replay:" + trajectory, "--fast", "--data-dir", home.path(), "--planning-file",
                                home.filePath("Plan/P.srl"), "--ticks", "400", "--display", run.size});
        ASSERT_TRUE(process.waitForFinished(120000)) << run.size;
        EXPECT_EQ(run.exitCode, process.exitCode()) << run.size << process.readAllStandardError().toStdString();
    }
    EXPECT_FALSE(QDir(home.filePath("Plan/Log")).entryList({"*.log"}).isEmpty()) << "the treatment log";
}

namespace {

// A screenshot of the whole X screen (ImageMagick's import).
QImage screenshot(const QProcessEnvironment& env, const QString& file)
{
    QProcess import;
    import.setProcessEnvironment(env);
    import.start("import", {"-window", "root", file});
    import.waitForFinished(30000);
    return QImage(file).convertToFormat(QImage::Format_RGB32);
}

// The printed ticks up to `tick`; false when the program ended or printed nothing for 30 s.
bool waitForTick(QProcess& process, long tick, long& last)
{
    while (last < tick) {
        if (!process.canReadLine() && !process.waitForReadyRead(30000))
            return false;
        while (process.canReadLine()) {
            const QList<QByteArray> fields = process.readLine().split(' ');
            bool number = false;
            const long t = fields[0].toLong(&number);
            if (number)
                last = t;
        }
    }
    return true;
}

}

// Ticking in real time the displays follow the camera: the patient locator circles in front of
// the camera (hidden for one tick a second, half-way between the screenshots' ticks, so that the
// camera adjustment never settles), and two screenshots 40 ticks (half a turn) apart differ on
// the adjustment page.
TEST(NavigationHeadlessDisplay, RealTimeTicksRefreshTheDisplays)
{
    TestSupport::PrivateXServer display;
    if (!display.running() || QStandardPaths::findExecutable("import").isEmpty())
        GTEST_SKIP() << "needs Xvfb and ImageMagick";
    QTemporaryDir home;
    ASSERT_TRUE(QDir(home.path()).mkdir("Plan"));
    const QString trajectory = home.filePath("circling.txt");
    std::ostringstream out;
    out.precision(10);
    for (int step = 0; step < 400; ++step) {
        const double a = step * 2.0 * M_PI / 80.0;
        const Vexa::Matrix44<double> locator = Vexa::Matrix44<double>(Vexa::Vector3D(60 * std::cos(a), 60 * std::sin(a), 0))
                                               * NavigationScene::locatorPose();
        const Vexa::Matrix44<double> handpiece = Vexa::Matrix44<double>(Vexa::Vector3D(0.05 * (step % 2), 0, 0))
                                                 * NavigationScene::handpieceAway();
        NavigationScene::writeLine(out, step * 50, 0, handpiece, true);
        NavigationScene::writeLine(out, step * 50, 1, locator, step % 20 != 10);
    }
    std::ofstream(trajectory.toStdString()) << out.str();
    QProcess process;
    process.setProcessEnvironment(display.environment());
    process.start(MORVANTA_BINARY_DIR "/tools/navigation_headless",
                  {"--camera", "replay:" + trajectory, "--data-dir", home.path(), "--planning-file",
                   home.filePath("Plan/P.srl"), "--ticks", "400", "--print", "--display", "800x600"});
    long tick = 0;
    // The red marker on the figure stands where the locator is.
    auto marker = [](const QImage& image) {
        QPointF sum;
        int n = 0;
        for (int y = 150; y < 500; ++y)
            for (int x = 250; x < 650; ++x)
                if (DisplayTest::near(image.pixelColor(x, y), Qt::red, 30))
                    sum += QPointF(x, y), ++n;
        return n > 50 ? sum / n : QPointF(-1000, -1000);
    };
    // The locator is hidden one step in twenty, and a loaded machine may hold that tick's page a
    // while: a picture that shows no marker is taken again a little later, as the ticks go on.
    auto withMarker = [&](const QString& name, QPointF& at) {
        QImage image;
        for (int attempt = 0; attempt < 20; ++attempt) {
            image = screenshot(display.environment(), home.filePath(name));
            at = image.isNull() ? QPointF(-1000, -1000) : marker(image);
            if (at.x() > 0 || !waitForTick(process, tick + 2, tick))
                break;
        }
        return image;
    };
    QPointF from, to;
    ASSERT_TRUE(waitForTick(process, 20, tick)) << "waited for tick 20";
    const QImage first = withMarker("first.png", from);
    ASSERT_TRUE(waitForTick(process, tick + 40, tick)) << "waited for 40 more ticks";
    const QImage second = withMarker("second.png", to);
    process.kill();
    process.waitForFinished();
    ASSERT_FALSE(first.isNull() || second.isNull());
    DisplayTest::save(first, "headless-realtime-first");
    DisplayTest::save(second, "headless-realtime-second");
    int changed = 0;
    for (int y = 0; y < 600; ++y)
        for (int x = 0; x < 800; ++x)
            changed += first.pixel(x, y) != second.pixel(x, y);
    EXPECT_GT(changed, 100) << "the page did not follow the locator";
    // Half a turn apart, the marker moved.
    EXPECT_TRUE(from.x() > 0 && to.x() > 0) << "the marker shows in both";
    EXPECT_GT(std::hypot(to.x() - from.x(), to.y() - from.y()), 20.0) << "the marker moved with the locator";
}

// port:DEVICE searches that port and nothing else, not even the replay MORVANTA_REPLAY names;
// "port:" alone takes the ini key "SerialPort".
TEST(NavigationHeadless, ThePortSearchFindsTheSerialCamerasAndNothingElse)
{
    const QString sim = MORVANTA_SOURCE_DIR "/tests/navigation/sim/";
    QTemporaryDir home;
    const QString replay = home.filePath("replay.txt");
    std::ofstream(replay.toStdString()) << "0 0 1 1 0 0 0 1 2 3 0.1\n0 1 1 1 0 0 0 1 2 3 0.1\n";
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("MORVANTA_REPLAY", replay);
    const struct
    {
        const char* script; // nothing on the port without one
        const char* camera;
        bool fromIni;
    } runs[] = {{"velor_sim.py", "Velor", false},
                {"velor_sim.py", "Velor", true},
                {"flashpoint_sim.py", "FlashPoint", false},
                {"flashpoint_sim.py", "FlashPoint", true},
                {nullptr, nullptr, false}};
    for (const auto& run : runs) {
        std::unique_ptr<PtySimulator> device;
        if (run.script)
            device = std::make_unique<PtySimulator>(sim + run.script, QStringList());
        const QString path = device ? QString::fromStdString(device->device) : home.filePath("no-device");
        QTemporaryDir data;
        QDir(data.path()).mkdir("Plan");
        QString port = "port:" + path;
        if (run.fromIni) {
            std::ofstream(data.filePath("Morvanta.ini").toStdString()) << "[Morvanta]\nSerialPort=" << path.toStdString() << "\n";
            port = "port:";
        }
        QProcess process;
        process.setProcessEnvironment(environment);
        process.start(MORVANTA_BINARY_DIR "/tools/navigation_headless",
                      {"--camera", port, "--data-dir", data.path(), "--planning-file", data.filePath("Plan/P.srl"),
                       "--ticks", "3", "--print"});
        ASSERT_TRUE(process.waitForFinished(60000)) << port.toStdString();
        const QString output = process.readAllStandardOutput(), errors = process.readAllStandardError();
        if (run.camera) {
            EXPECT_EQ(0, process.exitCode()) << errors.toStdString();
            EXPECT_EQ(std::string("camera ") + run.camera, output.split('\n').first().toStdString()) << port.toStdString();
        } else {
            EXPECT_EQ(1, process.exitCode()) << output.toStdString();
            EXPECT_TRUE(errors.contains("no navigation camera answers on " + path)) << errors.toStdString();
        }
    }
}
