#include "views/navigation/NavigationButtonView.h"

#include "planning/model/Model.h"
#include "platform/ApplicationFolder.h"
#include "vexa/core/ExceptionStack.h"
#include "views/ViewFailure.h"
#include "views/navigation/DisplayTimer.h"
#include "views/navigation/CanvasText.h"
#include "views/navigation/SnapshotDataSource.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

QString image(const char* name)
{
    return QString::fromStdString(Platform::applicationPath(std::string("Data/Images/") + name));
}

QLabel* textLabel(const char* text, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return label;
}

}

NavigationButtonView::NavigationButtonView(std::shared_ptr<Model> model, QWidget* parent, const char* name)
    : QWidget(parent), model_(std::move(model)),
      source_(std::make_shared<SnapshotDataSource>(model_, SnapshotDataSource::controllerOf(model_))),
      red_(image("RedLight.bmp")), green_(image("GreenLight.bmp"))
{
    if (name)
        setObjectName(name);
    auto* row = new QHBoxLayout(this);
    row->setObjectName("NavigationButtonLayout");
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(6);

    button_ = new QToolButton(this);
    button_->setObjectName("ClinicalStudyButton");
    button_->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Expanding);
    CanvasText::installFontSubstitutions();
    QFont f("System", 12);
    f.setBold(true);
    button_->setFont(f);
    const QPixmap logo(image("Logo Clinical Study Blue.bmp"));
    button_->setIcon(QIcon(logo));
    button_->setIconSize(logo.isNull() ? QSize(64, 64) : logo.size());
    button_->setFocusPolicy(Qt::NoFocus);
    row->addWidget(button_);

    auto* column = new QVBoxLayout();
    row->addLayout(column);
    auto* lampBox = new QGroupBox(QString(), this);
    auto* valueBox = new QGroupBox(QString(), this);
    column->addWidget(lampBox);
    column->addWidget(valueBox);

    auto* lampRow = new QHBoxLayout(lampBox);
    lampRow->setContentsMargins(5, 5, 5, 5);
    lampRow->setSpacing(20);
    const char* const names[] = {"Registration", "Tool", "Patient"};
    for (int i = 0; i < 3; ++i) {
        lampRow->addWidget(textLabel(names[i], lampBox));
        lamps_[i] = new QLabel(lampBox);
        lamps_[i]->setFixedSize(32, 32);
        lamps_[i]->setPixmap(red_);
        lamps_[i]->setScaledContents(true);
        lamps_[i]->setFrameStyle(QFrame::WinPanel | QFrame::Raised);
        lampRow->addWidget(lamps_[i]);
    }
    auto* valueRow = new QHBoxLayout(valueBox);
    valueRow->setContentsMargins(5, 5, 5, 5);
    valueRow->setSpacing(10);
    for (auto [text, label] : {std::pair{"Distance:", &distance_}, std::pair{"Angle:", &angle_}}) {
        valueRow->addWidget(textLabel(text, valueBox));
        *label = new QLabel(valueBox);
        (*label)->setFrameStyle(QFrame::WinPanel | QFrame::Sunken);
        (*label)->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        valueRow->addWidget(*label);
    }

    connect(button_, &QToolButton::clicked, this, [this] {
        try {
            clickedClinicalStudy();
        }
        VIEW_CATCH_ALL
    });
    DisplayTimer::connect(this, *this);
    if (model_)
        model_->attach(this);
}

NavigationButtonView::~NavigationButtonView()
{
    if (model_)
        model_->detach(this);
    stopSelfUpdating();
}

void NavigationButtonView::update() try
{
    if (handOverToGuiThread())
        return;
    TimedView::update();
    if (!isVisible())
        return;
    source_->capture();
    setVisibilities();
    setImplantDistances();
}
VEXA_RETHROW

void NavigationButtonView::setVisibilities() try
{
    const bool answers[] = {source_->isDrillRegistered(), source_->isHandpieceTrackerValid(),
                            source_->isPatientLocTrackerValid()};
    for (int i = 0; i < 3; ++i)
        if (answers[i] != lit_[i]) {
            lit_[i] = answers[i];
            lamps_[i]->setPixmap(lit_[i] ? green_ : red_);
            ++lampChanges_;
        }
}
VEXA_RETHROW

void NavigationButtonView::setImplantDistances() try
{
    const NavigationSnapshot& tick = source_->snapshot();
    const bool shown = tick.drillRegistered && tick.nearestImplant;
    distance_->setText(shown ? QString::number(tick.nearestImplantDistance, 'f', 2) : QString());
    angle_->setText(shown ? QString::number(tick.nearestImplantAngle, 'f', 2) : QString());
}
VEXA_RETHROW

void NavigationButtonView::clickedClinicalStudy() try
{
    clinicalStudy_ = !clinicalStudy_;
    const QPixmap logo(image(clinicalStudy_ ? "Logo Clinical Study Red.bmp" : "Logo Clinical Study Blue.bmp"));
    button_->setIcon(QIcon(logo));
    button_->QWidget::update();
    emit doClinicalStudy();
}
VEXA_RETHROW
