#pragma once
// Records a finished drag of one corner. While the mouse moved, the view moved the corner on
// the line directly; execute merges a corner dropped next to a neighbour, undo puts the line
// back as it was before the drag, with the corner at its start position.
#include "planning/commands/PanoramicLineSnapshot.h"
#include "planning/objects/PanoramicLine.h"
#include "vexa/core/AbstractCommand.h"
#include "vexa/math/Vector3.h"

#include <memory>
#include <string>

class MovePanoramicLinePointCommand : public Vexa::AbstractCommand
{
public:
    static std::shared_ptr<Vexa::AbstractCommand> create(std::shared_ptr<PanoramicLine> line,
                                                         PanoramicLine::CornerPtr corner, const Vexa::Vector3D& from,
                                                         const Vexa::Vector3D& to);
    MovePanoramicLinePointCommand(std::shared_ptr<PanoramicLine> line, PanoramicLine::CornerPtr corner,
                                  const Vexa::Vector3D& from, const Vexa::Vector3D& to);

    void execute() override;
    void undo() override;
    std::string getName() const override;

private:
    std::shared_ptr<PanoramicLine> line_;
    PanoramicLineSnapshot snapshot_;
    PanoramicLine::CornerPtr corner_;
    Vexa::Vector3D from_;
    Vexa::Vector3D to_;
};
