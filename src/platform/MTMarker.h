#pragma once
// A marker of the MicronTracker server, loaded from a template file.
#include "platform/ComObject.h"

#include <cstdint>
#include <memory>
#include <string>

namespace Platform {

class MTCamera;
class MTPersistence;
class MTPoseTransform;

class MTMarker : public ComObject
{
public:
    static constexpr const char* clsid = "{B8327541-5602-4AC8-9D70-242860076C4D}";
    static constexpr const char* iid = "{E7CB3871-1C4F-4F7B-A79C-23C0A818140B}";
    virtual void setName(const std::string& name) = 0;
    // The marker's pose as the camera sees it.
    virtual std::shared_ptr<MTPoseTransform> pose(const std::shared_ptr<MTCamera>& camera) = 0;
    // Non-zero when the marker was identified in the processed frame.
    virtual short wasIdentified(short option) = 0;
    // Loads the template from the persistence's file; 0 on success.
    virtual std::int32_t restoreTemplate(const std::shared_ptr<MTPersistence>& persistence, const std::string& section,
                                         std::string* message) = 0;
};

}
