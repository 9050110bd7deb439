#pragma once
// The real controller and Model on an injected clock, in a data folder of their own
// (MORVANTA_HOME), with a user interface that records what it was asked.
#include "NavigationScene.h"

#include "navigation/INavigationUi.h"
#include "navigation/ReplayCamera.h"
#include "planning/model/Model.h"
#include "planning/model/Settings.h"
#include "platform/Sound.h"
#include "vexa/core/TimerBase.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <atomic>
#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace NavigationScene {

// A tick every 5 ms in a timer thread of its own, as the navigation's timer ticks (faster).
class Ticker : public Vexa::TimerBase
{
public:
    explicit Ticker(std::function<void()> tick) : TimerBase(5, periodic), tick_(std::move(tick)) {}
    ~Ticker() override { stop(); }

protected:
    void onTimeExecution() override { tick_(); }

private:
    std::function<void()> tick_;
};

// A replay camera (made with realTime false) and a Ticker in lockstep on one tick count: the
// camera's own thread shows 5 ms of its trajectory per tick, the Ticker's period, and a tick
// runs only once the camera has delivered its moment. A starved thread then slows the whole
// procedure down instead of letting the camera run past a phase the controller needs to see.
class TickedReplay
{
public:
    TickedReplay(std::shared_ptr<Vexa::ReplayCamera> camera, std::function<void(std::uint32_t tick)> tick)
        : camera_(std::move(camera)), ticker_([this, tick = std::move(tick)] {
              const std::uint32_t now = ticks_.load();
              if (delivered_.load() != now)
                  return;
              tick(now);
              ticks_ = now + 1;
          })
    {
    }
    ~TickedReplay() { stop(); }

    void start()
    {
        running_ = true;
        cameraThread_ = std::thread([this] {
            while (running_) {
                const std::uint32_t now = ticks_.load();
                camera_->advanceTo(now * 5);
                delivered_ = now;
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        ticker_.start();
    }
    void stop()
    {
        ticker_.stop();
        running_ = false;
        if (cameraThread_.joinable())
            cameraThread_.join();
    }
    std::uint32_t ticks() const { return ticks_.load(); }
    // Calls `during` until `count` ticks have run or three minutes have passed; whether they ran.
    bool runUntil(std::uint32_t count, const std::function<void()>& during)
    {
        const auto bound = std::chrono::steady_clock::now() + std::chrono::minutes(3);
        while (ticks_.load() < count && std::chrono::steady_clock::now() < bound)
            during();
        return ticks_.load() >= count;
    }

private:
    std::shared_ptr<Vexa::ReplayCamera> camera_;
    std::atomic<std::uint32_t> ticks_{0};
    std::atomic<std::uint32_t> delivered_{~0u};
    std::atomic<bool> running_{false};
    std::thread cameraThread_;
    Ticker ticker_;
};

class RecordingUi : public INavigationUi
{
public:
    int chooseJaw() override { return jaw; }
    void showCalibrationQuality(std::shared_ptr<ICalibrationAcceptor> acceptor, const Accuracy&, const Accuracy&,
                                const Accuracy&) override
    {
        ++acceptanceRequests;
        lastAcceptor = acceptor;
    }
    void playSound(const std::string& wavFile) override { sounds.push_back(wavFile); }
    void showError(const std::string& text) override { errors.push_back(text); }

    int jaw = 1;
    int acceptanceRequests = 0;
    std::shared_ptr<ICalibrationAcceptor> lastAcceptor;
    std::vector<std::string> sounds, errors;
};

class NavigationFixture : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(home.isValid());
        setenv("MORVANTA_HOME", home.path().toUtf8().constData(), 1);
        NavigationController::installModelFactory();
        Platform::setSoundListener([](const std::string&) {});
    }
    void TearDown() override
    {
        model.reset();
        Model::setNavigationControllerFactory({});
        Platform::setSoundListener({});
        unsetenv("MORVANTA_HOME");
    }

    // A Model of the mandible whose planning lies in the data folder, navigating when asked.
    void start(Constants::Jaw jaw = Constants::Mandible, bool navigate = true)
    {
        auto settings = std::make_shared<Settings>(path("Morvanta.ini"));
        QDir().mkpath(QString::fromStdString(path("Planning")));
        settings->setPlanningFile(path("Planning/P.srl"));
        model = std::make_shared<Model>(settings);
        model->setJaw(jaw);
        controller = std::dynamic_pointer_cast<NavigationController>(model->getNavigationController());
        ASSERT_TRUE(controller);
        controller->setClock([this] { return clock; });
        model->setNavigationClock([this] { return clock; });
        controller->setUi(ui);
        if (navigate)
            controller->enableNavigation(std::make_shared<Vexa::ReplayCamera>(Vexa::Trajectory(), false));
    }

    // One tick 50 ms after the last one.
    void tick(const Matrix44<double>& handpiece, bool handpieceVisible = true, bool locatorVisible = true)
    {
        clock += 50;
        controller->setTrackerData({noise.sample(handpiece, handpieceVisible), noise.sample(locatorPose(), locatorVisible)});
        QCoreApplication::processEvents();
    }
    // Ticks until the controller is in `state`, at most `limit` ticks; the ticks taken.
    int tickUntil(int state, const Matrix44<double>& handpiece, int limit, bool handpieceVisible = true)
    {
        for (int i = 1; i <= limit; ++i) {
            tick(handpiece, handpieceVisible);
            if (controller->getCurrentState() == state)
                return i;
        }
        return -1;
    }
    std::string path(const std::string& name) const { return home.filePath(QString::fromStdString(name)).toStdString(); }

    QTemporaryDir home;
    std::uint32_t clock = 1000;
    Noise noise{0.01};
    std::shared_ptr<RecordingUi> ui = std::make_shared<RecordingUi>();
    std::shared_ptr<Model> model;
    std::shared_ptr<NavigationController> controller;
};

}
