#pragma once
// Deletes the whole panoramic line; undo brings every corner back in its place.
#include "planning/commands/IPanoramicLineOwner.h"
#include "planning/commands/PanoramicLineSnapshot.h"
#include "vexa/core/AbstractCommand.h"

#include <memory>
#include <string>

class DeletePanoramicLineCommand : public Vexa::AbstractCommand
{
public:
    static std::shared_ptr<Vexa::AbstractCommand> create(std::shared_ptr<IPanoramicLineOwner> model);
    explicit DeletePanoramicLineCommand(std::shared_ptr<IPanoramicLineOwner> model);

    void execute() override;
    void undo() override;
    std::string getName() const override;

private:
    std::shared_ptr<IPanoramicLineOwner> model_;
    PanoramicLineSnapshot snapshot_;
};
