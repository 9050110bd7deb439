#pragma once
// The first step of loading: start a new planning from DICOM data (result 0), reload a saved
// planning (result 1), or cancel (`exec` gives 0, the result stays 0).
#include "shell/dialogs/Dialog.h"

class LoadDialog : public Dialog
{
    Q_OBJECT

public:
    explicit LoadDialog(QWidget* parent);

    int getResult() const { return result_; }

protected slots:
    virtual void doNewPlanning();
    virtual void doReloadPlanning();
    virtual void doCancel();

private:
    int result_ = 0;
};
