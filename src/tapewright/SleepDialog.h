#pragma once
// Asks the recording operator for a pause to put into the script; keeps its value for the next
// time and for "Sleep as Last".
#include <QDialog>

class QSpinBox;

class SleepDialog : public QDialog
{
    Q_OBJECT
public:
    explicit SleepDialog(QWidget* parent = nullptr);
    int value() const;

private:
    QSpinBox* spin_;
};
