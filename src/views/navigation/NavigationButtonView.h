#pragma once
// The strip the main window shows in place of the planning buttons while navigating: the
// clinical-study button (each press flips its logo between blue and red and emits
// doClinicalStudy(), which logs a user-marked record), lamps for the drill registration, the
// handpiece and the patient locator, and the drill's distance and angle to the nearest
// implant. Lamps, distance and angle of one update come from one navigation tick. Lamps are
// swapped only when their answer changes. Distance and angle are blank while the drill is not
// registered (stale numbers would read as current). Pictures come from "Data/Images/" in the
// application folder.
#include "views/TimedView.h"

#include <QPixmap>
#include <QWidget>
#include <memory>

class Model;
class QLabel;
class QToolButton;
class SnapshotDataSource;

class NavigationButtonView : public QWidget, public TimedView
{
    Q_OBJECT

public:
    NavigationButtonView(std::shared_ptr<Model> model, QWidget* parent, const char* name = nullptr);
    ~NavigationButtonView() override;

    void update() override;
    std::shared_ptr<Model> getModel() const override { return model_; }
    Quorvane::IView* clone(QWidget*) const override { return nullptr; }
    bool isEmpty() const override { return false; }
    bool isAvailableInPlanning() const override { return true; }
    bool isAvailableInNavigation() const override { return true; }
    void reset() override {}

    QLabel* registrationLamp() const { return lamps_[0]; }
    QLabel* toolLamp() const { return lamps_[1]; }
    QLabel* patientLamp() const { return lamps_[2]; }
    QLabel* distanceLabel() const { return distance_; }
    QLabel* angleLabel() const { return angle_; }
    QToolButton* clinicalStudyButton() const { return button_; }
    bool isClinicalStudy() const { return clinicalStudy_; }
    // Lamp pictures set since construction (each change sets one).
    int lampChanges() const { return lampChanges_; }

public slots:
    virtual void clickedClinicalStudy();

signals:
    void doClinicalStudy();

private:
    void setVisibilities();
    void setImplantDistances();

    std::shared_ptr<Model> model_;
    std::shared_ptr<SnapshotDataSource> source_;
    QPixmap red_, green_;
    QLabel* lamps_[3];
    bool lit_[3] = {false, false, false};
    QLabel *distance_, *angle_;
    QToolButton* button_;
    bool clinicalStudy_ = false;
    int lampChanges_ = 0;
};
