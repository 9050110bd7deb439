// The targeting page at 1280 x 1024: a refresh (drill values, items moved, recoloured and
// retexted) and a paint of the whole page into an image, against QPainter drawing the same
// shapes and texts straight into an image in the same run. Target: under 4 ms per refresh
// and paint. Also what a display's refresh waits for the navigation's locks (snapshot, the
// enabled flag, the calibration test) while a tick thread runs every 5 ms: p99 under 0.1 ms.
#include "../tests/navdisplays/DisplayTestSupport.h"
#include "../tests/navigation/NavigationFixture.h"
#include "BenchApplication.h"

#include "navigation/ReplayCamera.h"
#include "navigation/Tracker.h"
#include "planning/model/Model.h"
#include "planning/model/Settings.h"
#include "vexa/core/TimerBase.h"
#include "views/navigation/TargetingView.h"

#include <QPainter>
#include <QTemporaryDir>
#include <algorithm>
#include <atomic>
#include <benchmark/benchmark.h>
#include <chrono>
#include <sstream>

namespace {

constexpr int W = 1280, H = 1024;

void BM_TargetingRefreshAndPaint(benchmark::State& state)
{
    benchApplication();
    auto source = std::make_shared<DisplayTest::FakeSource>();
    source->implant = DisplayTest::implantAt(Vexa::Matrix44<double>());
    QWidget host;
    host.resize(W, H);
    TargetingView view(source, &host);
    view.resize(W, H);
    host.show();
    QImage image(W, H, QImage::Format_RGB32);
    int i = 0;
    for (auto _ : state) {
        source->depth = (i % 100) * 0.1 - 2.0;
        source->drill = Vexa::Matrix44<double>(Vexa::Vector3D(0.01 * (i % 50), 0.2, 0));
        ++i;
        view.refresh();
        QPainter painter(&image);
        view.render(&painter, QRectF(0, 0, W, H), QRect(0, 0, W, H));
    }
    benchmark::DoNotOptimize(image.constBits());
}
BENCHMARK(BM_TargetingRefreshAndPaint)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same picture drawn directly: discs, rings, the cylinder's parts and arcs, lines, texts.
void BM_DirectQPainter(benchmark::State& state)
{
    benchApplication();
    QImage image(W, H, QImage::Format_RGB32);
    const int m = std::min(W, H);
    const QPointF c(0.558 * W, 0.517 * H);
    QFont font("Liberation Sans", int(0.045 * W), QFont::Bold);
    int i = 0;
    for (auto _ : state) {
        QPainter p(&image);
        p.fillRect(image.rect(), Qt::black);
        p.setPen(Qt::NoPen);
        auto disc = [&](QColor color, double d, QPointF at) {
            p.setBrush(color);
            p.drawEllipse(at, d / 2, d / 2);
        };
        disc(Qt::green, 0.6 * m, c);
        disc(Qt::white, 0.36 * m, c);
        disc(QColor(78, 140, 4), 0.14 * m, c);
        disc(Qt::blue, 0.07 * m, c + QPointF(i % 7, 0));
        disc(Qt::red, 0.024 * m, c);
        p.setBrush(Qt::NoBrush);
        for (auto [d, w] : {std::pair{0.18, 0.005}, {0.36, 0.005}, {0.8, 0.2}}) {
            p.setPen(QPen(Qt::black, int(w * m)));
            p.drawEllipse(c, d * m / 2, d * m / 2);
        }
        p.drawLine(c - QPointF(0.3 * m, 0), c + QPointF(0.3 * m, 0));
        p.drawLine(c - QPointF(0, 0.3 * m), c + QPointF(0, 0.3 * m));
        p.setPen(Qt::NoPen);
        for (double y : {0.08, 0.5, 0.942})
            disc(Qt::green, 0.0832 * m, QPointF(0.055 * W, y * H));
        const QRect cylinder(int(0.867 * W), int(0.02 * H), int(0.113 * W), int(0.88 * H));
        p.fillRect(cylinder.adjusted(0, 0, 0, -cylinder.height() / 4), Qt::green);
        p.fillRect(cylinder.adjusted(0, cylinder.height() * 3 / 4, 0, 0), Qt::red);
        p.setPen(QPen(Qt::black, int(0.005 * m)));
        for (int k = 0; k < 15; ++k)
            p.drawArc(QRectF(cylinder.left(), cylinder.top() + k * cylinder.height() / 15.0, cylinder.width(), 56), 32, -2944);
        p.setPen(QPen(Qt::white, int(0.005 * m)));
        for (int k = 0; k < 4; ++k)
            p.drawLine(cylinder.center() + QPoint(-30, k * 10), cylinder.center() + QPoint(30, k * 10 - 20));
        p.setPen(QPen(Qt::blue, int(0.01 * m)));
        p.drawLine(cylinder.center(), cylinder.center() + QPoint(5, 200));
        p.setFont(font);
        p.setPen(Qt::white);
        for (const char* text : {"Registration 28", "Tool", "Patient: Doe^John", "\xC3\x98 4.10", "L 11.50"})
            p.drawText(QPointF(0.03 * W, 0.1 * H + 150 * (i % 1)), QString::fromUtf8(text));
        ++i;
    }
    benchmark::DoNotOptimize(image.constBits());
}
BENCHMARK(BM_DirectQPainter)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_GuiWaitOnTheTick(benchmark::State& state)
{
    benchApplication();
    QTemporaryDir home;
    setenv("MORVANTA_HOME", home.path().toUtf8().constData(), 1);
    NavigationController::installModelFactory();
    auto settings = std::make_shared<Settings>(home.filePath("Morvanta.ini").toStdString());
    settings->setPlanningFile(home.filePath("Planning/P.srl").toStdString());
    auto model = std::make_shared<Model>(settings);
    model->setJaw(Constants::Mandible);
    auto controller = std::dynamic_pointer_cast<NavigationController>(model->getNavigationController());
    auto camera = NavigationScene::replayProcedure(4000, 5);
    auto trackers = controller->getUsedTracker();
    camera->setTracker(trackers);
    camera->startReporting();
    controller->enableNavigation(camera);
    NavigationScene::Ticker ticker([&] { controller->setTrackerData(Vexa::collectTrackerData(*camera, trackers)); });
    ticker.start();
    std::vector<double> waits;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        bool enabled = controller->isNavigationEnabled();
        auto snapshot = controller->getSnapshot();
        bool calibrated = controller->wasCalibrationDoneBefore();
        waits.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        benchmark::DoNotOptimize(enabled);
        benchmark::DoNotOptimize(snapshot);
        benchmark::DoNotOptimize(calibrated);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    ticker.stop();
    camera->stopReporting();
    controller->disableNavigation();
    std::sort(waits.begin(), waits.end());
    state.counters["p99_ms"] = waits[std::min(waits.size() - 1, std::size_t(0.99 * (waits.size() - 1) + 0.5))];
    state.counters["max_ms"] = waits.back();
    unsetenv("MORVANTA_HOME");
}
BENCHMARK(BM_GuiWaitOnTheTick)->Iterations(10000)->Unit(benchmark::kMicrosecond)->UseRealTime();

}
