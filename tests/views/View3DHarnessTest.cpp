// The 3D view of view_harness on the X screen against VTK drawing the same patient's surface
// through the same camera (tests/views/vtk_surface.py), and the harness' 3D options.
#include "ViewTestSupport.h"

#include <QProcess>

namespace {

const QString harness = QStringLiteral(MORVANTA_BINARY_DIR "/app/view_harness");

// The words of the first line of `out` that starts with `key`.
QStringList line(const QString& out, const QString& key)
{
    for (const QString& l : out.split('\n'))
        if (l.startsWith(key + ' '))
            return l.trimmed().split(' ').mid(1);
    return {};
}

}

TEST(View3DHarness, SurfaceCoversThePixelsVtkDrawsThroughTheSameCamera)
{
    REQUIRE_DISPLAY();
    QProcess view;
    view.start(harness, {"--view", "3D", "--surface", "1200", "--size", "800x600", "--quit-after", "60000"});
    QString out;
    while (line(out, "camera").isEmpty() && view.waitForReadyRead(60000))
        out += QString::fromUtf8(view.readAllStandardOutput());
    const QStringList at = line(out, "view"), camera = line(out, "camera"), surface = line(out, "surface");
    ASSERT_EQ(camera.size(), 9) << out.toStdString() << view.readAllStandardError().toStdString();
    EXPECT_EQ(at.mid(2), QStringList({"800", "600"}));
    EXPECT_EQ(surface.value(1), "200000"); // reduced to the default target
    QTest::qWait(500);                    // the window's picture reaches the screen

    QProcess oracle;
    oracle.start("/usr/bin/python3", QStringList{MORVANTA_SOURCE_DIR "/tests/views/vtk_surface.py", "iou",
                                                 MORVANTA_BINARY_DIR "/app/SamplePatient", "1200", "800", "600"} +
                                         camera + at.mid(0, 2));
    ASSERT_TRUE(oracle.waitForFinished(120000));
    view.kill();
    view.waitForFinished();
    const QString result = QString::fromUtf8(oracle.readAllStandardOutput());
    ASSERT_EQ(oracle.exitCode(), 0) << oracle.readAllStandardError().toStdString();
    const QStringList words = line(result, "iou");
    ASSERT_EQ(words.size(), 5) << result.toStdString();
    std::cout << result.toStdString();
    EXPECT_GE(words[0].toDouble(), 0.95);
    // The measure notices a picture 6 pixels off.
    EXPECT_LT(words[2].toDouble(), 0.95);
    EXPECT_EQ(words[4], surface.value(0)); // both surfaces of the same series at the same value
}

TEST(View3DHarness, FramesPrintTheRateAndBadOptionsAreRefused)
{
    REQUIRE_DISPLAY();
    const struct { QStringList args; int status; QString out; } runs[] = {
        {{"--view", "3D", "--surface", "1200", "--frames", "3", "--size", "320x240"}, 0, "fps "},
        {{"--view", "Axial", "--frames", "3"}, 2, ""},
        {{"--view", "3D", "--surface", "-4"}, 2, ""},
        {{"--view", "3D", "--surface", "60000"}, 2, ""}, // nothing in the volume is that bright
    };
    for (const auto& r : runs) {
        QProcess p;
        p.start(harness, r.args);
        ASSERT_TRUE(p.waitForFinished(60000));
        EXPECT_EQ(p.exitCode(), r.status) << r.args.join(' ').toStdString();
        if (!r.out.isEmpty()) {
            EXPECT_FALSE(line(QString::fromUtf8(p.readAllStandardOutput()), r.out.trimmed()).isEmpty());
        }
    }
}
