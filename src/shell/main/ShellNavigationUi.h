#pragma once
// The shell's side of what the navigation controller asks of the user: the jaw choice and the
// calibration acceptance with the dialogs of the dialog kit, sounds and error messages. The
// controller calls it in the GUI thread.
#include "navigation/INavigationUi.h"

#include <QPointer>
#include <QWidget>
#include <memory>

class CalibrationAcceptanceDialog;

class ShellNavigationUi : public INavigationUi
{
public:
    explicit ShellNavigationUi(QWidget* parent) : parent_(parent) {}
    ~ShellNavigationUi() override;

    int chooseJaw() override;
    void showCalibrationQuality(std::shared_ptr<ICalibrationAcceptor> acceptor, const Accuracy& before,
                                const Accuracy& during, const Accuracy& after) override;
    void playSound(const std::string& wavFile) override;
    void showError(const std::string& text) override;

private:
    QPointer<QWidget> parent_;
    // The acceptor the dialog answers to lives as long as the dialog.
    std::shared_ptr<ICalibrationAcceptor> acceptor_;
    QPointer<CalibrationAcceptanceDialog> acceptance_;
};
