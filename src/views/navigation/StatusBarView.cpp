#include "views/navigation/StatusBarView.h"

#include "navigation/Calibration.h"
#include "navigation/NavigationController.h"
#include "planning/model/ImplantManager.h"
#include "planning/model/Model.h"
#include "planning/model/Utilities.h"
#include "planning/objects/Implant.h"
#include "vexa/core/ExceptionStack.h"
#include "vexa/math/Scalar.h"
#include "views/ViewFailure.h"
#include "views/navigation/DisplayTimer.h"
#include "views/navigation/CanvasText.h"
#include "views/navigation/SnapshotDataSource.h"

#include <QCoreApplication>
#include <QLabel>
#include <QRegularExpression>
#include <QResizeEvent>
#include <QSplitter>
#include <algorithm>
#include <cmath>

namespace {

QString translate(const char* text)
{
    return QCoreApplication::translate("StatusBarView", text);
}

// "Implant N: Company Ø4.10 SØ4.80 L11.50 Name"
QString describe(const QString& prefix, ImplantManager& manager, const std::shared_ptr<Implant>& implant)
{
    return prefix.arg(manager.getNumberOfImplant(implant)) + QString::fromStdString(implant->getCompany())
           + QString::fromUtf8(" Ø%1").arg(implant->getDiameter(), 0, 'f', 2)
           + QString::fromUtf8(" SØ%1").arg(implant->getShoulder(), 0, 'f', 2)
           + QString(" L%1 ").arg(implant->getLength(), 0, 'f', 2) + QString::fromStdString(implant->getName());
}

// The tracker's error while it is valid and faces the camera within 40 degrees, else "n.a.".
QString trackerError(const Vexa::TrackerData& sample, bool valid)
{
    const double tilt = std::abs(Vexa::radToDeg(std::acos(std::clamp(-sample.getTransform()[10], -1.0, 1.0))));
    return tilt <= 40.0 && valid ? QString::number(sample.getError(), 'f', 2) : QString("n.a.");
}

}

StatusBarView::StatusBarView(QWidget* parent, const char* name) : QWidget(parent)
{
    if (name)
        setObjectName(name);
    setFixedHeight(20);
    splitter_ = new QSplitter(Qt::Horizontal, this);
    if (parent)
        splitter_->setFixedSize(parent->width(), 20);
    CanvasText::installFontSubstitutions();
    QFont f = font();
    f.setFamily("System");
    f.setPointSize(12);
    setFont(f);
    for (QLabel** label : {&patient_, &state_, &capture_}) {
        *label = new QLabel(splitter_);
        QSizePolicy policy(QSizePolicy::Fixed, QSizePolicy::Maximum);
        policy.setHeightForWidth(sizePolicy().hasHeightForWidth());
        (*label)->setSizePolicy(policy);
    }
    layoutLabels(splitter_->width());
    DisplayTimer::connect(this, *this);
}

StatusBarView::~StatusBarView()
{
    if (model_)
        model_->detach(this);
    stopSelfUpdating();
}

void StatusBarView::layoutLabels(int width)
{
    const auto needed = [](const QLabel* label) {
        return label->text().isEmpty() ? 0 : label->fontMetrics().horizontalAdvance(label->text()) + 4;
    };
    // The patient's name, birthday and id and "Capturing" are never cut: on a narrow screen their
    // labels take what they need from the state's.
    int capture = std::min(std::max(static_cast<int>(width * 0.12121212121212122), needed(capture_)), width);
    int patient = std::min(std::max(static_cast<int>(width * 0.30303030303030304), needed(patient_)), width - capture);
    int state = std::max(0, std::min(static_cast<int>(width * 0.5757575757575758), width - capture - patient));
    // A long state text (the nearest implant's name while navigating) takes the room the other
    // two labels leave empty before it is cut.
    int missing = needed(state_) - state;
    for (const auto& [label, share] : {std::pair<QLabel*, int*>{capture_, &capture}, {patient_, &patient}}) {
        const int spare = std::clamp(*share - needed(label), 0, std::max(0, missing));
        *share -= spare;
        state += spare;
        missing -= spare;
    }
    patient_->setFixedWidth(patient);
    state_->setFixedWidth(state);
    capture_->setFixedWidth(capture);
}

void StatusBarView::resizeEvent(QResizeEvent* event)
{
    try {
        splitter_->setFixedSize(event->size().width(), 20);
        layoutLabels(event->size().width());
    }
    VIEW_CATCH_ALL
    QWidget::resizeEvent(event);
}

void StatusBarView::setModel(std::shared_ptr<Model> model) try
{
    if (model_)
        model_->detach(this);
    model_ = std::move(model);
    if (model_)
        model_->attach(this);
    source_ = std::make_shared<SnapshotDataSource>(model_, controller_);
}
VEXA_RETHROW

void StatusBarView::setNavigationController(std::shared_ptr<NavigationController> controller) try
{
    controller_ = std::move(controller);
    source_ = std::make_shared<SnapshotDataSource>(model_, controller_);
}
VEXA_RETHROW

void StatusBarView::update() try
{
    if (handOverToGuiThread())
        return;
    TimedView::update();
    prepareStatus();
    QWidget::update();
}
VEXA_RETHROW

void StatusBarView::prepareStatus() try
{
    if (!model_)
        return;
    if (source_)
        source_->capture();
    const QString texts[] = {getPatientInfo(), getStateDependendInfo(), getCaptureStatus()};
    QLabel* const labels[] = {patient_, state_, capture_};
    bool changed = false;
    for (int i = 0; i < 3; ++i)
        if (texts[i] != labels[i]->text()) {
            labels[i]->setText(texts[i]);
            changed = true;
        }
    if (changed)
        layoutLabels(splitter_->width());
}
VEXA_RETHROW

QString StatusBarView::getPatientInfo() const try
{
    const std::map<std::string, std::string> data = model_ ? model_->getPatientData() : std::map<std::string, std::string>();
    if (data.empty())
        return QString();
    auto value = [&](const char* key) {
        const auto it = data.find(key);
        return it == data.end() ? QString() : QString::fromStdString(it->second);
    };
    QString text = nameInLine(value("name"));
    const QString birthday = value("birthday");
    // Only a YYYYMMDD date can be rearranged; anything else is shown as it stands.
    static const QRegularExpression eightDigits("^[0-9]{8}$");
    if (eightDigits.match(birthday).hasMatch())
        text += "    (*" + birthday.mid(6, 2) + "/" + birthday.mid(4, 2) + "/" + birthday.left(4) + ")";
    else if (!birthday.isEmpty())
        text += "    (*" + birthday + ")";
    if (!value("id").isEmpty())
        text += "    id:" + value("id");
    return text;
}
VEXA_RETHROW

QString StatusBarView::nameInLine(const QString& name)
{
    // A Hebrew or Arabic name would otherwise turn the whole line right to left (the label takes
    // its direction from the first letter), and the date after it along with it.
    const QList<uint> characters = name.toUcs4();
    const bool turns = std::any_of(characters.begin(), characters.end(), [](uint c) {
        switch (QChar::direction(char32_t(c))) {
        case QChar::DirR: case QChar::DirAL: case QChar::DirRLE: case QChar::DirRLO: case QChar::DirLRE:
        case QChar::DirLRO: case QChar::DirPDF: case QChar::DirRLI: case QChar::DirLRI: case QChar::DirFSI:
        case QChar::DirPDI:
            return true;
        default:
            return false;
        }
    });
    return turns ? QChar(0x2068) + name + QChar(0x2069) : name;
}

QString StatusBarView::getCaptureStatus() const
{
    return model_ && model_->isCapturing() ? translate("Capturing") : QString();
}

QString StatusBarView::getCalibrationQuality() const try
{
    const NavigationSnapshot& s = source_->snapshot();
    if (s.preCalibrationAccuracy.first == -1.0)
        return QString();
    return translate("Current") + ": " + translate("BC") + ": " + Utilities::getAsString(s.preCalibrationAccuracy) + " "
           + translate("DC") + ": " + Utilities::getAsString(s.calibrationAccuracy) + " " + translate("AC") + ": "
           + Utilities::getAsString(s.postCalibrationAccuracy);
}
VEXA_RETHROW

QString StatusBarView::getRegistrationQuality() const try
{
    return translate("Current") + ": " + Utilities::getAsString(source_->snapshot().registrationAccuracy);
}
VEXA_RETHROW

QString StatusBarView::trackingInfo() const try
{
    const NavigationSnapshot& s = source_->snapshot();
    QString text = "Patient RMS: " + trackerError(s.patientLocator, s.patientLocValid)
                   + " Tool RMS: " + trackerError(s.handpiece, s.handpieceValid);
    const std::shared_ptr<ImplantManager> manager = model_->getImplantManager();
    if (manager && s.nearestImplant)
        text += describe("  Implant %1: ", *manager, s.nearestImplant);
    return text;
}
VEXA_RETHROW

QString StatusBarView::getStateDependendInfo() const try
{
    if (!model_ || !source_)
        return QString();
    if (controller_ && model_->getState() == Model::Navigation) {
        const NavigationSnapshot& s = source_->snapshot();
        if (s.controllerState == NavigationController::HandpieceCalibration) {
            static const char* const phases[] = {"Pre", "During", "Post"};
            QString text = getCalibrationQuality();
            if (s.calibrationState >= 1 && s.calibrationState <= 3)
                text += "  " + translate(phases[s.calibrationState - 1]) + ": " + QString::number(s.calibrationSamples);
            return text;
        }
        if (s.controllerState == NavigationController::DrillRegistration)
            return getRegistrationQuality();
        return trackingInfo();
    }
    const std::shared_ptr<ImplantManager> manager = model_->getImplantManager();
    if (manager && manager->numberOfSelected() > 0)
        return describe("Implant %1: ", *manager, *manager->selectedBegin());
    return QString();
}
VEXA_RETHROW
