#include "common/TestSupport.h"
#include "shell/main/VideoCapture.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QWidget>
#include <gtest/gtest.h>

// A screen video lasts as long as it recorded, also when the event loop was held up at its end
// (a long redraw while the user stops the video): the frames due are filled in at the stop.
TEST(VideoCapture, KeepsTheTimeItRecordedWhenItsLastTicksWereHeldUp)
{
    TestSupport::ScratchDir dir;
    QWidget window;
    window.resize(320, 240);
    window.show();
    VideoCapture capture(&window);
    ASSERT_TRUE(capture.setFileName(dir.qpath() + "/held.avi"));
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(capture.start());
    // The GUI thread busy: no tick of the capture's timer can come meanwhile.
    while (clock.elapsed() < 1000) {
    }
    ASSERT_TRUE(capture.stop());
    const qint64 recorded = clock.elapsed();

    QProcess probe;
    probe.start("ffprobe", {"-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
                            "stream=nb_read_frames", "-of", "csv=p=0", dir.qpath() + "/held.avi"});
    ASSERT_TRUE(probe.waitForFinished(60000));
    const qint64 frames = QString(probe.readAllStandardOutput()).trimmed().toLongLong();
    EXPECT_GE(frames * VideoCapture::framePeriodMs, 1000 - VideoCapture::framePeriodMs) << frames << " frames";
    EXPECT_LE(frames * VideoCapture::framePeriodMs, recorded + VideoCapture::framePeriodMs) << frames << " frames";
}
