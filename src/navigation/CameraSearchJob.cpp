#include "navigation/CameraSearchJob.h"

#include "navigation/FlashPoint.h"
#include "navigation/MicronTrackerCamera.h"
#include "navigation/Polaris.h"
#include "navigation/ReplayCamera.h"
#include "navigation/Velor.h"
#include "platform/DebugOutput.h"
#include "vexa/core/ExceptionStack.h"

#include <cstdlib>
#include <exception>
#include <functional>
#include <utility>

namespace Vexa {

CameraSearchJob::CameraSearchJob(std::string serialPort, Sources sources)
    : serialPort_(std::move(serialPort)), sources_(sources)
{
}

bool CameraSearchJob::start() try
{
    done_ = 0;
    camera_.reset();
    auto report = [](const std::string& what, const std::exception& e) {
        Platform::outputDebugString("NavigationCamera::getConnectedCamera: " + what + ": " + e.what() + "\n");
    };
    const char* replay = sources_ == Everything ? std::getenv("MORVANTA_REPLAY") : nullptr;
    if (replay && *replay) {
        try {
            camera_ = std::make_shared<ReplayCamera>(replay);
        } catch (const std::exception& e) {
            report("no replay", e);
        }
    }
    ++done_;
    if (!camera_ && sources_ == Everything)
        camera_ = MicronTrackerCamera::getConnectedMicronTracker();
    ++done_;
    using Create = std::function<std::shared_ptr<NavigationCamera>(const std::string&)>;
    const std::pair<const char*, Create> drivers[] = {
        {"Polaris", [](const std::string& port) { return Polaris::create(port); }},
        {"FlashPoint", [](const std::string& port) { return FlashPoint::create(port); }},
        {"Velor", [](const std::string& port) { return Velor::create(port); }},
    };
    for (const auto& [name, create] : drivers) {
        if (!camera_) {
            try {
                camera_ = create(serialPort_);
            } catch (const std::exception& e) {
                report(std::string("no ") + name + " on " + serialPort_, e);
            }
        }
        ++done_;
    }
    return camera_ != nullptr;
}
VEXA_RETHROW

}
