#include "platform/ComRegistry.h"

namespace Platform {

std::mutex ComRegistry::mutex_;
std::map<std::string, ComRegistry::Factory> ComRegistry::factories_;

void ComRegistry::registerServer(const std::string& classId, Factory factory)
{
    std::lock_guard lock(mutex_);
    factories_[classId] = std::move(factory);
}

void ComRegistry::unregisterServer(const std::string& classId)
{
    std::lock_guard lock(mutex_);
    factories_.erase(classId);
}

std::shared_ptr<ComObject> ComRegistry::create(const std::string& classId, const std::string& interfaceId)
{
    Factory factory;
    {
        std::lock_guard lock(mutex_);
        const auto it = factories_.find(classId);
        if (it == factories_.end())
            throw ComError(ComError::classNotRegistered, interfaceId, ComError::describe(ComError::classNotRegistered));
        factory = it->second;
    }
    return factory();
}

}
