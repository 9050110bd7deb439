#include "planning/commands/AddMarkerCommand.h"

#include "planning/model/Marker.h"
#include "planning/model/Model.h"
#include "vexa/core/ExceptionStack.h"

std::shared_ptr<Vexa::AbstractCommand> AddMarkerCommand::create(std::shared_ptr<Model> model,
                                                                const Vexa::Vector3D& point) try
{
    return std::make_shared<AddMarkerCommand>(std::move(model), point);
}
VEXA_RETHROW

AddMarkerCommand::AddMarkerCommand(std::shared_ptr<Model> model, const Vexa::Vector3D& point)
    : Vexa::AbstractCommand(undoable), model_(std::move(model)), marker_(Marker::create(point))
{
}

void AddMarkerCommand::execute() try
{
    model_->addMarker(marker_);
}
VEXA_RETHROW

void AddMarkerCommand::undo() try
{
    model_->removeMarker(marker_);
}
VEXA_RETHROW

std::string AddMarkerCommand::getName() const
{
    return "Add Marker";
}
