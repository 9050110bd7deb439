#pragma once
// Asks for which jaw a forced instrument calibration is done: "Upper Jaw" (result 0) or "Lower
// Jaw" (result 1); both accept. Escape and closing the window are ignored: a jaw is only chosen
// by a button.
#include "shell/dialogs/Dialog.h"

class JawSelectionDialog : public Dialog
{
public:
    explicit JawSelectionDialog(QWidget* parent);

    int getResult() const { return result_; }

    // Upper jaw.
    void accept() override;
    // Lower jaw; also accepts.
    void reject() override;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    int result_ = 0;
};
