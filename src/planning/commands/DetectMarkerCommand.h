#pragma once
// Runs the automatic marker detection under a progress dialog. Found: the six markers (in
// geometry order) replace the list, the nerve divide plane and the jaw follow them. Not found:
// asks whether to place the markers by hand (state 5). Either way the detection counts as done.
// Clears the command history.
class Model;
#include "vexa/core/AbstractCommand.h"

#include <memory>
#include <string>

class DetectMarkerCommand : public Vexa::AbstractCommand
{
public:
    static std::shared_ptr<Vexa::AbstractCommand> create(std::shared_ptr<Model> model);
    DetectMarkerCommand(std::shared_ptr<Model> model);

    void execute() override;
    void undo() override;
    std::string getName() const override;

private:
    std::shared_ptr<Model> model_;
};
