#include "navigation/NavigationCamera.h"

#include "navigation/CameraSearchJob.h"
#include "navigation/Tracker.h"
#include "navigation/Workspace.h"
#include "vexa/mesh/MeshFactory.h"

namespace Vexa {

std::shared_ptr<NavigationCamera> NavigationCamera::getConnectedCamera(std::string serialPort)
{
    CameraSearchJob search(std::move(serialPort));
    search.start();
    return search.getCamera();
}

NavigationCamera::NavigationCamera(std::shared_ptr<Workspace> workspace) : workspace_(std::move(workspace)) {}

std::shared_ptr<Workspace> NavigationCamera::getWorkspace() const
{
    std::lock_guard lock(workspaceMutex_);
    return workspace_;
}

void NavigationCamera::setWorkspace(std::shared_ptr<Workspace> workspace)
{
    std::lock_guard lock(workspaceMutex_);
    workspace_ = std::move(workspace);
}

std::vector<TrackerData> collectTrackerData(NavigationCamera& camera,
                                            const std::vector<std::shared_ptr<Tracker>>& trackers,
                                            NavigationCamera::EState* state)
{
    std::vector<TrackerData> samples(trackers.size());
    const NavigationCamera::EState now = camera.getState();
    if (state)
        *state = now;
    if (now == NavigationCamera::Running)
        for (std::size_t i = 0; i < trackers.size(); ++i)
            samples[i] = trackers[i]->getTrackerData();
    return samples;
}

std::shared_ptr<Workspace> getDefaultWorkspace()
{
    static const std::shared_ptr<Workspace> workspace = [] {
        auto box = [](double x, double y, double z, double sx, double sy, double sz) {
            return createBoxMesh(Matrix44<double>(Vector3D(x, y, z)), Vector3D(sx, sy, sz));
        };
        // Camera (x, y, z) -> workspace (y, x, -z).
        const Matrix44<double> cameraToWorkspace(Vector3D(0, 1, 0), Vector3D(1, 0, 0), Vector3D(0, 0, -1), Vector3D());
        return Workspace::create(box(-100, -100, 800, 200, 200, 1200), box(-200, -200, 700, 400, 400, 1400),
                                 box(-600, -600, 600, 1200, 1200, 1700), 30.0, 36.0, 80.0, Vector3D(0, 0, 1400),
                                 cameraToWorkspace);
    }();
    return workspace;
}

}
