#include "shell/dialogs/SaveDialog.h"

#include "dicom/import/DicomData.h"
#include "dicom/import/DicomInformation.h"
#include "planning/model/Model.h"
#include "planning/model/Settings.h"
#include "shell/widgets/Fonts.h"
#include "shell/widgets/WindowFlags.h"
#include "views/navigation/StatusBarView.h"

#include <QButtonGroup>
#include <QDir>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>

namespace {

QString headerValue(const std::shared_ptr<Vexa::DicomInformation>& information, unsigned tagWord)
{
    return information ? QString::fromStdString(information->getValue(tagWord).first) : QString();
}

}

SaveDialog::SaveDialog(QWidget* parent, std::shared_ptr<Model> model, const QString& quitText)
    : Dialog(parent, "SaveDialog", true, WindowFlags::titled)
{
    jaw_ = model ? int(model->getJaw()) : 0;
    std::shared_ptr<Vexa::DicomInformation> information;
    if (model && model->getData())
        information = model->getData()->getInformation();
    const QString name = headerValue(information, 0x00100010);
    const QString birth = birthDateText(headerValue(information, 0x00300010));
    const QString id = headerValue(information, 0x00200010);

    setWindowTitle(tr("Save patient"));
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setFixedSize(690, 235);
    setFont(Fonts::dialogFont());
    setSizeGripEnabled(false);

    auto* patientBox = new QGroupBox(tr("Patient"), this);
    // Taller than drawn for the original font (y 25, height 40): the patient line lies inside
    // the frame, below the title.
    patientBox->setGeometry(39, 12, 610, 58);
    patient_ = new QLabel(StatusBarView::nameInLine(name) + "   (*" + birth + ")   id:" + id, patientBox);
    patient_->setGeometry(10, 28, 580, 22);

    auto* buttonArea = new QWidget(this);
    buttonArea->setGeometry(30, 75, 630, 63);
    auto* buttons = new QHBoxLayout(buttonArea);
    buttons->setObjectName("ButtonLayout");
    buttons->setContentsMargins(0, 0, 0, 0);
    buttons->setSpacing(6);
    auto addButton = [&](const QString& text, void (SaveDialog::*slot)()) {
        auto* button = new QPushButton(text, buttonArea);
        button->setFixedSize(120, 63);
        buttons->addWidget(button);
        connect(button, &QPushButton::clicked, this, slot);
        return button;
    };
    overwrite_ = addButton(tr("Overwrite"), &SaveDialog::doOverwriteExisting);
    addButton(tr("Save as new"), &SaveDialog::doSaveAsNew);
    addButton(tr("Cancel"), &SaveDialog::doCancel);
    if (!quitText.isEmpty())
        addButton(quitText, &SaveDialog::doQuitWithoutSaveNew);
    buttons->addStretch();

    bool overwrite = false;
    if (model && model->getSettings())
    {
        const auto settings = model->getSettings();
        const auto paths = settings->getPatientPaths();
        overwrite = mayOverwrite(settings->getPlanningState(), QString::fromStdString(settings->getPlanningFile()),
                                 paths.empty() ? QString() : QString::fromStdString(paths.front()));
    }
    overwrite_->setEnabled(overwrite);

    // A frameless group without a title: a plain widget. (A group box needs a style sheet to lose
    // its frame, and a style sheet puts its children's text in the style's font.)
    auto* jawBox = new QWidget(this);
    jawBox->setGeometry(30, 160, 630, 70);
    auto* jawRow = new QHBoxLayout(jawBox);
    maxilla_ = new QRadioButton(tr("Maxilla"), jawBox);
    mandible_ = new QRadioButton(tr("Mandible"), jawBox);
    jawRow->addWidget(maxilla_);
    jawRow->addWidget(mandible_);
    auto* group = new QButtonGroup(this);
    group->addButton(maxilla_);
    group->addButton(mandible_);
    maxilla_->setChecked(jaw_ == 1);
    mandible_->setChecked(jaw_ == 2);
    connect(maxilla_, &QRadioButton::clicked, this, &SaveDialog::doSelectMaxilla);
    connect(mandible_, &QRadioButton::clicked, this, &SaveDialog::doSelectMandible);
}

QString SaveDialog::patientLine() const
{
    return patient_->text();
}

bool SaveDialog::isOverwriteEnabled() const
{
    return overwrite_->isEnabled();
}

bool SaveDialog::mayOverwrite(int planningState, const QString& planningFile, const QString& firstPatientPath)
{
    // Without a patient folder there is nothing the planning could be inside of.
    if (planningState != 2 || planningFile.isEmpty() || firstPatientPath.isEmpty())
        return false;
    return QDir(planningFile).absolutePath().contains(QDir(firstPatientPath).absolutePath(), Qt::CaseSensitive);
}

QString SaveDialog::birthDateText(const QString& dicomDate)
{
    static const QRegularExpression eightDigits("^[0-9]{8}$");
    if (!eightDigits.match(dicomDate).hasMatch())
        return dicomDate;
    return dicomDate.mid(6, 2) + "/" + dicomDate.mid(4, 2) + "/" + dicomDate.left(4);
}

void SaveDialog::doOverwriteExisting()
{
    result_ = 0;
    accept();
}

void SaveDialog::doSaveAsNew()
{
    result_ = 1;
    accept();
}

void SaveDialog::doCancel()
{
    reject();
}

void SaveDialog::doQuitWithoutSaveNew()
{
    result_ = 2;
    accept();
}

void SaveDialog::doSelectMaxilla()
{
    jaw_ = 1;
}

void SaveDialog::doSelectMandible()
{
    jaw_ = 2;
}
