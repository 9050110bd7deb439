#pragma once
// Stand-in for CoCreateInstance: the servers' object factories by class identifier. Creating
// an unregistered class raises "Class not registered"; an object without the asked interface
// gives an empty pointer (E_NOINTERFACE, which callers treat as "no such server"). The default
// build registers nothing; tests register simulated servers.
#include "platform/ComError.h"
#include "platform/ComObject.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace Platform {

class ComRegistry
{
public:
    using Factory = std::function<std::shared_ptr<ComObject>()>;

    static void registerServer(const std::string& classId, Factory factory);
    static void unregisterServer(const std::string& classId);

    // The new object of the class as the interface; empty when it lacks the interface.
    template <class Interface>
    static std::shared_ptr<Interface> createInstance(const std::string& classId)
    {
        return std::dynamic_pointer_cast<Interface>(create(classId, Interface::iid));
    }

private:
    static std::shared_ptr<ComObject> create(const std::string& classId, const std::string& interfaceId);
    static std::mutex mutex_;
    static std::map<std::string, Factory> factories_;
};

}
