#pragma once
// Adds a corner to the panoramic line where the user clicked; undo takes the line back to
// how it was, so an add that made nothing also undoes nothing.
#include "planning/commands/IPanoramicLineOwner.h"
#include "planning/commands/PanoramicLineSnapshot.h"
#include "vexa/core/AbstractCommand.h"
#include "vexa/math/Vector3.h"

#include <memory>
#include <string>

class AddPanoramicLinePointCommand : public Vexa::AbstractCommand
{
public:
    static std::shared_ptr<Vexa::AbstractCommand> create(std::shared_ptr<IPanoramicLineOwner> model,
                                                         const Vexa::Vector3D& point);
    AddPanoramicLinePointCommand(std::shared_ptr<IPanoramicLineOwner> model, const Vexa::Vector3D& point);

    void execute() override;
    void undo() override;
    std::string getName() const override;

private:
    std::shared_ptr<IPanoramicLineOwner> model_;
    Vexa::Vector3D point_;
    PanoramicLineSnapshot snapshot_;
    PanoramicLine::CornerPtr created_;
};
