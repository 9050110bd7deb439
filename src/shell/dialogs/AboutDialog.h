#pragma once
// The borderless about box: the picture "Data/Images/Morvanta.bmp" of the application folder
// over the whole dialog, the version and the running mode below it, and "Ok". Without the
// picture the box shows its plain background.
#include "shell/dialogs/Dialog.h"

#include <QPixmap>

class AboutDialog : public Dialog
{
    Q_OBJECT

public:
    explicit AboutDialog(const QString& componentName);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QPixmap background_;
};
