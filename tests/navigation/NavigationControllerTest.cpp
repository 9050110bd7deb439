// The controller, Calibration, Registration and the Model on known poses (kinematics oracle).
#include "NavigationFixture.h"

#include "navigation/Tracker.h"

#include <fstream>
#include <iomanip>
#include <sys/stat.h>
#include <locale>

using namespace NavigationScene;

namespace {

double angleBetween(const Vector3D& a, const Vector3D& b)
{
    return std::acos(std::clamp(a.getNormalized().dot(b.getNormalized()), -1.0, 1.0)) * 180.0 / M_PI;
}

// The 16 numbers of a calibration file, row by row.
Matrix44<double> readMatrixFile(const std::string& file)
{
    std::ifstream in(file);
    in.imbue(std::locale::classic());
    Matrix44<double> m;
    in >> m;
    EXPECT_TRUE(in || in.eof()) << file;
    return m;
}

}

class NavigationController_ : public NavigationFixture
{
};

TEST_F(NavigationController_, CalibratesRegistersAndTimesOutOnKnownPoses)
{
    start();
    // Camera adjustment: quality 2 must hold for more than 2000 ms (the first tick starts it).
    EXPECT_EQ(NavigationController::CameraAdjustment, controller->getCurrentState());
    tick(handpieceAway());
    EXPECT_EQ(Vexa::Workspace::Good, controller->getCameraWorkspaceQuality());
    for (int i = 0; i < 40; ++i)
        tick(handpieceAway());
    EXPECT_EQ(NavigationController::CameraAdjustment, controller->getCurrentState()) << "2000 ms are not enough";
    tick(handpieceAway());
    EXPECT_EQ(NavigationController::Operation, controller->getCurrentState());

    // Without a calibration of its own the drill at point A starts no registration.
    for (int i = 0; i < 40; ++i)
        tick(handpieceAtPointA(25.0));
    EXPECT_EQ(NavigationController::Operation, controller->getCurrentState());
    EXPECT_FALSE(model->isDrillRegistered());

    // The drill at the mandible frame: 100 + 20 + 20 samples, then accepted without asking.
    EXPECT_EQ(1, tickUntil(NavigationController::HandpieceCalibration, handpieceAtFrame(Calibration::mandibleFrame()), 1));
    EXPECT_GT(tickUntil(NavigationController::Operation, handpieceAtFrame(Calibration::mandibleFrame()), 200), 140);
    EXPECT_EQ(0, ui->acceptanceRequests);
    const Matrix44<double> truth = trueCalibration();
    const Matrix44<double> found = controller->getHandpieceLocTDrillOrigin(Constants::Mandible);
    EXPECT_LT((found.getTranslation() - truth.getTranslation()).length(), 0.05);
    for (int axis = 0; axis < 3; ++axis)
        EXPECT_LT(angleBetween(found.getColumn(axis), truth.getColumn(axis)), 0.05) << "axis " << axis;
    const Matrix44<double> stored = readMatrixFile(NavigationController::calibrationFile(Constants::Mandible));
    EXPECT_TRUE(Vexa::isEqual(found, stored, 1e-3));
    EXPECT_LT(std::abs(stored.getColumn(0).cross(stored.getColumn(1)).dot(stored.getColumn(2)) - 1.0), 1e-4);
    EXPECT_TRUE(controller->wasCalibrationDoneBefore());

    // The drill at point A: 28 steady ticks measure it.
    tick(handpieceAway());
    EXPECT_EQ(1, tickUntil(NavigationController::DrillRegistration, handpieceAtPointA(25.0), 1));
    EXPECT_EQ(30, tickUntil(NavigationController::Operation, handpieceAtPointA(25.0), 40));
    EXPECT_TRUE(model->isDrillRegistered());
    EXPECT_NEAR(25.0, model->getDrillLength(), 0.1);

    // Hidden handpiece: the drill stays registered for 28000 ms, then it is discarded.
    for (int i = 0; i < 560; ++i)
        tick(handpieceAway(), false);
    EXPECT_TRUE(model->isDrillRegistered());
    tick(handpieceAway(), false);
    EXPECT_FALSE(model->isDrillRegistered());
}

// A camera delivering both tools on every `period`-th tick, exactly still or trembling: the
// adjustment holds its 2000 ms, the still drill on point A registers, and only new deliveries
// count: one registration sample each, a hidden handpiece valid for two more ticks and no longer.
TEST_F(NavigationController_, AStillSceneNavigatesAsATremblingOneOnNewDeliveriesOnly)
{
    std::ofstream(NavigationController::calibrationFile(Constants::Mandible)) << std::setprecision(17) << trueCalibration();
    // Ticks until operation, registration and operation again.
    for (const auto& [trembling, period, adjusted, registered] :
         {std::tuple{false, 1, 42, 30}, {true, 1, 42, 30}, {false, 2, 43, 59}}) {
        SCOPED_TRACE(testing::Message() << "trembling " << trembling << ", a delivery every " << period << " ticks");
        start();
        const auto trackers = controller->getUsedTracker();
        const auto sample = [&](const Matrix44<double>& pose, bool visible) { // the fixture's noise: 0.01 mm
            return trembling ? noise.sample(pose, visible) : Vexa::TrackerData(pose, 0.1, visible);
        };
        int ticks = 0; // since the phase began with a delivery
        const auto tickOnce = [&](const Matrix44<double>& handpiece, bool visible) {
            if (ticks++ % period == 0) {
                trackers[0]->setTrackerData(sample(handpiece, visible));
                trackers[1]->setTrackerData(sample(locatorPose(), true));
            }
            clock += 50;
            controller->setTrackerData({trackers[0]->getTrackerData(), trackers[1]->getTrackerData()});
        };
        const auto until = [&](int state, const Matrix44<double>& handpiece) {
            for (ticks = 0; ticks < 100;) {
                tickOnce(handpiece, true);
                if (controller->getCurrentState() == state)
                    return ticks;
            }
            return -1;
        };
        EXPECT_EQ(adjusted, until(NavigationController::Operation, handpieceAway()));
        EXPECT_EQ(1, until(NavigationController::DrillRegistration, handpieceAtPointA(25.0)));
        EXPECT_EQ(registered, until(NavigationController::Operation, handpieceAtPointA(25.0)));
        EXPECT_TRUE(model->isDrillRegistered());
        EXPECT_NEAR(25.0, model->getDrillLength(), 0.1);
        ticks = 0;
        for (const bool valid : {true, true, false}) {
            tickOnce(handpieceAway(), false);
            EXPECT_EQ(valid, model->isHandpieceTrackerValid());
        }
    }
}

TEST_F(NavigationController_, EnforcedRunCountsOnlyTicksSeeingBothToolsOfOneJaw)
{
    start();
    ASSERT_GT(tickUntil(NavigationController::Operation, handpieceAway(), 60), 0);
    ui->jaw = 1;
    controller->enforceCalibration();
    for (int i = 0; i < 300; ++i)
        tick(handpieceAtFrame(Calibration::mandibleFrame()), false);
    EXPECT_EQ(NavigationController::HandpieceCalibration, controller->getCurrentState());
    EXPECT_EQ(0u, controller->getCalibration()->getNumberOfSamples());
    EXPECT_FALSE(controller->wasCalibrationDoneBefore());
    // Seen: samples count; the drill moved to the other jaw's frame: the run starts again.
    for (int i = 0; i < 50; ++i)
        tick(handpieceAtFrame(Calibration::mandibleFrame()));
    EXPECT_EQ(50u, controller->getCalibration()->getNumberOfSamples());
    tick(handpieceAtFrame(Calibration::maxillaFrame()));
    EXPECT_EQ(0u, controller->getCalibration()->getNumberOfSamples());
    EXPECT_TRUE(controller->getCalibration()->isMaxilla());
}

TEST_F(NavigationController_, CalibrationIsFiledByItsOwnJaw)
{
    // A planning of the upper jaw; the user forces a calibration of the lower jaw.
    start(Constants::Maxilla);
    ASSERT_GT(tickUntil(NavigationController::Operation, handpieceAway(), 60), 0);
    ui->jaw = 1;
    controller->enforceCalibration();
    ASSERT_GT(tickUntil(NavigationController::Operation, handpieceAtFrame(Calibration::mandibleFrame()), 200), 0);
    std::ifstream accuracy(path("CalibrationUK.txt"));
    std::string line;
    std::getline(accuracy, line);
    EXPECT_NE(std::string::npos, line.find("ACTION: CALIBRATION UK BC: u=")) << line;
    EXPECT_FALSE(std::ifstream(path("CalibrationOK.txt")).good());
    EXPECT_TRUE(std::ifstream(NavigationController::calibrationFile(Constants::Mandible)).good());
}

TEST_F(NavigationController_, InaccurateRunAsksOnceAndWaitsForTheAnswer)
{
    start();
    noise = Noise(0.4);
    ASSERT_GT(tickUntil(NavigationController::Operation, handpieceAway(), 60), 0);
    ASSERT_GT(tickUntil(NavigationController::HandpieceCalibration, handpieceAtFrame(Calibration::mandibleFrame()), 5), 0);
    for (int i = 0; i < 300; ++i)
        tick(handpieceAtFrame(Calibration::mandibleFrame()));
    EXPECT_EQ(1, ui->acceptanceRequests);
    EXPECT_FALSE(controller->areStateUpdatesEnabled());
    EXPECT_EQ(NavigationController::HandpieceCalibration, controller->getCurrentState());
    // Cancel: nothing stored, back to operation.
    ui->lastAcceptor->acceptLastCalibration(false);
    ui->lastAcceptor->setStateUpdatesEnabled(true);
    tick(handpieceAway());
    EXPECT_EQ(NavigationController::Operation, controller->getCurrentState());
    EXPECT_FALSE(std::ifstream(NavigationController::calibrationFile(Constants::Mandible)).good());

    // The next run accepted, but its file cannot be written (a folder has its name): told.
    ASSERT_EQ(0, ::mkdir(NavigationController::calibrationFile(Constants::Mandible).c_str(), 0755));
    for (int i = 0; i < 400 && ui->acceptanceRequests < 2; ++i)
        tick(handpieceAtFrame(Calibration::mandibleFrame()));
    ASSERT_EQ(2, ui->acceptanceRequests);
    ui->lastAcceptor->acceptLastCalibration(true);
    QCoreApplication::processEvents();
    ASSERT_EQ(1u, ui->errors.size());
    EXPECT_NE(std::string::npos, ui->errors[0].find("HandpieceLocTDrillOriginMandible.txt"));
}

TEST_F(NavigationController_, BadCalibrationFilesCountAsNotCalibrated)
{
    const std::vector<std::string> contents = {
        "",                                                  // empty
        "0.362708 -0.931903 0 -138.838",                     // short
        "1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1",                   // identity
        "2 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1",                   // not rigid
        "1 0 0 x 0 1 0 0 0 0 1 0 0 0 0 1",                   // not a number
        "0.35945 -0.933164 0 -139.296 0.0299582 0.0115397 0.999485 -0.139369 -0.932683 -0.359265 0.0321038 "
        "13.1873 0 0 0 1",                                   // the nominal geometry itself
    };
    for (const auto& content : contents) {
        std::ofstream(path("HandpieceLocTDrillOriginMandible.txt")) << content;
        start();
        EXPECT_FALSE(controller->wasCalibrationDoneBefore()) << content;
        EXPECT_TRUE(Vexa::isEqual(NavigationController::referenceCalibration(Constants::Mandible),
                                  controller->getHandpieceLocTDrillOrigin(Constants::Mandible), 1e-9));
    }
    EXPECT_THROW(controller->setTrackerData({Vexa::TrackerData()}), std::runtime_error);
    controller->disableNavigation();
    EXPECT_EQ(Vexa::Workspace::Bad, controller->getCameraWorkspaceQuality()) << "no camera";
}
