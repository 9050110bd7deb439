// The navigation threads together: the replay camera's thread writing the trackers, a fast timer
// ticking the controller and the Model (both on one tick count), and the GUI thread reading the
// displays' values, marking and notifying. Run under ThreadSanitizer by scripts/test.
#include "NavigationFixture.h"

#include "navigation/Tracker.h"
#include "planning/model/ImplantManager.h"
#include "planning/ModelTestSupport.h"

#include <QDir>
#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

using namespace NavigationScene;

class NavigationThreads : public NavigationFixture
{
};

TEST_F(NavigationThreads, CameraTimerAndGuiShareTheStateSafely)
{
    auto camera = replayProcedure(400, 10, false);

    start(Constants::Mandible, false);
    // An implant under point A, so that samples and marks are logged.
    model->getImplantManager()->addImplant(PlanningTest::makeImplantAt(Registration::frameA().getTranslation()
                                                                       + Vector3D(0, 0, -8), 0, 10.0));
    auto trackers = controller->getUsedTracker();
    camera->setTracker(trackers);
    camera->startReporting();
    TickedReplay replay(camera, [&](std::uint32_t) {
        controller->setTrackerData(Vexa::collectTrackerData(*camera, trackers));
    });
    controller->setClock([&replay] { return replay.ticks() * 50; });
    model->setNavigationClock([&replay] { return replay.ticks() * 50; });
    controller->enableNavigation(camera);
    replay.start();

    // 2000 ticks: the whole trajectory (800) and, after it, more than the 28 s (560 ticks) after
    // which an unseen handpiece loses its drill registration.
    double sum = 0.0;
    const bool ran = replay.runUntil(2000, [&] {
        const auto snapshot = controller->getSnapshot();
        sum += snapshot->patientTDrill[12] + snapshot->calibrationSamples + snapshot->handpiece.getTransform()[13];
        sum += model->getPatientTDrill()[14] + model->getHandpieceColor().x + model->getDrillLength();
        sum += controller->getCalibration()->getNumberOfSamples() + controller->getRegistration()->getAccuracy().first;
        sum += controller->getHandpieceTrackerData().getTransform()[12] + trackers[1]->getTrackerData().getError();
        model->logUserDefinedState();
        model->notify();
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
    });
    replay.stop();
    camera->stopReporting();
    ASSERT_TRUE(ran) << "the timer made only " << replay.ticks() << " of 2000 ticks in three minutes";
    EXPECT_TRUE(std::isfinite(sum));
    EXPECT_TRUE(controller->wasCalibrationDoneBefore());
    EXPECT_FALSE(model->isDrillRegistered()) << "the handpiece is gone since the replay ended";
    controller->disableNavigation();
    model->waitForTreatmentLog();
    const QStringList logs = QDir(QString::fromStdString(path("Planning/Log"))).entryList({"*.log"});
    ASSERT_EQ(1, logs.size());
    const std::string text = TestSupport::readFile(path("Planning/Log/" + logs[0].toStdString()));
    for (const char* entry : {"ACTION: REGISTERED 27.6", "TYPE: AUTO", "TYPE: USER"})
        EXPECT_NE(std::string::npos, text.find(entry)) << entry;
}
