#include "planning/commands/AddPanoramicLinePointCommand.h"

#include "vexa/core/ExceptionStack.h"

#include <algorithm>

std::shared_ptr<Vexa::AbstractCommand> AddPanoramicLinePointCommand::create(std::shared_ptr<IPanoramicLineOwner> model,
                                                                            const Vexa::Vector3D& point) try
{
    return std::make_shared<AddPanoramicLinePointCommand>(std::move(model), point);
}
VEXA_RETHROW

AddPanoramicLinePointCommand::AddPanoramicLinePointCommand(std::shared_ptr<IPanoramicLineOwner> model,
                                                           const Vexa::Vector3D& point)
    : Vexa::AbstractCommand(1), model_(std::move(model)), point_(point)
{
}

void AddPanoramicLinePointCommand::execute() try
{
    std::shared_ptr<PanoramicLine> line = model_->getPanoramicLine();
    snapshot_ = PanoramicLineSnapshot::take(*line);
    PanoramicLine::CornerPtr corner = line->addPoint(point_);
    if (!corner)
        return;
    if (!created_)
    {
        created_ = corner;
        return;
    }
    // A redo puts back the very corner object of the first run: later commands on the undo
    // stack (moves, deletes) hold it.
    *created_ = *corner;
    PanoramicLine::CornerVector corners = line->getCornerPoints();
    std::replace(corners.begin(), corners.end(), corner, created_);
    line->setCornerPoints(corners);
}
VEXA_RETHROW

void AddPanoramicLinePointCommand::undo() try
{
    snapshot_.restore(*model_->getPanoramicLine());
}
VEXA_RETHROW

std::string AddPanoramicLinePointCommand::getName() const
{
    return "Add Panoramic Line Point";
}
