#pragma once
// Generates the 3D jaw model from the volume around the panoramic line: the iso-surface at
// the chosen threshold (asked for DVT data, the window's low grey value otherwise), reduced, then
// stored in the Model. Asks before replacing a model; clears the command history.
class Model;
class QWidget;
#include "vexa/core/AbstractCommand.h"

#include <memory>
#include <string>

class Generate3DModelCommand : public Vexa::AbstractCommand
{
public:
    static std::shared_ptr<Vexa::AbstractCommand> create(std::shared_ptr<Model> model, QWidget* parent);
    Generate3DModelCommand(std::shared_ptr<Model> model, QWidget* parent);

    void execute() override;
    void undo() override;
    std::string getName() const override;

private:
    std::shared_ptr<Model> model_;
    QWidget* parent_;
};
