// Runs a camera, the navigation controller, the Model and the treatment log without a window:
//   navigation_headless --camera replay:FILE|port:DEVICE [--fast] [--jaw 1|2] [--data-dir DIR]
//                       [--planning-file FILE] [--ticks N] [--print] [--display WxH]
// replay:FILE plays a trajectory file; port:DEVICE searches that port and nothing else ("COMn"
// or a device path; "port:" alone takes the ini key "SerialPort"): a Polaris or Accedo, a
// FlashPoint or a Velor, whichever answers; neither a replay named by MORVANTA_REPLAY nor a
// MicronTracker server stands in for it.
// --fast ticks on a simulated 50 ms clock as fast as it can; otherwise a 50 ms timer ticks in
// real time. --print writes "camera NAME", then per tick "tick cameraState controllerState
// v0 x0 y0 z0 v1 x1 y1 z1" (visibility and translation of the handpiece and the patient
// locator, mm). The treatment log is stored when the run ends. --display WxH shows the
// navigation displays while it runs, refreshed after every tick: the page stack filling WxH in
// a frameless window at the screen's top-left, the navigation strip and the status bar below it.
#include "navigation/CameraSearchJob.h"
#include "navigation/NavigationCamera.h"
#include "navigation/NavigationController.h"
#include "navigation/ReplayCamera.h"
#include "navigation/Tracker.h"
#include "planning/model/Model.h"
#include "planning/model/Settings.h"
#include "platform/ApplicationFolder.h"
#include "vexa/core/TimerBase.h"

#include "views/navigation/NavigationAdjustView.h"
#include "views/navigation/NavigationButtonView.h"
#include "views/navigation/StatusBarView.h"

#include <QApplication>
#include <QVBoxLayout>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <stdexcept>
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
    QSize display; // invalid: no window
};

[[noreturn]] void usage(const char* why)
{
    std::fprintf(stderr,
                 "navigation_headless: %s\nusage: navigation_headless --camera replay:FILE|port:DEVICE [--fast] [--jaw 1|2] "
                 "[--data-dir DIR] [--planning-file FILE] [--ticks N] [--print] [--display WxH]\n",
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
        else if (a == "--display") {
            int w = 0, h = 0;
            char tail = 0;
            if (std::sscanf(value().c_str(), "%dx%d%c", &w, &h, &tail) != 2 || w < 1 || h < 1 || w > 16384 || h > 16384)
                usage("--display needs WxH, for example 800x600");
            o.display = QSize(w, h);
        }
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
    // Qt gets the program name only: it would take "--display" for the X display.
    static int qtArgc = 1;
    std::unique_ptr<QCoreApplication> app;
    if (options.display.isValid())
        app = std::make_unique<QApplication>(qtArgc, argv);
    else
        app = std::make_unique<QCoreApplication>(qtArgc, argv);
    try {
        auto settings = std::make_shared<Settings>(Platform::applicationPath("Morvanta.ini"));
        std::shared_ptr<Vexa::NavigationCamera> camera;
        std::shared_ptr<Vexa::ReplayCamera> replay;
        if (options.camera.rfind("replay:", 0) == 0) {
            camera = replay = std::make_shared<Vexa::ReplayCamera>(options.camera.substr(7), !options.fast);
        } else if (options.camera.rfind("port:", 0) == 0) {
            if (options.fast)
                usage("--fast needs a replayed camera");
            const std::string named = options.camera.substr(5);
            const std::string port = named.empty() ? settings->getNavigationPort() : named;
            Vexa::CameraSearchJob search(port, Vexa::CameraSearchJob::SerialPortOnly);
            search.start();
            camera = search.getCamera();
            if (!camera)
                throw std::runtime_error("no navigation camera answers on " + port);
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
        std::unique_ptr<QWidget> window;
        NavigationAdjustView* stack = nullptr;
        if (options.display.isValid()) {
            window = std::make_unique<QWidget>(nullptr, Qt::FramelessWindowHint);
            auto* column = new QVBoxLayout(window.get());
            column->setContentsMargins(0, 0, 0, 0);
            column->setSpacing(0);
            stack = new NavigationAdjustView(model, controller, window.get(), "Target");
            stack->setFixedSize(options.display);
            column->addWidget(stack);
            column->addWidget(new NavigationButtonView(model, window.get(), "NavigationButtons"));
            window->resize(options.display.width(), options.display.height() + 120);
            auto* status = new StatusBarView(window.get());
            status->setModel(model);
            status->setNavigationController(controller);
            column->addWidget(status);
            window->move(0, 0);
            window->show();
            model->enableNavigation(); // the displays refresh themselves while navigating
        }
        if (options.fast) {
            for (long i = 0; i < options.ticks; ++i) {
                simulated += 50;
                replay->advanceTo(simulated);
                runner.tick();
                if (stack)
                    model->notify();
                QCoreApplication::processEvents();
            }
        } else {
            TickTimer timer(runner);
            timer.start();
            // The Model's observers are widgets: notified here, in the GUI thread, once per tick.
            long shown = 0;
            while (runner.count() < options.ticks) {
                const long ticked = runner.count();
                if (stack && ticked != shown) {
                    shown = ticked;
                    model->notify();
                }
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
