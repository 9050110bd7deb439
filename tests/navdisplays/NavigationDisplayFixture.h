#pragma once
// The real Model and controller (tests/navigation's fixture) with a replay camera that reports,
// the strip's pictures in the data folder, and a host window for the displays.
#include "DisplayTestSupport.h"
#include "navigation/NavigationFixture.h"

#include "navigation/ReplayCamera.h"
#include "navigation/Trajectory.h"

#include <QFile>
#include <sstream>

class NavigationDisplayFixture : public NavigationScene::NavigationFixture
{
protected:
    void SetUp() override
    {
        NavigationFixture::SetUp();
        const QString images = QString(MORVANTA_BINARY_DIR) + "/app/Data/Images/";
        QDir().mkpath(home.filePath("Data/Images"));
        for (const QString& name : QDir(images).entryList(QDir::Files))
            QFile::copy(images + name, home.filePath("Data/Images/" + name));
        start(Constants::Mandible, false);
        camera = NavigationScene::replayProcedure(400, 50, false);
        controller->enableNavigation(camera);
        camera->startReporting();
        camera->advanceTo(0);
        model->enableNavigation();
        host.resize(800, 600);
    }
    // One exact tick with the locator moved by `offset` (camera mm).
    void tickAt(const Vexa::Matrix44<double>& handpiece, const Vexa::Vector3D& offset)
    {
        clock += 50;
        controller->setTrackerData({noise.sample(handpiece), exact.sample(Vexa::Matrix44<double>(offset) * NavigationScene::locatorPose())});
        QCoreApplication::processEvents();
    }
    void settle(int ticks) // camera adjustment done: operation
    {
        for (int i = 0; i < ticks; ++i)
            tick(NavigationScene::handpieceAway());
    }

    std::shared_ptr<Vexa::ReplayCamera> camera;
    NavigationScene::Noise exact{1e-9};
    QWidget host;
};
