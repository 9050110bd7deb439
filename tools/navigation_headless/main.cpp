// Runs a camera, the navigation controller, the Model and the treatment log without a window:
//   navigation_headless --camera replay:FILE|port:DEVICE [--fast] [--jaw 1|2] [--data-dir DIR]
//                       [--planning-file FILE] [--ticks N] [--print]
// replay:FILE plays a trajectory file; port:DEVICE drives a Polaris or Accedo on that port
// ("COMn" or a device path; "port:" alone takes the ini key "NavigationPort").
// --fast ticks on a simulated 50 ms clock as fast as it can; otherwise a 50 ms timer ticks in
// real time. --print writes "camera NAME", then per tick "tick cameraState controllerState
// v0 x0 y0 z0 v1 x1 y1 z1" (visibility and translation of the handpiece and the patient
// locator, mm). The treatment log is stored when the run ends.
#include "navigation/NavigationCamera.h"
#include "navigation/NavigationController.h"
#include "navigation/Polaris.h"
#include "navigation/ReplayCamera.h"
#include "navigation/Tracker.h"
#include "planning/model/Model.h"
#include "planning/model/Settings.h"
#include "platform/ApplicationFolder.h"
#include "vexa/core/TimerBase.h"

#include <QCoreApplication>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <thread>

namespace {

struct Options
{
    std::string camera;
    bool fast = false;
    int jaw = 2;
    std::string dataDir;
    std::string planningFile;
    long ticks = 200;
    bool print = false;
};

[[noreturn]] void usage(const char* why)
{
    std::fprintf(stderr,
                 "navigation_headless: %s\nusage: navigation_headless --camera replay:FILE|port:DEVICE [--fast] [--jaw 1|2] "
                 "[--data-dir DIR] [--planning-file FILE] [--ticks N] [--print]\n",
                 why);
    std::exit(2);
}

Options parse(int argc, char** argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                usage(("missing value of " + a).c_str());
            return argv[++i];
        };
        if (a == "--camera") o.camera = value();
        else if (a == "--fast") o.fast = true;
        else if (a == "--jaw") o.jaw = std::atoi(value().c_str());
        else if (a == "--data-dir") o.dataDir = value();
        else if (a == "--planning-file") o.planningFile = value();
        else if (a == "--ticks") o.ticks = std::atol(value().c_str());
        else if (a == "--print") o.print = true;
        else usage(("unknown option " + a).c_str());
    }
    if (o.ticks <= 0)
        usage("--ticks needs a positive count");
    return o;
}

class Runner
{
public:
    Runner(std::shared_ptr<Vexa::NavigationCamera> camera, std::shared_ptr<NavigationController> controller,
           bool print)
        : camera_(std::move(camera)), controller_(std::move(controller)),
          trackers_(controller_->getUsedTracker()), print_(print)
    {
        camera_->setTracker(trackers_);
    }

    void tick()
    {
        const auto samples = Vexa::collectTrackerData(*camera_, trackers_);
        controller_->setTrackerData(samples);
        ++count_;
        if (!print_)
            return;
        std::string line = std::to_string(count_) + " " + std::to_string(camera_->getState()) + " "
                           + std::to_string(controller_->getCurrentState());
        for (int i = 0; i < 2; ++i) {
            const auto t = samples[i].getTransform().getTranslation();
            char text[128];
            std::snprintf(text, sizeof text, " %d %.3f %.3f %.3f", samples[i].isVisible() ? 1 : 0, t.x, t.y, t.z);
            line += text;
        }
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }
    long count() const { return count_; }

private:
    std::shared_ptr<Vexa::NavigationCamera> camera_;
    std::shared_ptr<NavigationController> controller_;
    std::vector<std::shared_ptr<Vexa::Tracker>> trackers_;
    bool print_;
    std::atomic<long> count_{0};
};

class TickTimer : public Vexa::TimerBase
{
public:
    explicit TickTimer(Runner& runner) : TimerBase(50, periodic), runner_(runner) {}
    ~TickTimer() override { stop(); }

protected:
    void onTimeExecution() override { runner_.tick(); }

private:
    Runner& runner_;
};

}

int main(int argc, char** argv)
{
    const Options options = parse(argc, argv);
    if (!options.dataDir.empty())
        setenv("MORVANTA_HOME", options.dataDir.c_str(), 1);
    QCoreApplication app(argc, argv);
    try {
        auto settings = std::make_shared<Settings>(Platform::applicationPath("Morvanta.ini"));
        std::shared_ptr<Vexa::NavigationCamera> camera;
        std::shared_ptr<Vexa::ReplayCamera> replay;
        if (options.camera.rfind("replay:", 0) == 0) {
            camera = replay = std::make_shared<Vexa::ReplayCamera>(options.camera.substr(7), !options.fast);
        } else if (options.camera.rfind("port:", 0) == 0) {
            if (options.fast)
                usage("--fast needs a replayed camera");
            const std::string port = options.camera.substr(5);
            camera = std::make_shared<Vexa::Polaris>(port.empty() ? settings->getNavigationPort() : port);
        } else {
            usage("--camera replay:FILE or port:DEVICE is required");
        }
        NavigationController::installModelFactory();
        if (!options.planningFile.empty())
            settings->setPlanningFile(options.planningFile);
        auto model = std::make_shared<Model>(settings);
        model->setJaw(options.jaw);
        auto controller = std::dynamic_pointer_cast<NavigationController>(model->getNavigationController());
        std::uint32_t simulated = 0;
        if (options.fast) {
            controller->setClock([&simulated] { return simulated; });
            model->setNavigationClock([&simulated] { return simulated; });
        }
        if (options.print)
            std::printf("camera %s\n", camera->getName().c_str());
        Runner runner(camera, controller, options.print);
        camera->startReporting();
        controller->enableNavigation(camera);
        if (options.fast) {
            for (long i = 0; i < options.ticks; ++i) {
                simulated += 50;
                replay->advanceTo(simulated);
                runner.tick();
                QCoreApplication::processEvents();
            }
        } else {
            TickTimer timer(runner);
            timer.start();
            while (runner.count() < options.ticks) {
                QCoreApplication::processEvents();
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            timer.stop();
        }
        camera->stopReporting();
        controller->disableNavigation();
        QCoreApplication::processEvents();
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "navigation_headless: %s\n", e.what());
        return 1;
    }
}
