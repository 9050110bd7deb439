#pragma once
// A simulated MicronTracker server for the tests, registered in the COM stand-in for as long as
// it lives. It loads the marker templates it is pointed at (CR LF, no last line break, decimal
// commas; the marker is known by its "Name=" line), reports scripted poses of named markers,
// and on request says "no new frame", counts 0 cameras, lacks the application interface or
// fails any named operation with a negative HRESULT.
#include "platform/ComRegistry.h"
#include "platform/MTApplication.h"
#include "platform/MTCamera.h"
#include "platform/MTCameraCollection.h"
#include "platform/MTMarker.h"
#include "platform/MTMarkerProcessing.h"
#include "platform/MTPersistence.h"
#include "platform/MTPoseTransform.h"
#include "vexa/math/Matrix44.h"

#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

class SimulatedMicronTracker
{
public:
    struct Script
    {
        std::mutex mutex;
        short cameras = 1;
        bool newFrame = true;
        bool noInterface = false;
        std::string failAt; // operation name
        std::map<std::string, Vexa::Matrix44<double>> poses; // by marker name
        std::vector<std::string> templates;                  // the bytes of every loaded file
        std::vector<std::string> paths;
        std::vector<int> items; // camera indices asked for
        int grabs = 0;

        void call(const std::string& operation, const char* iid)
        {
            std::lock_guard lock(mutex);
            if (operation == failAt)
                throw Platform::ComError(static_cast<std::int32_t>(0x80004005), iid, "Unspecified error");
        }
    };

    SimulatedMicronTracker()
    {
        Platform::ComRegistry::registerServer(Platform::MTApplication::clsid, [s = script]() -> std::shared_ptr<Platform::ComObject> {
            if (s->noInterface)
                return std::make_shared<Platform::ComObject>();
            return std::make_shared<Application>(s);
        });
        Platform::ComRegistry::registerServer(Platform::MTMarker::clsid, [s = script] { return std::make_shared<Marker>(s); });
        Platform::ComRegistry::registerServer(Platform::MTPersistence::clsid, [] { return std::make_shared<Persistence>(); });
    }
    ~SimulatedMicronTracker()
    {
        for (const char* id : {Platform::MTApplication::clsid, Platform::MTMarker::clsid, Platform::MTPersistence::clsid})
            Platform::ComRegistry::unregisterServer(id);
    }

    std::shared_ptr<Script> script = std::make_shared<Script>();

private:
    struct Camera : Platform::MTCamera
    {
    };
    struct Pose : Platform::MTPoseTransform
    {
        Vexa::Matrix44<double> m;
        double rotation(short r, short c) override { return m[r + 4 * c]; }
        double translation(short i) override { return m[12 + i]; }
    };
    struct Persistence : Platform::MTPersistence
    {
        std::string path;
        void setPath(const std::string& p) override { path = p; }
    };
    struct Marker : Platform::MTMarker
    {
        explicit Marker(std::shared_ptr<Script> s) : script(std::move(s)) {}
        std::shared_ptr<Script> script;
        std::string name;
        void setName(const std::string&) override { script->call("setName", iid); }
        std::shared_ptr<Platform::MTPoseTransform> pose(const std::shared_ptr<Platform::MTCamera>&) override
        {
            script->call("pose", iid);
            auto pose = std::make_shared<Pose>();
            std::lock_guard lock(script->mutex);
            pose->m = script->poses.at(name);
            return pose;
        }
        short wasIdentified(short) override
        {
            script->call("wasIdentified", iid);
            std::lock_guard lock(script->mutex);
            return script->poses.count(name) ? 1 : 0;
        }
        std::int32_t restoreTemplate(const std::shared_ptr<Platform::MTPersistence>& persistence, const std::string&,
                                     std::string*) override
        {
            script->call("restoreTemplate", iid);
            const std::string path = std::static_pointer_cast<Persistence>(persistence)->path;
            std::ifstream in(path, std::ios::binary);
            const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            {
                std::lock_guard lock(script->mutex);
                script->templates.push_back(bytes);
                script->paths.push_back(path);
            }
            // Twenty CR LF separated lines, no last break, the name on the third.
            int lines = 1;
            for (std::size_t at = bytes.find("\r\n"); at != std::string::npos; at = bytes.find("\r\n", at + 2))
                ++lines;
            const auto nameAt = bytes.find("\r\nName=");
            if (lines != 20 || bytes.size() < 2 || bytes.substr(bytes.size() - 2) == "\r\n" || nameAt == std::string::npos)
                return 1;
            name = bytes.substr(nameAt + 7, bytes.find("\r\n", nameAt + 2) - nameAt - 7);
            return 0;
        }
    };
    struct Processing : Platform::MTMarkerProcessing
    {
        explicit Processing(std::shared_ptr<Script> s) : script(std::move(s)) {}
        std::shared_ptr<Script> script;
        void setOption15(std::int32_t) override { script->call("setOption15", iid); }
        void setOption19(double) override { script->call("setOption19", iid); }
        void addTemplate(const std::shared_ptr<Platform::MTMarker>&) override { script->call("addTemplate", iid); }
        void clearTemplates() override { script->call("clearTemplates", iid); }
        void processFrame(short) override { script->call("processFrame", iid); }
    };
    struct Cameras : Platform::MTCameraCollection
    {
        explicit Cameras(std::shared_ptr<Script> s) : script(std::move(s)) {}
        std::shared_ptr<Script> script;
        void attachAvailableCameras(short, short, const std::string&) override { script->call("attach", iid); }
        short grabFrame(const std::shared_ptr<Platform::MTCamera>&) override
        {
            script->call("grabFrame", iid);
            std::lock_guard lock(script->mutex);
            ++script->grabs;
            return script->newFrame ? 1 : 0;
        }
        std::shared_ptr<Platform::MTCamera> item(short index) override
        {
            script->call("item", iid);
            std::lock_guard lock(script->mutex);
            script->items.push_back(index);
            return std::make_shared<Camera>();
        }
        short count() override
        {
            script->call("count", iid);
            std::lock_guard lock(script->mutex);
            return script->cameras;
        }
        void detach() override { script->call("detach", iid); }
    };
    struct Application : Platform::MTApplication
    {
        explicit Application(std::shared_ptr<Script> s) : script(std::move(s)) {}
        std::shared_ptr<Script> script;
        std::shared_ptr<Platform::MTMarkerProcessing> markerProcessing() override
        {
            script->call("markerProcessing", iid);
            return std::make_shared<Processing>(script);
        }
        std::shared_ptr<Platform::MTCameraCollection> cameras() override
        {
            script->call("cameras", iid);
            return std::make_shared<Cameras>(script);
        }
    };
};
