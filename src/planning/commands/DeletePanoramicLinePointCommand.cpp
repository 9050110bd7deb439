#include "planning/commands/DeletePanoramicLinePointCommand.h"

#include "vexa/core/ExceptionStack.h"

std::shared_ptr<Vexa::AbstractCommand> DeletePanoramicLinePointCommand::create(
    std::shared_ptr<IPanoramicLineOwner> model, const PanoramicLine::CornerIterator corner) try
{
    PanoramicLine::CornerPtr object;
    if (corner != model->getPanoramicLine()->cornersEnd())
        object = *corner;
    return std::make_shared<DeletePanoramicLinePointCommand>(std::move(model), std::move(object));
}
VEXA_RETHROW

DeletePanoramicLinePointCommand::DeletePanoramicLinePointCommand(std::shared_ptr<IPanoramicLineOwner> model,
                                                                 PanoramicLine::CornerPtr corner)
    : Vexa::AbstractCommand(1), model_(std::move(model)), corner_(std::move(corner))
{
}

void DeletePanoramicLinePointCommand::execute() try
{
    std::shared_ptr<PanoramicLine> line = model_->getPanoramicLine();
    snapshot_ = PanoramicLineSnapshot::take(*line);
    const PanoramicLine::CornerIterator it = line->getIterator(corner_);
    if (it != line->cornersEnd())
        line->deletePoint(it);
}
VEXA_RETHROW

void DeletePanoramicLinePointCommand::undo() try
{
    snapshot_.restore(*model_->getPanoramicLine());
}
VEXA_RETHROW

std::string DeletePanoramicLinePointCommand::getName() const
{
    return "Delete Panoramic Line Point";
}
