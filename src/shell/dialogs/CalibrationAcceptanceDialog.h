#pragma once
// Shows the quality of an instrument calibration before, during and after it and lets the user
// keep ("Accept", result 1) or discard ("Cancel", result 0) the new calibration. Shown without
// blocking while tracking goes on; Escape answers like "Cancel", so navigation never stays frozen.
#include "shell/dialogs/Dialog.h"

#include <utility>

class ICalibrationAcceptor;
class QLabel;
class QPushButton;

class CalibrationAcceptanceDialog : public Dialog
{
    Q_OBJECT

public:
    // The controller is not owned and may be null (then the answers only close the dialog).
    CalibrationAcceptanceDialog(ICalibrationAcceptor* controller, QWidget* parent);

    // Fills the three lines ("u=... s=..." per pair), resets the result and shows the dialog,
    // unless it is visible already (then nothing changes). Callable from any thread: the work is
    // handed to the dialog's thread.
    virtual void showQuality(std::pair<double, double> before, std::pair<double, double> during,
                             std::pair<double, double> after);

    int getResult() const { return result_; }
    QString qualityLine(int index) const;

    void reject() override;

private slots:
    void doAccept();
    void doReject();

private:
    void answer(bool accept);

    int result_ = 0;
    QPushButton* accept_ = nullptr;
    QPushButton* cancel_ = nullptr;
    QLabel* lines_[3] = {};
    ICalibrationAcceptor* controller_;
};
