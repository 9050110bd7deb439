#include "planning/commands/MoveMarkerCommand.h"

#include "planning/model/Model.h"
#include "vexa/core/ExceptionStack.h"

std::shared_ptr<Vexa::AbstractCommand> MoveMarkerCommand::create(std::shared_ptr<Model> model,
                                                                 std::shared_ptr<Marker> marker,
                                                                 const Vexa::Vector3D& from, const Vexa::Vector3D& to) try
{
    return std::make_shared<MoveMarkerCommand>(std::move(model), std::move(marker), from, to);
}
VEXA_RETHROW

MoveMarkerCommand::MoveMarkerCommand(std::shared_ptr<Model> model, std::shared_ptr<Marker> marker,
                                     const Vexa::Vector3D& from, const Vexa::Vector3D& to)
    : Vexa::AbstractCommand(undoable), model_(std::move(model)), marker_(std::move(marker)), from_(from), to_(to)
{
}

void MoveMarkerCommand::execute() try
{
    model_->setMarkerPosition(marker_, to_);
}
VEXA_RETHROW

void MoveMarkerCommand::undo() try
{
    model_->setMarkerPosition(marker_, from_);
}
VEXA_RETHROW

std::string MoveMarkerCommand::getName() const
{
    return "Move Marker";
}
