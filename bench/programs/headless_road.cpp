// The planning road without a window, as a user takes it on the sample patient: import the
// series into a Model, find the markers, make the bone surface, reduce it for drawing, save the
// planning and load it again. Prints the time of every step and the total, one line per run:
//   headless_road <patient folder> <scratch folder> [runs]
// The scratch folder receives the plannings (and is emptied before each run).
#include "dicom/import/DicomIOManager.h"
#include "dicom/import/UniversalImporter.h"
#include "planning/io/DicomImport.h"
#include "planning/io/PlanningReader.h"
#include "planning/io/PlanningWriter.h"
#include "planning/model/Marker.h"
#include "planning/model/Model.h"
#include "planning/model/Settings.h"
#include "vexa/algorithm/MarchingCubes.h"
#include "vexa/algorithm/MarkerDetection.h"
#include "vexa/algorithm/MeshReduction.h"

#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct Session
{
    std::shared_ptr<Settings> settings;
    std::shared_ptr<Model> model;
    Vexa::DicomIOManager manager;

    explicit Session(const std::string& folder)
        : settings(std::make_shared<Settings>(folder + "/Morvanta.ini")), model(std::make_shared<Model>(settings))
    {
        manager.insertImporter(new Vexa::UniversalImporter);
    }
};

void check(bool done, const std::string& step, const std::string& error)
{
    if (!done)
        throw std::runtime_error(step + " failed: " + error);
}

}

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <patient folder> <scratch folder> [runs]\n", argv[0]);
        return 2;
    }
    QCoreApplication app(argc, argv);
    const std::string scratch = argv[2];
    const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 1;
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(argv[1]))
        if (entry.is_regular_file() && entry.path().extension() == ".dcm")
            files.push_back(entry.path().string());
    try {
        for (int run = 0; run < runs; ++run) {
            std::filesystem::remove_all(scratch);
            std::filesystem::create_directories(scratch);
            using Clock = std::chrono::steady_clock;
            const auto start = Clock::now();
            auto last = start;
            std::string line = "run=" + std::to_string(run);
            auto lap = [&](const char* step) {
                const auto now = Clock::now();
                char text[64];
                std::snprintf(text, sizeof text, " %s=%.4f", step, std::chrono::duration<double>(now - last).count());
                line += text;
                last = now;
            };

            Session s(scratch);
            DicomImport import(files, s.model, s.settings, s.manager);
            check(import.start(), "import", import.getErrorMessage());
            lap("import");

            Vexa::MarkerDetection detection(s.model->getVolumeData());
            check(detection.start(), "marker detection", detection.getErrorMessage());
            std::vector<std::shared_ptr<Marker>> markers;
            for (const auto& position : detection.getMarkers())
                markers.push_back(Marker::create(position));
            s.model->setMarker(markers);
            s.model->setMarkerDetected(true);
            s.model->determineJaw();
            s.model->calcNerveEnvironments();
            lap("markers");

            Vexa::MarchingCubes surface(s.model->getVolumeData(), 1200);
            check(surface.start(), "surface generation", surface.getErrorMessage());
            lap("surface");
            Vexa::MeshReduction reduction(surface.getResult(), 20000);
            check(reduction.start(), "reduction", reduction.getErrorMessage());
            s.model->set3DModel(reduction.getResult());
            lap("reduction");

            const std::string file = scratch + "/patients/road/road.srl";
            PlanningWriter writer(file, s.model, s.settings, false);
            check(writer.start(), "saving", writer.getErrorMessage());
            lap("save");

            Session fresh(scratch);
            PlanningReader reader(file, fresh.model, fresh.settings, fresh.manager);
            check(reader.start(), "loading", reader.getErrorMessage());
            lap("load");

            std::printf("%s total=%.4f triangles=%zu\n", line.c_str(),
                        std::chrono::duration<double>(Clock::now() - start).count(),
                        fresh.model->get3DModel() ? fresh.model->get3DModel()->getTriangleCount() : std::size_t(0));
            std::fflush(stdout);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    std::filesystem::remove_all(scratch);
    return 0;
}
