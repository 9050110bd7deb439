#include "planning/commands/MovePanoramicLinePointCommand.h"

#include "vexa/core/ExceptionStack.h"

std::shared_ptr<Vexa::AbstractCommand> MovePanoramicLinePointCommand::create(std::shared_ptr<PanoramicLine> line,
                                                                             PanoramicLine::CornerPtr corner,
                                                                             const Vexa::Vector3D& from,
                                                                             const Vexa::Vector3D& to) try
{
    return std::make_shared<MovePanoramicLinePointCommand>(std::move(line), std::move(corner), from, to);
}
VEXA_RETHROW

MovePanoramicLinePointCommand::MovePanoramicLinePointCommand(std::shared_ptr<PanoramicLine> line,
                                                             PanoramicLine::CornerPtr corner,
                                                             const Vexa::Vector3D& from, const Vexa::Vector3D& to)
    : Vexa::AbstractCommand(1), line_(std::move(line)), corner_(std::move(corner)), from_(from), to_(to)
{
}

void MovePanoramicLinePointCommand::execute() try
{
    // A neighbour that the dragged corner covers at the release is out of the list; the
    // snapshot puts it back first, so undo cannot lose it.
    snapshot_ = PanoramicLineSnapshot::take(*line_);
    line_->movePoint(corner_, to_);
    line_->consolidateLine();
}
VEXA_RETHROW

void MovePanoramicLinePointCommand::undo() try
{
    if (!snapshot_.isTaken())
        return;
    // The snapshot shows the line at the end of the drag; with the corner back at its start
    // it is the line as it was at the press.
    snapshot_.restore(*line_);
    if (corner_ && line_->getIterator(corner_) != line_->cornersEnd())
    {
        corner_->setPosition(line_->toLine(from_));
        line_->setCornerPoints(line_->getCornerPoints());
    }
}
VEXA_RETHROW

std::string MovePanoramicLinePointCommand::getName() const
{
    return "Move Panoramic Line Point";
}
