#pragma once
// The status bar under the main window: the patient (name, birthday, id), a text for what the
// user is doing (the selected implant in planning; calibration quality, registration quality
// or tracking errors with the nearest implant while navigating) and "Capturing" during a screen
// video. The three labels take 10/33, 19/33 and 4/33 of the width, also after a resize; a text
// that does not fit its share takes the room the others leave empty.
// Navigation values come from one snapshot per update; updates from other threads are handed
// to the GUI thread; the bar detaches from its Model when it goes or gets another.
#include "views/TimedView.h"

#include <QWidget>
#include <memory>

class Model;
class NavigationController;
class QLabel;
class QSplitter;
class SnapshotDataSource;

class StatusBarView : public QWidget, public TimedView
{
public:
    explicit StatusBarView(QWidget* parent, const char* name = nullptr);
    ~StatusBarView() override;

    // Attaches to the Model's notifications (and detaches from the previous one).
    void setModel(std::shared_ptr<Model> model);
    void setNavigationController(std::shared_ptr<NavigationController> controller);
    std::shared_ptr<Model> getModel() const override { return model_; }

    void update() override;
    void prepareStatus();
    // "name    (*dd/MM/yyyy)    id:id", always left to right.
    QString getPatientInfo() const;
    // A name as it is put into a left-to-right line of patient data: one that holds right-to-left
    // letters or direction marks is isolated (U+2068 ... U+2069), so that it keeps its own order
    // and the line keeps its own; any other name as it stands.
    static QString nameInLine(const QString& name);
    QString getStateDependendInfo() const;
    QString getCaptureStatus() const;
    QString getCalibrationQuality() const;
    QString getRegistrationQuality() const;

    Quorvane::IView* clone(QWidget*) const override { return nullptr; }
    bool isEmpty() const override { return false; }
    bool isAvailableInPlanning() const override { return true; }
    bool isAvailableInNavigation() const override { return true; }
    void reset() override {}

    QLabel* patientLabel() const { return patient_; }
    QLabel* stateLabel() const { return state_; }
    QLabel* captureLabel() const { return capture_; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void layoutLabels(int width);
    QString trackingInfo() const;

    std::shared_ptr<Model> model_;
    std::shared_ptr<NavigationController> controller_;
    std::shared_ptr<SnapshotDataSource> source_;
    QSplitter* splitter_;
    QLabel *patient_, *state_, *capture_;
};
