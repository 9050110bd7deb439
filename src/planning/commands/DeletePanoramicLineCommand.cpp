#include "planning/commands/DeletePanoramicLineCommand.h"

#include "planning/objects/PanoramicLine.h"
#include "vexa/core/ExceptionStack.h"

std::shared_ptr<Vexa::AbstractCommand> DeletePanoramicLineCommand::create(std::shared_ptr<IPanoramicLineOwner> model) try
{
    return std::make_shared<DeletePanoramicLineCommand>(std::move(model));
}
VEXA_RETHROW

DeletePanoramicLineCommand::DeletePanoramicLineCommand(std::shared_ptr<IPanoramicLineOwner> model)
    : Vexa::AbstractCommand(1), model_(std::move(model))
{
}

void DeletePanoramicLineCommand::execute() try
{
    std::shared_ptr<PanoramicLine> line = model_->getPanoramicLine();
    snapshot_ = PanoramicLineSnapshot::take(*line);
    line->deleteLine();
}
VEXA_RETHROW

void DeletePanoramicLineCommand::undo() try
{
    snapshot_.restore(*model_->getPanoramicLine());
}
VEXA_RETHROW

std::string DeletePanoramicLineCommand::getName() const
{
    return "Delete Panoramic Line";
}
