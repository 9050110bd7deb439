#pragma once
// The row of planning tool buttons: Patient, Panoramic, Generate 3D, Implant, Nerve, Length, OK.
// The four toggles follow the Model's user state; each button is enabled only when the planning
// has what its step needs.
#include "vexa/core/IObserver.h"

#include <QWidget>
#include <memory>

class Model;
class QToolButton;

class PlanningButtonView : public QWidget, public Vexa::IObserver
{
    Q_OBJECT

public:
    PlanningButtonView(std::shared_ptr<Model> model, QWidget* parent, const char* name);
    ~PlanningButtonView() override;

    void update() override;
    void checkButtonState();
    // A button with its picture from "Data/Images/".
    static QToolButton* createButton(QWidget* parent, const QString& text, const QString& bitmap, bool toggle);

signals:
    void loadPatientData();
    void generate3DModel();
    void closeApp();

private slots:
    void panoramicButtonPressed();
    void implantButtonPressed();
    void nerveButtonPressed();
    void measureLengthButtonPressed();

private:
    void toggled(QToolButton* button, unsigned state);

    std::shared_ptr<Model> model_;
    QToolButton* patient_;
    QToolButton* panoramic_;
    QToolButton* generate_;
    QToolButton* implant_;
    QToolButton* nerve_;
    QToolButton* length_;
    QToolButton* ok_;
};
