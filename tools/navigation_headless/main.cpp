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
// locator, mm). The treatment log is stored when the run ends, in the "Log" folder of the
// planning --planning-file names, whose own folder must exist: where the planning is then,
// which another instance may have replaced meanwhile (PatientPath in the ini file says where
// plannings are looked for); where the planning's folder cannot take it (another user's, with
// no write for the group), beside the program, in the data folder's "Log" folder. The run waits
// for the log to be stored, saying on the standard error stream what that waits for (another
// instance's save of the planning). SIGINT or SIGTERM ends the run as its last tick would, the
// treatment log stored. --display WxH shows the navigation displays
// while it runs, refreshed after every tick: the page stack filling WxH in a frameless window
// at the screen's top-left, the navigation strip and the status bar below it.
//
// Exit status: 0 the run went through; 1 it could not run (no camera answers, a bad trajectory,
// a failed tick); 2 a bad command line; 3 the camera stopped answering (a tick after its first
// data got none; the end of a replay is not a failure) or never answered; 4 a file of the
// treatment could not be written where it belongs (the treatment log, its journal, the study
// copy, a handpiece calibration or a calibration accuracy file): also a log kept beside the
// program because its planning is nowhere any more or its folder could not take it; 4 wins
// over 3. Every reason goes to the standard error stream; so does the making of an old journal
// into its log, which is no failure.
#include "navigation/CameraSearchJob.h"
#include "navigation/ICalibrationAcceptor.h"
#include "navigation/INavigationUi.h"
#include "navigation/NavigationCamera.h"
#include "navigation/NavigationController.h"
#include "navigation/ReplayCamera.h"
#include "navigation/Tracker.h"
#include "planning/io/PlanningFile.h"
#include "planning/io/PlanningReader.h"
#include "planning/model/IPlanningUi.h"
#include "planning/model/Model.h"
#include "planning/model/Settings.h"
#include "platform/ApplicationFolder.h"
#include "platform/Sound.h"
#include "vexa/core/TimerBase.h"

#include "views/navigation/NavigationAdjustView.h"
#include "views/navigation/NavigationButtonView.h"
#include "views/navigation/StatusBarView.h"

#include <QApplication>
#include <QFileInfo>
#include <QVBoxLayout>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

// Set by SIGINT and SIGTERM: the run ends after the tick under way.
volatile std::sig_atomic_t stopRequested = 0;

void requestStop(int)
{
    stopRequested = 1;
}

// The planning named, as a load of it knows it: by its origin and its contents it is found again
// once another instance replaced it or the user moved it.
void knowPlanning(Settings& settings, const std::string& file)
{
    std::string origin;
    try {
        origin = PlanningFile::read(file).origin;
    } catch (const std::exception&) {
        // Known by its folder alone.
    }
    PlanningReader::knowLoaded(settings, file, origin);
}

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
    // The log goes into a folder beside the planning file; a mistyped path must not make one.
    if (!o.planningFile.empty()) {
        const QFileInfo folder(QFileInfo(QString::fromStdString(o.planningFile)).absolutePath());
        if (!folder.isDir())
            usage(("the folder of --planning-file, " + folder.filePath().toStdString()
                   + (folder.exists() ? ", is not a folder" : ", does not exist"))
                      .c_str());
    }
    return o;
}

// What the Model and the controller would show the user, written at once to the standard error
// stream and kept as the reasons of a failed run; otherwise they answer as the controller does
// without a user interface. Both deliver in the GUI thread.
class Reporter : public IPlanningUi, public INavigationUi
{
public:
    void showMessage(const QString&, const QString& text) override
    {
        for (const QString& line : text.split('\n', Qt::SkipEmptyParts))
            showError(line.toStdString());
    }
    // Something done (a log made from a killed program's journal) is no failure of the run.
    void showNotice(const QString& caption, const QString& text, bool failure) override
    {
        if (failure)
            return showMessage(caption, text);
        for (const QString& line : text.split('\n', Qt::SkipEmptyParts))
            std::fprintf(stderr, "navigation_headless: %s\n", qPrintable(line));
    }
    void showError(const std::string& text) override
    {
        std::fprintf(stderr, "navigation_headless: %s\n", text.c_str());
        failures.push_back(text);
    }
    bool askYesNo(const QString&, const QString&) override { return false; }
    bool askBeforeDeleting(QWidget*, const QString&, const QString&) override { return false; }
    bool runJob(Vexa::IAlgorithmProgressState&, const QString&) override { return false; }
    std::optional<ImplantChoice> chooseImplant(const std::string&, bool) override { return std::nullopt; }
    std::optional<int> chooseSegmentationThreshold(std::shared_ptr<const Vexa::VolumeData<unsigned short>>, QWidget*,
                                                   int) override
    {
        return std::nullopt;
    }
    int chooseJaw() override { return 1; }
    void showCalibrationQuality(std::shared_ptr<ICalibrationAcceptor> acceptor, const Accuracy&, const Accuracy&,
                                const Accuracy&) override
    {
        acceptor->acceptLastCalibration(false);
        acceptor->setStateUpdatesEnabled(true);
    }
    void playSound(const std::string& wavFile) override { Platform::playSound(wavFile); }

    std::vector<std::string> failures;
};

class Runner
{
public:
    // `replayed`: the camera plays a trajectory, whose end is not a failure.
    Runner(std::shared_ptr<Vexa::NavigationCamera> camera, std::shared_ptr<NavigationController> controller,
           bool print, bool replayed)
        : camera_(std::move(camera)), controller_(std::move(controller)),
          trackers_(controller_->getUsedTracker()), print_(print), replayed_(replayed)
    {
        camera_->setTracker(trackers_);
    }

    void tick()
    {
        Vexa::NavigationCamera::EState state = Vexa::NavigationCamera::NoData;
        const auto samples = Vexa::collectTrackerData(*camera_, trackers_, &state);
        controller_->setTrackerData(samples);
        if (state == Vexa::NavigationCamera::Running)
            answered_ = true;
        else if (answered_ && !replayed_)
            ++silent_;
        ++count_;
        if (!print_)
            return;
        std::string line = std::to_string(count_) + " " + std::to_string(state) + " "
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

    // A tick of the timer that failed: the run ends with its reason.
    void fail(const std::string& reason)
    {
        std::lock_guard lock(failureMutex_);
        if (failure_.empty())
            failure_ = reason.empty() ? "a tick failed" : reason;
        failed_ = true;
    }
    bool failed() const { return failed_; }
    std::string failure() const
    {
        std::lock_guard lock(failureMutex_);
        return failure_;
    }

    // Empty when the camera answered on every tick from its first answer on.
    std::string cameraFailure() const
    {
        if (!answered_)
            return "the camera sent no data in " + std::to_string(count_) + " ticks";
        if (silent_ > 0)
            return "the camera stopped answering: no data on " + std::to_string(silent_) + " of "
                   + std::to_string(count_) + " ticks";
        return {};
    }

private:
    std::shared_ptr<Vexa::NavigationCamera> camera_;
    std::shared_ptr<NavigationController> controller_;
    std::vector<std::shared_ptr<Vexa::Tracker>> trackers_;
    bool print_;
    const bool replayed_;
    std::atomic<long> count_{0};
    std::atomic<long> silent_{0};
    std::atomic<bool> answered_{false};
    std::atomic<bool> failed_{false};
    mutable std::mutex failureMutex_;
    std::string failure_;
};

class TickTimer : public Vexa::TimerBase
{
public:
    explicit TickTimer(Runner& runner) : TimerBase(50, periodic), runner_(runner) {}
    ~TickTimer() override { stop(); }

protected:
    void onTimeExecution() override
    {
        // The timer would swallow the exception and tick on.
        try {
            runner_.tick();
        } catch (const std::exception& e) {
            runner_.fail(e.what());
        } catch (...) {
            runner_.fail("");
        }
    }

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
        auto reporter = std::make_shared<Reporter>();
        IPlanningUi::install(reporter);
        NavigationController::installModelFactory();
        if (!options.planningFile.empty())
            knowPlanning(*settings, options.planningFile);
        auto model = std::make_shared<Model>(settings);
        model->setJaw(options.jaw);
        auto controller = std::dynamic_pointer_cast<NavigationController>(model->getNavigationController());
        controller->setUi(reporter);
        std::uint32_t simulated = 0;
        if (options.fast) {
            controller->setClock([&simulated] { return simulated; });
            model->setNavigationClock([&simulated] { return simulated; });
        }
        if (options.print)
            std::printf("camera %s\n", camera->getName().c_str());
        Runner runner(camera, controller, options.print, replay != nullptr);
        // From the first entry of the treatment log on, an end on request stores it.
        std::signal(SIGINT, requestStop);
        std::signal(SIGTERM, requestStop);
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
            for (long i = 0; i < options.ticks && !stopRequested; ++i) {
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
            while (runner.count() < options.ticks && !runner.failed() && !stopRequested) {
                const long ticked = runner.count();
                if (stack && ticked != shown) {
                    shown = ticked;
                    model->notify();
                }
                QCoreApplication::processEvents();
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            timer.stop();
            if (runner.failed())
                throw std::runtime_error(runner.failure());
        }
        camera->stopReporting();
        controller->disableNavigation(); // hands the treatment log over to be stored
        model->waitForTreatmentLog([](const std::string& what) {
            std::fprintf(stderr, "navigation_headless: storing the treatment log waits for %s\n", what.c_str());
        });
        QCoreApplication::processEvents(); // delivers what failed to the reporter
        const std::string cameraFailure = runner.cameraFailure();
        if (!cameraFailure.empty())
            std::fprintf(stderr, "navigation_headless: %s\n", cameraFailure.c_str());
        return !reporter->failures.empty() ? 4 : !cameraFailure.empty() ? 3 : 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "navigation_headless: %s\n", e.what());
        return 1;
    }
}
