#pragma once
// Deletes one corner of the panoramic line. The corner is kept as an object, not as a list
// position, so a redo after an undo (which rebuilds the list) deletes the same corner again.
#include "planning/commands/IPanoramicLineOwner.h"
#include "planning/commands/PanoramicLineSnapshot.h"
#include "planning/objects/PanoramicLine.h"
#include "vexa/core/AbstractCommand.h"

#include <memory>
#include <string>

class DeletePanoramicLinePointCommand : public Vexa::AbstractCommand
{
public:
    static std::shared_ptr<Vexa::AbstractCommand> create(std::shared_ptr<IPanoramicLineOwner> model,
                                                         const PanoramicLine::CornerIterator corner);
    DeletePanoramicLinePointCommand(std::shared_ptr<IPanoramicLineOwner> model, PanoramicLine::CornerPtr corner);

    void execute() override;
    void undo() override;
    std::string getName() const override;

private:
    std::shared_ptr<IPanoramicLineOwner> model_;
    PanoramicLine::CornerPtr corner_;
    PanoramicLineSnapshot snapshot_;
};
