#include "planning/commands/AddImplantCommand.h"

#include "planning/model/Constants.h"
#include "planning/model/IPlanningUi.h"
#include "planning/model/ImplantManager.h"
#include "planning/objects/Implant.h"
#include "vexa/core/ExceptionStack.h"

#include "platform/ApplicationFolder.h"

using Vexa::Matrix44;
using Vexa::Vector3D;

std::shared_ptr<Vexa::AbstractCommand> AddImplantCommand::create(std::shared_ptr<ImplantManager> manager,
                                                                 const Matrix44<double>& transform, int jaw,
                                                                 bool axial) try
{
    const std::string database = Platform::applicationPath(Constants::implantDatabaseFolder);
    const auto choice = IPlanningUi::require()->chooseImplant(database, jaw != Constants::Maxilla);
    std::shared_ptr<Implant> implant;
    if (choice && choice->implant) {
        implant = choice->implant;
        // World z points to the head: the axis leaves the bone upwards in the mandible and
        // downwards in the maxilla (x kept, so the rotation stays right-handed).
        const Vector3D axis = choice->mandible ? Vector3D(0, 0, 1) : Vector3D(0, 0, -1);
        const Vector3D y = choice->mandible ? Vector3D(0, 1, 0) : Vector3D(0, -1, 0);
        Vector3D origin = transform.getTranslation();
        if (axial)
            origin = origin - axis * (implant->getLength() / 2.0);
        implant->setTransform(Matrix44<double>(Vector3D(1, 0, 0), y, axis, origin));
    }
    return std::make_shared<AddImplantCommand>(std::move(manager), std::move(implant));
}
VEXA_RETHROW

AddImplantCommand::AddImplantCommand(std::shared_ptr<ImplantManager> manager, std::shared_ptr<Implant> implant)
    : Vexa::AbstractCommand(implant ? undoable : notRecorded), manager_(std::move(manager)), implant_(std::move(implant))
{
}

void AddImplantCommand::execute() try
{
    if (implant_)
        manager_->addImplant(implant_);
}
VEXA_RETHROW

void AddImplantCommand::undo() try
{
    if (implant_)
        manager_->removeImplant(implant_);
}
VEXA_RETHROW

std::string AddImplantCommand::getName() const
{
    return "Add Implant";
}
