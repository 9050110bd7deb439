#include "shell/widgets/PlanningButtonView.h"

#include "planning/model/Model.h"
#include "planning/objects/PanoramicLine.h"
#include "shell/widgets/Appearance.h"
#include "vexa/core/ExceptionStack.h"

#include <QHBoxLayout>
#include <QMetaObject>
#include <QThread>
#include <QToolButton>

PlanningButtonView::PlanningButtonView(std::shared_ptr<Model> model, QWidget* parent, const char* name)
try : QWidget(parent), model_(std::move(model))
{
    setObjectName(name);
    auto* layout = new QHBoxLayout(this);
    layout->setObjectName("ButtonLayout");
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    patient_ = createButton(this, tr("Patient"), "Patient.bmp", false);
    panoramic_ = createButton(this, tr("Panoramic"), "Panoramic.bmp", true);
    generate_ = createButton(this, tr("Generate 3D"), "Generate3DModel.bmp", false);
    implant_ = createButton(this, tr("Implant"), "Implant.bmp", true);
    nerve_ = createButton(this, tr("Nerve"), "SetNerve.bmp", true);
    length_ = createButton(this, tr("Length"), "MeasureLength.bmp", true);
    ok_ = createButton(this, tr("OK"), "OK.bmp", false);
    for (QToolButton* b : {patient_, panoramic_, generate_, implant_, nerve_, length_, ok_})
        layout->addWidget(b);
    connect(patient_, &QToolButton::clicked, this, &PlanningButtonView::loadPatientData);
    connect(panoramic_, &QToolButton::clicked, this, &PlanningButtonView::panoramicButtonPressed);
    connect(generate_, &QToolButton::clicked, this, &PlanningButtonView::generate3DModel);
    connect(implant_, &QToolButton::clicked, this, &PlanningButtonView::implantButtonPressed);
    connect(nerve_, &QToolButton::clicked, this, &PlanningButtonView::nerveButtonPressed);
    connect(length_, &QToolButton::clicked, this, &PlanningButtonView::measureLengthButtonPressed);
    connect(ok_, &QToolButton::clicked, this, &PlanningButtonView::closeApp);
    model_->attach(static_cast<Vexa::IObserver*>(this));
}
VEXA_RETHROW

PlanningButtonView::~PlanningButtonView()
{
    model_->detach(static_cast<Vexa::IObserver*>(this));
}

QToolButton* PlanningButtonView::createButton(QWidget* parent, const QString& text, const QString& bitmap,
                                              bool toggle)
{
    auto* button = new QToolButton(parent);
    button->setObjectName(text + "Button");
    button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    QFont font = button->font();
    font.setFamily("System");
    font.setPointSize(12);
    font.setBold(true);
    button->setFont(font);
    const QPixmap pixmap = Appearance::picture(bitmap);
    if (!pixmap.isNull()) {
        button->setIcon(QIcon(pixmap));
        button->setIconSize(pixmap.size());
    }
    button->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    button->setText(text);
    button->setCheckable(toggle);
    return button;
}

void PlanningButtonView::update()
{
    // The Model may notify from another thread; widgets change in the GUI thread only.
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(this, [this] { checkButtonState(); }, Qt::QueuedConnection);
        return;
    }
    checkButtonState();
}

void PlanningButtonView::checkButtonState()
try {
    const int state = model_->getState();
    if (state >= 1 && state <= 6) {
        panoramic_->setChecked(state == 2);
        implant_->setChecked(state == 3);
        nerve_->setChecked(state == 4);
        length_->setChecked(state == 6);
    }
    const bool volume = model_->getVolumeData() != nullptr;
    const bool surface = model_->get3DModel() != nullptr;
    const unsigned corners = model_->getPanoramicLine()->numberOfCorners();
    const bool markerState = model_->getState() == 5;
    panoramic_->setEnabled(!markerState && volume);
    generate_->setEnabled(markerState ? model_->getMarkers().size() == 6 : corners >= 2);
    implant_->setEnabled(surface && corners >= 2 && !markerState);
    nerve_->setEnabled(surface && corners >= 2 && !markerState);
    length_->setEnabled(!markerState && volume);
}
VEXA_RETHROW

void PlanningButtonView::toggled(QToolButton* button, unsigned state)
try {
    model_->setStateAndUpdate(button->isChecked() ? state : 1);
    // Every observer, the views among them, shows the new state: a tool switched off takes
    // away what it drew. The bar itself is one of them.
    model_->notify();
}
VEXA_RETHROW

void PlanningButtonView::panoramicButtonPressed()
{
    toggled(panoramic_, 2);
}

void PlanningButtonView::implantButtonPressed()
{
    toggled(implant_, 3);
}

void PlanningButtonView::nerveButtonPressed()
{
    toggled(nerve_, 4);
}

void PlanningButtonView::measureLengthButtonPressed()
try {
    model_->resetMeasuringState();
    toggled(length_, 6);
}
VEXA_RETHROW
