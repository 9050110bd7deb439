#include "planning/commands/Generate3DModelCommand.h"

#include "dicom/import/DicomData.h"
#include "planning/model/IPlanningUi.h"
#include "planning/model/Model.h"
#include "planning/objects/PanoramicLine.h"
#include "vexa/algorithm/MarchingCubes.h"
#include "vexa/algorithm/MeshReduction.h"
#include "vexa/algorithm/SubVolume.h"
#include "vexa/core/ExceptionStack.h"

#include <algorithm>
#include <limits>

using Vexa::Vector3D;

namespace {

// Room around the arch's band so that the buccal and lingual bone is complete.
constexpr double boxMargin = 5.0;

// Reports a failed job (not a cancelled one: the user knows).
void reportFailure(IPlanningUi& ui, const Vexa::AbstractAlgorithm& job)
{
    if (!job.wasCancelled() && !job.getErrorMessage().empty())
        ui.showMessage("Attention", QString::fromStdString(job.getErrorMessage()));
}

}

std::shared_ptr<Vexa::AbstractCommand> Generate3DModelCommand::create(std::shared_ptr<Model> model, QWidget* parent) try
{
    return std::make_shared<Generate3DModelCommand>(std::move(model), parent);
}
VEXA_RETHROW

Generate3DModelCommand::Generate3DModelCommand(std::shared_ptr<Model> model, QWidget* parent)
    : Vexa::AbstractCommand(clearsHistory), model_(std::move(model)), parent_(parent)
{
}

void Generate3DModelCommand::execute() try
{
    const auto ui = IPlanningUi::require();
    if (model_->get3DModel()
        && !ui->askYesNo("Attention", "Do you really want to replace the existing 3D model?"))
        return;

    const auto line = model_->getPanoramicLine();
    const auto volume = model_->getVolumeData();
    if (!volume || line->numberOfCorners() < 2)
        return;

    // The box around the band of the panoramic line, full height.
    Vector3D minimum(std::numeric_limits<double>::max(), std::numeric_limits<double>::max(), 0.0);
    Vector3D maximum(std::numeric_limits<double>::lowest(), std::numeric_limits<double>::lowest(),
                     volume->getExtentZ());
    for (auto it = line->cornersBegin(); it != line->cornersEnd(); ++it)
        for (const Vector3D& linePoint : {(*it)->getUpperPoint(), (*it)->getLowerPoint(), (*it)->getPosition()}) {
            const Vector3D p = line->toWorld(linePoint);
            minimum.x = std::min(minimum.x, p.x - boxMargin);
            minimum.y = std::min(minimum.y, p.y - boxMargin);
            maximum.x = std::max(maximum.x, p.x + boxMargin);
            maximum.y = std::max(maximum.y, p.y + boxMargin);
        }
    minimum.x = std::max(minimum.x, 0.0);
    minimum.y = std::max(minimum.y, 0.0);
    maximum.x = std::min(maximum.x, volume->getExtentX());
    maximum.y = std::min(maximum.y, volume->getExtentY());
    if (!(minimum.x < maximum.x && minimum.y < maximum.y)) {
        ui->showMessage("Attention", "The panoramic line lies outside the volume.");
        return;
    }
    const Vexa::SubVolume sub = Vexa::SubVolume::extract(*volume, minimum, maximum);

    int threshold = model_->getMinVoxelValue();
    const auto data = model_->getData();
    if (data && data->getInformation() && data->getInformation()->getImageDevice() == Vexa::DicomInformation::DVT) {
        const auto chosen = ui->chooseSegmentationThreshold(sub.getVolume(), parent_, threshold);
        if (!chosen)
            return;
        threshold = *chosen;
    }
    const auto iso = static_cast<unsigned short>(std::clamp(threshold, 0, int(std::numeric_limits<unsigned short>::max())));

    Vexa::MarchingCubes surface(sub.getVolume(), iso, sub.getOffset());
    if (!ui->runJob(surface, QString()) || !surface.getResult()) {
        reportFailure(*ui, surface);
        return;
    }
    Vexa::MeshReduction reduction(surface.getResult());
    if (!ui->runJob(reduction, "Optimizing Data") || !reduction.getResult()) {
        reportFailure(*ui, reduction);
        return;
    }
    const auto mesh = reduction.getResult();
    mesh->setUseFloatArrays(true);
    model_->set3DModel(mesh);
}
VEXA_RETHROW

void Generate3DModelCommand::undo()
{
    // Clears the history when run; never undone.
}

std::string Generate3DModelCommand::getName() const
{
    return "Generate 3D Model";
}
