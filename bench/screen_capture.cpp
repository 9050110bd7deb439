// Screenshots and screen video of the real main window over the sample patient, full screen (run
// under Xvfb with a screen of 1280 x 1024, the workstation's, or 1920 x 1080): a screenshot (the
// screen's pixels of the window and the BMP file) must take under 200 ms, one video frame (the
// screen's pixels, JPEG, AVI write) under the capture period of 100 ms. Reading the screen alone
// and rendering the widgets afresh (which leaves out the views' texts) show what the reading
// costs; ffmpeg's own Motion-JPEG encoder on the same frames, in the same run, is the yardstick of
// the JPEG step.
#include "BenchApplication.h"

#include "shell/main/AviWriter.h"
#include "shell/main/ImageFolder.h"
#include "shell/main/MainWindow.h"
#include "shell/main/VideoCapture.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QScreen>
#include <QProcess>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <memory>
#include <stdexcept>

namespace {

struct Window
{
    Window()
    {
        qputenv("MORVANTA_HOME", home.path().toUtf8());
        benchApplication();
        window = std::make_unique<MainWindow>(nullptr, Constants::NormalMode);
        std::vector<std::string> files;
        for (const QFileInfo& f : QDir(MORVANTA_BINARY_DIR "/app/SamplePatient").entryInfoList({"*.dcm"}, QDir::Files, QDir::Name))
            files.push_back(f.absoluteFilePath().toStdString());
        if (!window->importVolumeData(files))
            throw std::runtime_error("cannot import the sample patient");
        // A moment for the views to paint and reach the screen.
        QElapsedTimer settle;
        settle.start();
        while (settle.elapsed() < 2000)
            QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    QTemporaryDir home;
    std::unique_ptr<MainWindow> window;
};

Window& window()
{
    static Window w;
    return w;
}

void screenshot(benchmark::State& state)
{
    MainWindow& w = *window().window;
    ImageFolder images; // the program's folder, as the window's own
    for (auto _ : state)
        benchmark::DoNotOptimize(images.saveScreenshot(VideoCapture::shownPicture(w)));
    state.counters["width"] = w.width();
    state.counters["height"] = w.height();
    state.SetLabel("target: under 200 ms");
}

void videoFrame(benchmark::State& state)
{
    MainWindow& w = *window().window;
    AviWriter writer;
    writer.open(window().home.path() + "/bench.avi", QSize(w.width() & ~1, w.height() & ~1), 100000);
    for (auto _ : state) {
        const QImage picture = VideoCapture::shownPicture(w);
        writer.addFrame(VideoCapture::compress(picture.copy(0, 0, picture.width() & ~1, picture.height() & ~1)));
    }
    writer.close();
    state.SetLabel("target: under the 100 ms capture period");
}

// The reading alone: the screen's pixels of the window, and the widgets rendered afresh.
void screenRead(benchmark::State& state)
{
    MainWindow& w = *window().window;
    for (auto _ : state)
        benchmark::DoNotOptimize(VideoCapture::shownPicture(w));
    state.SetLabel(QGuiApplication::platformName() == "xcb" ? "the screen's pixels" : "no X display: rendered");
}

void widgetRender(benchmark::State& state)
{
    MainWindow& w = *window().window;
    for (auto _ : state)
        benchmark::DoNotOptimize(w.grab().toImage());
    state.SetLabel("without the views' texts");
}

// ffmpeg's Motion-JPEG encoder on the same grabbed frames, piped as raw pictures; the time per
// frame includes the pipe.
void ffmpegMjpegFrame(benchmark::State& state)
{
    MainWindow& w = *window().window;
    const QImage picture = VideoCapture::shownPicture(w).convertToFormat(QImage::Format_RGB32);
    for (auto _ : state) {
        QProcess ffmpeg;
        ffmpeg.start("ffmpeg", {"-v", "error", "-f", "rawvideo", "-pix_fmt", "bgra", "-s",
                                QString("%1x%2").arg(picture.width()).arg(picture.height()), "-i", "-", "-c:v",
                                "mjpeg", "-q:v", "5", "-f", "avi", "-y", "/dev/null"});
        if (!ffmpeg.waitForStarted()) {
            state.SkipWithError("no ffmpeg");
            return;
        }
        for (int i = 0; i < 10; ++i) {
            ffmpeg.write(reinterpret_cast<const char*>(picture.constBits()), picture.sizeInBytes());
            ffmpeg.waitForBytesWritten(-1);
        }
        ffmpeg.closeWriteChannel();
        ffmpeg.waitForFinished(-1);
    }
    state.SetItemsProcessed(state.iterations() * 10);
    state.SetLabel("10 frames an iteration");
}

}

BENCHMARK(screenshot)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(videoFrame)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(screenRead)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(widgetRender)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(ffmpegMjpegFrame)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
