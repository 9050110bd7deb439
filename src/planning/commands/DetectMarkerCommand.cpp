#include "planning/commands/DetectMarkerCommand.h"

#include "planning/model/IPlanningUi.h"
#include "planning/model/Marker.h"
#include "planning/model/Model.h"
#include "planning/model/Settings.h"
#include "vexa/algorithm/MarkerDetection.h"
#include "vexa/core/ExceptionStack.h"

namespace {

const char* const failureQuestion =
    "Automatic marker detection failed.\n\n Do you want to place the markers manually?\nClick 'no' to skip the "
    "detection. (Morvanta treatment is not possible without markers.)";

}

std::shared_ptr<Vexa::AbstractCommand> DetectMarkerCommand::create(std::shared_ptr<Model> model) try
{
    return std::make_shared<DetectMarkerCommand>(std::move(model));
}
VEXA_RETHROW

DetectMarkerCommand::DetectMarkerCommand(std::shared_ptr<Model> model)
    : Vexa::AbstractCommand(clearsHistory), model_(std::move(model))
{
}

void DetectMarkerCommand::execute() try
{
    const auto ui = IPlanningUi::require();
    const auto settings = model_->getSettings();
    bool found = false;
    std::vector<Vexa::Vector3D> positions;
    if (const auto volume = model_->getVolumeData()) {
        Vexa::MarkerDetection detection(volume);
        // A cancelled dialog counts as a failed detection.
        found = ui->runJob(detection, QString()) && !detection.getMarkers().empty();
        positions = detection.getMarkers();
    }
    // Done after every run: the main widget asks differently once a detection has failed.
    if (settings)
        settings->setMarkerDetectionDone(true);
    if (!found) {
        if (ui->askYesNo("Attention", failureQuestion)) {
            model_->setStateAndUpdate(Model::MarkerDetected);
            model_->notify();
        }
        return;
    }
    std::vector<std::shared_ptr<Marker>> markers;
    for (const auto& position : positions)
        markers.push_back(Marker::create(position));
    model_->setMarker(markers);
    model_->setMarkerDetectionMethode(Model::AutomaticMarkerDetection);
    model_->setMarkerDetected(true);
    // As after a manual check: the nerve's sides and the jaw follow the markers.
    model_->calcNerveEnvironments();
    try {
        model_->determineJaw();
    } catch (const std::exception& e) {
        // The markers stay; the jaw is asked for when the planning is saved.
        ui->showMessage("Attention", QString::fromStdString(e.what()));
    }
}
VEXA_RETHROW

void DetectMarkerCommand::undo()
{
    // Clears the history when run; never undone.
}

std::string DetectMarkerCommand::getName() const
{
    return "Detect Markers";
}
