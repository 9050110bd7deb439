#include "shell/widgets/MainWidget.h"

#include "planning/commands/DetectMarkerCommand.h"
#include "planning/commands/Generate3DModelCommand.h"
#include "planning/model/Marker.h"
#include "planning/model/Model.h"
#include "planning/model/Settings.h"
#include "planning/objects/PanoramicLine.h"
#include "shell/dialogs/MessageDialog.h"
#include "shell/dialogs/ViewSelectionDialog.h"
#include "shell/modes/ViewFactory.h"
#include "shell/widgets/Appearance.h"
#include "shell/widgets/ControlView.h"
#include "shell/widgets/ViewFrame.h"
#include "vexa/algorithm/MarkerDetection.h"
#include "vexa/algorithm/ReferenceMarkerGeometry.h"
#include "vexa/core/CommandProcessor.h"
#include "vexa/core/ExceptionStack.h"
#include "vexa/core/RedoCommand.h"
#include "vexa/core/UndoCommand.h"
#include "views/ISpaceballSupport.h"
#include "views/IView.h"

#include <QResizeEvent>
#include <QSplitter>

namespace {

QSplitter* makeSplitter(Qt::Orientation orientation, QWidget* parent, const char* name)
{
    auto* splitter = new QSplitter(orientation, parent);
    splitter->setObjectName(name);
    Appearance::blackBackground(splitter);
    return splitter;
}

}

MainWidget::MainWidget(std::shared_ptr<Model> model, std::shared_ptr<ViewFactory> factory, QWidget* parent,
                       const char* name)
try : QFrame(parent), model_(std::move(model)), factory_(std::move(factory))
{
    setObjectName(name);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    mainSplitter_ = makeSplitter(Qt::Horizontal, this, "MainSplitter");
    mainSplitter_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    verticalSplitter_ = makeSplitter(Qt::Vertical, mainSplitter_, "VerticalSplitter");
    upperSplitter_ = makeSplitter(Qt::Horizontal, verticalSplitter_, "UpperSplitter");
    lowerSplitter_ = makeSplitter(Qt::Horizontal, verticalSplitter_, "LowerSplitter");
    controlView_ = new ControlView(model_, mainSplitter_, "ControlView");
    controlView_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    controlView_->setFrameShape(QFrame::StyledPanel);
    controlView_->setFrameShadow(QFrame::Sunken);
    controlView_->setFixedWidth(106);
    const struct
    {
        const char* view;
        QSplitter* splitter;
        const char* name;
    } frames[] = {{"Panoramic", upperSplitter_, "LeftUpperFrame"},
                  {"Cross-sectional", upperSplitter_, "MiddleUpperFrame"},
                  {"Target", upperSplitter_, "RightUpperFrame"},
                  {"3D", lowerSplitter_, "LeftLowerFrame"},
                  {"Axial", lowerSplitter_, "RightLowerFrame"}};
    for (int i = 0; i < 5; ++i) {
        frames_[i] = new ViewFrame(frames[i].view, factory_, frames[i].splitter, frames[i].name);
        frames[i].splitter->addWidget(frames_[i]);
        connect(frames_[i], qOverload<ViewFrame*>(&ViewFrame::selectNewView), this, &MainWidget::chooseNewView);
    }
    model_->attach(static_cast<Vexa::IObserver*>(controlView_));
    setSplitterSizes();
}
VEXA_RETHROW

void MainWidget::setSplitterSizes()
{
    const int w = width(), h = height();
    upperSplitter_->setSizes({int(0.5 * w), int(0.3 * w), int(0.2 * w)});
    lowerSplitter_->setSizes({int(0.3 * w), int(0.5 * w)});
    verticalSplitter_->setSizes({int(0.3 * h), int(0.7 * h)});
}

MainWidget::~MainWidget() = default;

ViewFrame* MainWidget::frame(const QString& name) const
{
    for (ViewFrame* f : frames_)
        if (f->objectName() == name)
            return f;
    return nullptr;
}

void MainWidget::resizeEvent(QResizeEvent* event)
{
    mainSplitter_->resize(event->size());
    // A widget built before its window is laid out has no size yet: the shares are set again
    // at the first real size.
    if (!sized_ && event->size().width() > 0 && event->size().height() > 0) {
        sized_ = true;
        setSplitterSizes();
    }
    model_->notify();
}

void MainWidget::undo()
try {
    Vexa::UndoCommand().execute();
    model_->notify();
}
VEXA_RETHROW

void MainWidget::redo()
try {
    Vexa::RedoCommand().execute();
    model_->notify();
}
VEXA_RETHROW

QStringList MainWidget::offeredViews() const
try {
    bool spaceballShown = false;
    for (ViewFrame* f : frames_)
        spaceballShown = spaceballShown || dynamic_cast<Quorvane::ISpaceballSupport*>(f->getView());
    const bool navigating = model_->getState() == 7;
    QStringList offered;
    for (const QString& name : factory_->names()) {
        const Quorvane::IView* view = factory_->prototype(name);
        const bool allowed = !dynamic_cast<const Quorvane::ISpaceballSupport*>(view) || !spaceballShown;
        const bool available = navigating ? view->isAvailableInNavigation() : view->isAvailableInPlanning();
        if (allowed && available)
            offered << name;
    }
    return offered;
}
VEXA_RETHROW

void MainWidget::chooseNewView(ViewFrame* frame)
try {
    ViewSelectionDialog dialog(offeredViews(), nullptr, "ViewSelectionDialog");
    if (dialog.exec() == 1)
        frame->setView(dialog.getChosenView());
}
VEXA_RETHROW

bool MainWidget::ask(const QString& text) const
{
    MessageDialog dialog(nullptr, tr("Attention"), text, MessageDialog::Yes | MessageDialog::No);
    return dialog.exec() == 1 && dialog.getResult() == MessageDialog::Yes;
}

void MainWidget::generate3DModel()
try {
    if (model_->getPanoramicLine()->numberOfCorners() < 2)
        return;
    const auto processor = Vexa::CommandProcessor::getInstance();
    if (model_->getState() == 5) {
        std::vector<Vexa::Vector3D> positions;
        for (const auto& marker : model_->getMarkers())
            positions.push_back(marker->getPosition());
        if (Vexa::MarkerDetection::checkManualMarkers(positions, Vexa::getReferenceMarkerGeometry(), true, 2.0)
                .first) {
            std::vector<std::shared_ptr<Marker>> markers;
            for (const auto& p : positions)
                markers.push_back(Marker::create(p));
            model_->setMarker(markers);
            model_->setMarkerDetectionMethode(Model::UserPlacedMarkers);
            model_->getSettings()->setMarkerDetectionDone(true);
            model_->setMarkerDetected(true);
        } else if (ask(tr("Manual marker detection failed.\n\nDo you want to correct the marker position?\n"
                          "Click 'no' to skip the detection. (Morvanta treatment is not possible without "
                          "markers.)"))) {
            return;
        } else {
            model_->setMarker({});
            model_->setMarkerDetectionMethode(Model::NoMarkerDetection);
            model_->setMarkerDetected(false);
        }
        model_->calcNerveEnvironments();
        model_->determineJaw();
    } else if (model_->getSettings()->isMarkerDetectionDone()) {
        if (!model_->isMarkerDetected() &&
            ask(tr("An already done automatic marker detection failed.\n\n Do you want to place the markers "
                   "manually?\nClick 'no' to skip the detection. (Morvanta treatment is not possible without "
                   "markers.)"))) {
            model_->setStateAndUpdate(5);
            model_->notify();
            return;
        }
    } else {
        processor->execute(DetectMarkerCommand::create(model_));
        if (model_->getState() == 5)
            return;
    }
    processor->execute(Generate3DModelCommand::create(model_, frame("LeftLowerFrame")));
    model_->notify();
}
VEXA_RETHROW
