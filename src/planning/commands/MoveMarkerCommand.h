#pragma once
// Moves a registration marker from one point to another.
class Marker;
class Model;
#include "vexa/math/Vector3.h"
#include "vexa/core/AbstractCommand.h"

#include <memory>
#include <string>

class MoveMarkerCommand : public Vexa::AbstractCommand
{
public:
    static std::shared_ptr<Vexa::AbstractCommand> create(std::shared_ptr<Model> model, std::shared_ptr<Marker> marker, const Vexa::Vector3D& from, const Vexa::Vector3D& to);
    MoveMarkerCommand(std::shared_ptr<Model> model, std::shared_ptr<Marker> marker, const Vexa::Vector3D& from, const Vexa::Vector3D& to);

    void execute() override;
    void undo() override;
    std::string getName() const override;

private:
    std::shared_ptr<Model> model_;
    std::shared_ptr<Marker> marker_;
    Vexa::Vector3D from_;
    Vexa::Vector3D to_;
};
