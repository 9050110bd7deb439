#pragma once
// The planning panel at the right edge of the main widget: the implant list and its selection,
// undo, parallel, delete, exchange, bone density, deleting the nerve or the panoramic line, and
// the brightness window. Changes to the planning go through undoable commands.
#include "vexa/core/IObserver.h"

#include <QFrame>
#include <QStringList>
#include <memory>

class Model;
class QLabel;
class QListWidget;
class QPushButton;
class RangeSlider;

class ControlView : public QFrame, public Vexa::IObserver
{
    Q_OBJECT

public:
    ControlView(std::shared_ptr<Model> model, QWidget* parent, const char* name);
    ~ControlView() override;

    void update() override;
    virtual void checkWidgetStates();
    void updateImplantListBox();
    // The implant list's rows as the implants are now: number, group letter, diameter, length.
    QStringList implantRows() const;
    static QString convertNumberToGroupLetter(unsigned group);
    bool isSelectionOK() const;
    void updateAll();

private slots:
    void undo();
    void setImplantsParallel();
    void deleteImplant();
    void exchangeImplant();
    void deleteNerve();
    void selectImplants();
    void buildSelection();
    void showBoneDensity();
    void deletePanoramicLine();
    void changeSliderRangeLowValue(int value);
    void changeSliderRangeMidValue(int value);
    void changeSliderRangeHighValue(int value);
    void reset();

private:
    // The slider shows the Model's window (an import or a load sets one of its own).
    void showModelWindow();
    void takeSliderValue(void (Model::*set)(int), int value);
    QPushButton* createButton(const QString& text);
    bool confirm(const QString& question);
    void rebuildAndNotify();

    std::shared_ptr<Model> model_;
    QListWidget* implantList_;
    QPushButton* undo_;
    QPushButton* parallel_;
    QPushButton* delete_;
    QPushButton* exchange_;
    QPushButton* deleteNerve_;
    QPushButton* density_;
    QPushButton* deletePanoramic_;
    RangeSlider* slider_;
    QLabel* brightness_;
    bool buildingSelection_ = false;
    // Set while a move of the slider is handed to the Model: its three values arrive one by one.
    bool followingSlider_ = false;
};
