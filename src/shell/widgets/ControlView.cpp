#include "shell/widgets/ControlView.h"

#include "planning/commands/DeleteNerveCommand.h"
#include "planning/commands/DeletePanoramicLineCommand.h"
#include "planning/commands/DeleteSelectedImplantsCommand.h"
#include "planning/commands/ExchangeImplantCommand.h"
#include "planning/commands/GroupSelectedImplantsCommand.h"
#include "planning/model/ImplantManager.h"
#include "planning/model/Model.h"
#include "planning/objects/Implant.h"
#include "planning/objects/Nerve.h"
#include "planning/objects/PanoramicLine.h"
#include "platform/ApplicationFolder.h"
#include "shell/dialogs/BoneDensityDialog.h"
#include "shell/dialogs/HierachyImplantSelectionDialog.h"
#include "shell/dialogs/MessageDialog.h"
#include "shell/widgets/RangeSlider.h"
#include "vexa/core/CommandProcessor.h"
#include "vexa/core/ExceptionStack.h"
#include "vexa/core/UndoCommand.h"

#include <QApplication>
#include <algorithm>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QMetaObject>
#include <QPushButton>
#include <QThread>
#include <QVBoxLayout>

namespace {

void setWidgetFont(QWidget* widget)
{
    QFont font = widget->font();
    font.setFamily("FixedSys");
    font.setPointSize(9);
    widget->setFont(font);
}

void execute(std::shared_ptr<Vexa::AbstractCommand> command)
{
    Vexa::CommandProcessor::getInstance()->execute(std::move(command));
}

}

ControlView::ControlView(std::shared_ptr<Model> model, QWidget* parent, const char* name)
    : QFrame(parent), model_(std::move(model))
{
    setObjectName(name);
    // The splitters around the panel are black, and a palette passes to the children: the panel
    // keeps the application's colours, or its labels and the brightness slider would not show.
    // Each colour group keeps its own, so that a disabled label or slider is drawn greyed.
    QPalette own = QApplication::palette();
    for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        for (const QPalette::ColorRole role : {QPalette::Window, QPalette::WindowText})
            own.setColor(group, role, own.color(group, role));
    setPalette(own);
    setAutoFillBackground(true);
    auto* layout = new QVBoxLayout(this);
    layout->setObjectName("Layout");
    layout->setContentsMargins(5, 5, 5, 5);
    layout->setSpacing(10);
    auto* implants = new QLabel("Implants", this);
    implants->setObjectName("ImplantsLabel");
    auto* group = new QLabel("No. Group", this);
    group->setObjectName("GroupLabel");
    for (QLabel* label : {implants, group}) {
        setWidgetFont(label);
        layout->addWidget(label);
    }
    implantList_ = new QListWidget(this);
    implantList_->setObjectName("ImplantListBox");
    implantList_->setSelectionMode(QAbstractItemView::MultiSelection);
    layout->addWidget(implantList_);
    undo_ = createButton("Undo");
    parallel_ = createButton("Parallel");
    delete_ = createButton("Delete");
    exchange_ = createButton("Exchange\nImplant");
    density_ = createButton(tr("Density"));
    deleteNerve_ = createButton("Delete\nNerve");
    deletePanoramic_ = createButton(tr("Delete\nPanoramic"));
    for (QPushButton* b : {undo_, parallel_, delete_, exchange_, density_, deleteNerve_, deletePanoramic_})
        layout->addWidget(b);
    auto* sliderLayout = new QHBoxLayout();
    sliderLayout->setObjectName("SliderLayout");
    sliderLayout->setSpacing(5);
    layout->addLayout(sliderLayout);
    slider_ = new RangeSlider(0, 4095, 100, 0, 2047, 4095, this, false, "RangeSlider");
    slider_->setFixedHeight(100);
    sliderLayout->addWidget(slider_);
    brightness_ = new QLabel(tr("Bright-\nness"), this);
    brightness_->setObjectName("BrightnessLabel");
    setWidgetFont(brightness_);
    sliderLayout->addWidget(brightness_);

    connect(implantList_, &QListWidget::itemSelectionChanged, this, &ControlView::selectImplants);
    connect(undo_, &QPushButton::clicked, this, &ControlView::undo);
    connect(parallel_, &QPushButton::clicked, this, &ControlView::setImplantsParallel);
    connect(delete_, &QPushButton::clicked, this, &ControlView::deleteImplant);
    connect(exchange_, &QPushButton::clicked, this, &ControlView::exchangeImplant);
    connect(deleteNerve_, &QPushButton::clicked, this, &ControlView::deleteNerve);
    connect(density_, &QPushButton::clicked, this, &ControlView::showBoneDensity);
    connect(deletePanoramic_, &QPushButton::clicked, this, &ControlView::deletePanoramicLine);
    connect(slider_, &RangeSlider::lowValueChanged, this, &ControlView::changeSliderRangeLowValue);
    connect(slider_, &RangeSlider::midValueChanged, this, &ControlView::changeSliderRangeMidValue);
    connect(slider_, &RangeSlider::highValueChanged, this, &ControlView::changeSliderRangeHighValue);
    connect(model_.get(), &Model::reset, this, &ControlView::reset);
}

ControlView::~ControlView()
{
    // Attached by the main widget; never notified after it is gone.
    model_->detach(static_cast<Vexa::IObserver*>(this));
}

QPushButton* ControlView::createButton(const QString& text)
{
    auto* button = new QPushButton(text, this);
    button->setObjectName(QString(text).remove('\n') + "Button");
    button->setMinimumHeight(40);
    setWidgetFont(button);
    return button;
}

void ControlView::update()
{
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(this, [this] { update(); }, Qt::QueuedConnection);
        return;
    }
    checkWidgetStates();
    QWidget::update();
}

void ControlView::checkWidgetStates()
try {
    const auto manager = model_->getImplantManager();
    // Also when the count stays: an undone or redone exchange changes a row's sizes.
    const QStringList rows = implantRows();
    bool same = rows.size() == implantList_->count();
    for (int i = 0; same && i < rows.size(); ++i)
        same = implantList_->item(i)->text() == rows[i];
    if (!same)
        updateImplantListBox();
    if (!isSelectionOK())
        buildSelection();
    const unsigned selected = manager->numberOfSelected();
    undo_->setEnabled(Vexa::CommandProcessor::getInstance()->canUndo());
    parallel_->setEnabled(selected > 0);
    delete_->setEnabled(selected > 0);
    exchange_->setEnabled(selected == 1);
    density_->setEnabled(selected == 1);
    deletePanoramic_->setEnabled(model_->getPanoramicLine()->numberOfCorners() > 0);
    deleteNerve_->setEnabled(!model_->getNerve()->isEmpty());
    const bool volume = model_->getVolumeData() != nullptr;
    showModelWindow();
    slider_->setEnabled(volume);
    brightness_->setEnabled(volume);
}
VEXA_RETHROW

void ControlView::updateImplantListBox()
try {
    // Rebuilding the rows must not feed an empty selection back into the manager.
    buildingSelection_ = true;
    implantList_->clear();
    implantList_->addItems(implantRows());
    buildingSelection_ = false;
    buildSelection();
}
catch (...) {
    buildingSelection_ = false;
    Vexa::ExceptionStack::getInstance()->push(__PRETTY_FUNCTION__, __FILE__, __LINE__);
    throw;
}

QStringList ControlView::implantRows() const
try {
    QStringList rows;
    const auto manager = model_->getImplantManager();
    int n = 1;
    for (auto it = manager->implantsBegin(); it != manager->implantsEnd(); ++it, ++n) {
        const auto& implant = *it;
        QString text = QString::number(n);
        if (implant->getGroup() > 0)
            text += " (" + convertNumberToGroupLetter(implant->getGroup()) + ") ";
        text += " D" + QString::number(implant->getDiameter(), 'f', 1) + " L" +
                QString::number(implant->getLength(), 'f', 1);
        rows << text;
    }
    return rows;
}
VEXA_RETHROW

QString ControlView::convertNumberToGroupLetter(unsigned group)
{
    return QString("%1").arg(QChar(char16_t((group + 64) & 0xFF)));
}

bool ControlView::isSelectionOK() const
try {
    const auto manager = model_->getImplantManager();
    int row = 0;
    for (auto it = manager->implantsBegin(); it != manager->implantsEnd(); ++it, ++row) {
        const QListWidgetItem* item = implantList_->item(row);
        if (!item || manager->isImplantSelected(*it) != item->isSelected())
            return false;
    }
    return true;
}
VEXA_RETHROW

void ControlView::buildSelection()
try {
    buildingSelection_ = true;
    const auto manager = model_->getImplantManager();
    int row = 0;
    for (auto it = manager->implantsBegin(); it != manager->implantsEnd(); ++it, ++row)
        if (QListWidgetItem* item = implantList_->item(row))
            item->setSelected(manager->isImplantSelected(*it));
    buildingSelection_ = false;
}
catch (...) {
    buildingSelection_ = false;
    Vexa::ExceptionStack::getInstance()->push(__PRETTY_FUNCTION__, __FILE__, __LINE__);
    throw;
}

void ControlView::selectImplants()
try {
    if (buildingSelection_)
        return;
    const auto manager = model_->getImplantManager();
    int row = 0;
    const std::vector<std::shared_ptr<Implant>> implants(manager->implantsBegin(), manager->implantsEnd());
    for (const auto& implant : implants) {
        const QListWidgetItem* item = implantList_->item(row++);
        const bool inList = item && item->isSelected();
        if (inList && !manager->isImplantSelected(implant))
            manager->selectImplant(implant);
        else if (!inList && manager->isImplantSelected(implant))
            manager->unselectImplant(implant);
    }
    model_->notify();
}
VEXA_RETHROW

void ControlView::updateAll()
try {
    repaint();
    model_->notify();
}
VEXA_RETHROW

void ControlView::rebuildAndNotify()
{
    updateImplantListBox();
    model_->notify();
}

void ControlView::undo()
try {
    Vexa::UndoCommand().execute();
    rebuildAndNotify();
}
VEXA_RETHROW

void ControlView::setImplantsParallel()
try {
    execute(GroupSelectedImplantsCommand::create(model_->getImplantManager()));
    rebuildAndNotify();
}
VEXA_RETHROW

bool ControlView::confirm(const QString& question)
{
    MessageDialog dialog(this, tr("Attention"), question, MessageDialog::Yes | MessageDialog::No | MessageDialog::Cancel);
    return dialog.exec() == 1 && dialog.getResult() == MessageDialog::Yes;
}

void ControlView::deleteImplant()
try {
    if (confirm(tr("Do you want to delete all selected implants?")))
        execute(DeleteSelectedImplantsCommand::create(model_->getImplantManager()));
    model_->notify();
}
VEXA_RETHROW

void ControlView::exchangeImplant()
try {
    const auto manager = model_->getImplantManager();
    if (manager->numberOfSelected() != 1)
        return;
    HierachyImplantSelectionDialog dialog(QString::fromStdString(Platform::applicationPath("ImplantDatabase/")), true,
                                          nullptr);
    if (dialog.exec() != 1 || !dialog.getSelectedImplant())
        return;
    execute(ExchangeImplantCommand::create(manager, *manager->selectedBegin(), dialog.getSelectedImplant()));
    rebuildAndNotify();
}
VEXA_RETHROW

void ControlView::deleteNerve()
try {
    if (!confirm(tr("Do you really want to delete the whole nerve?")))
        return;
    execute(DeleteNerveCommand::create(model_->getNerve()));
    updateAll();
}
VEXA_RETHROW

void ControlView::showBoneDensity()
try {
    const auto manager = model_->getImplantManager();
    if (manager->numberOfSelected() != 1)
        return;
    const auto implant = *manager->selectedBegin();
    BoneDensityDialog dialog(implant, model_, int(manager->getNumberOfImplant(implant)), nullptr);
    dialog.exec();
}
VEXA_RETHROW

void ControlView::deletePanoramicLine()
try {
    if (!confirm(tr("Do you really want to delete the whole panoramic line?")))
        return;
    execute(DeletePanoramicLineCommand::create(model_));
    model_->setNextState(2);
    updateAll();
}
VEXA_RETHROW

void ControlView::takeSliderValue(void (Model::*set)(int), int value)
{
    followingSlider_ = true;
    try {
        (model_.get()->*set)(value);
        updateAll();
    } catch (...) {
        followingSlider_ = false;
        Vexa::ExceptionStack::getInstance()->push(__PRETTY_FUNCTION__, __FILE__, __LINE__);
        throw;
    }
    followingSlider_ = false;
}

void ControlView::changeSliderRangeLowValue(int value)
{
    takeSliderValue(&Model::setMinVoxelValue, value);
}

void ControlView::changeSliderRangeMidValue(int value)
{
    takeSliderValue(&Model::setMidVoxelValue, value);
}

void ControlView::changeSliderRangeHighValue(int value)
{
    takeSliderValue(&Model::setMaxVoxelValue, value);
}

void ControlView::showModelWindow()
{
    if (followingSlider_)
        return;
    const auto shown = [this](int value) { return std::clamp(value, slider_->minimum(), slider_->maximum()); };
    const int low = shown(model_->getMinVoxelValue());
    const int mid = shown(model_->getMidVoxelValue());
    const int high = shown(model_->getMaxVoxelValue());
    if (low == slider_->low() && mid == slider_->mid() && high == slider_->high())
        return;
    slider_->reset(low, mid, high);
    slider_->update();
}

void ControlView::reset()
try {
    showModelWindow();
    update();
}
VEXA_RETHROW
