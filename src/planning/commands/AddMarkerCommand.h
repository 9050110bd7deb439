#pragma once
// Adds one registration marker at a point (the same marker object at every redo).
#include "vexa/math/Vector3.h"

class Marker;
class Model;
#include "vexa/core/AbstractCommand.h"

#include <memory>
#include <string>

class AddMarkerCommand : public Vexa::AbstractCommand
{
public:
    static std::shared_ptr<Vexa::AbstractCommand> create(std::shared_ptr<Model> model, const Vexa::Vector3D& point);
    AddMarkerCommand(std::shared_ptr<Model> model, const Vexa::Vector3D& point);

    void execute() override;
    void undo() override;
    std::string getName() const override;

private:
    std::shared_ptr<Model> model_;
    std::shared_ptr<Marker> marker_;
};
