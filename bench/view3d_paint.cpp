// Speed of the 3D view over the sample patient's surface at iso 1200 (243,100 triangles,
// reduced to the default 200,000) in an 800 x 600 window; needs an X display.
//
//   bench_view3d_paint [benchmark options]
//       FullPaint: one whole picture a paint (planning), read back.
//       ProgressivePaint: navigation while the controller adjusts the camera; the counters
//       are the part count the adaptation settled on and the mean time of one part (ms).
//   bench_view3d_paint --write-surface FILE
//       Writes the reduced surface as SFFBin for bench/compare-views (VTK draws the same mesh).
#include "dicom/import/DVT9000Importer.h"
#include "dicom/import/DicomIOManager.h"
#include "dicom/import/UniversalImporter.h"
#include "planning/io/DicomImport.h"
#include "planning/model/INavigationController.h"
#include "planning/model/Model.h"
#include "planning/model/Settings.h"
#include "vexa/algorithm/MarchingCubes.h"
#include "vexa/algorithm/MeshReduction.h"
#include "vexa/core/Clock.h"
#include "vexa/mesh/MeshFiles.h"
#include "views/OpenGL3DView.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QDir>
#include <QWindow>

#include <cstring>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <vector>

namespace {

// A controller that stays in camera adjustment.
class AdjustingController : public INavigationController
{
public:
    AdjustingController()
    {
        setNextState(1);
        process(StateMachine::Update);
    }
    void navigationStateEvent(StateMachine::Event) override {}
    int getCalibrationState() const override { return 0; }
    int getCalibrationConditionLevel() const override { return 0; }
    Vexa::Matrix44<double> getHandpieceLocTDrillOrigin(Constants::Jaw) const override { return {}; }

protected:
    bool updateStates(StateMachine::Event, int) override { return true; }
};

std::shared_ptr<Vexa::IndexedTriangleMesh> sampleSurface()
{
    static std::shared_ptr<Vexa::IndexedTriangleMesh> mesh;
    if (mesh)
        return mesh;
    auto settings = std::make_shared<Settings>("/nonexistent/Morvanta.ini");
    auto model = std::make_shared<Model>(settings);
    Vexa::DicomIOManager manager;
    manager.insertImporter(new Vexa::DVT9000Importer());
    manager.insertImporter(new Vexa::UniversalImporter());
    std::vector<std::string> files;
    for (const QFileInfo& f : QDir(MORVANTA_BINARY_DIR "/app/SamplePatient").entryInfoList(QDir::Files, QDir::Name))
        files.push_back(f.absoluteFilePath().toStdString());
    DicomImport import(files, model, settings, manager);
    if (!import.start())
        throw std::runtime_error("cannot import the sample patient: " + import.getErrorMessage());
    Vexa::MarchingCubes surface(model->getVolumeData(), 1200);
    if (!surface.start())
        throw std::runtime_error("no surface");
    Vexa::MeshReduction reduction(surface.getResult());
    if (!reduction.start())
        throw std::runtime_error("no reduction");
    mesh = reduction.getResult();
    mesh->setUseFloatArrays(true);
    return mesh;
}

struct Window
{
    explicit Window(bool adjusting)
    {
        if (adjusting)
            Model::setNavigationControllerFactory([](Model&) { return std::make_shared<AdjustingController>(); });
        model = std::make_shared<Model>(std::make_shared<Settings>("/nonexistent/Morvanta.ini"));
        Model::setNavigationControllerFactory({});
        model->set3DModel(sampleSurface());
        model->setStateAndUpdate(adjusting ? Model::Navigation : Model::NormalInput);
        view = std::make_unique<OpenGL3DView>(model, nullptr, "3D");
        view->setWindowFlags(Qt::FramelessWindowHint);
        view->resize(800, 600);
        view->show();
        while (!view->windowHandle() || !view->windowHandle()->isExposed())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        view->grabFramebuffer();
    }
    std::shared_ptr<Model> model;
    std::unique_ptr<OpenGL3DView> view;
};

void FullPaint(benchmark::State& state)
{
    Window w(false);
    for (auto _ : state)
        benchmark::DoNotOptimize(w.view->grabFramebuffer());
}
BENCHMARK(FullPaint)->Unit(benchmark::kMillisecond)->Iterations(30);

void ProgressivePaint(benchmark::State& state)
{
    Window w(true);
    // The view's own clock, with each part's time kept.
    std::vector<std::uint32_t> parts;
    bool started = false;
    std::uint32_t t0 = 0;
    w.view->setClock([&] {
        const std::uint32_t now = Vexa::timeGetTime();
        if ((started = !started))
            t0 = now;
        else
            parts.push_back(now - t0);
        return now;
    });
    for (auto _ : state)
        benchmark::DoNotOptimize(w.view->grabFramebuffer());
    // The last 20 paints, after the adaptation has settled.
    const std::size_t from = parts.size() > 20 ? parts.size() - 20 : 0;
    double sum = 0.0;
    for (std::size_t i = from; i < parts.size(); ++i)
        sum += parts[i];
    state.counters["passes"] = w.view->getRenderPassCount();
    state.counters["part_ms"] = parts.size() > from ? sum / double(parts.size() - from) : 0.0;
}
BENCHMARK(ProgressivePaint)->Unit(benchmark::kMillisecond)->Iterations(60);

}

int main(int argc, char** argv)
{
    OpenGLView::setDefaultSurfaceFormat();
    QApplication app(argc, argv);
    try {
        if (argc == 3 && std::strcmp(argv[1], "--write-surface") == 0) {
            const auto mesh = sampleSurface();
            Vexa::writeSFFBinFile(*mesh, argv[2]);
            std::cout << "triangles " << mesh->getTriangleCount() << std::endl;
            return 0;
        }
        benchmark::Initialize(&argc, argv);
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
    } catch (const std::exception& e) {
        std::cerr << "bench_view3d_paint: " << e.what() << std::endl;
        return 1;
    }
    return 0;
}
