#include "shell/dialogs/Dialog.h"

#include "shell/widgets/WindowFlags.h"

#include <QApplication>

Dialog::Dialog(QWidget* parent, const char* name, bool modal, int styles)
    : QDialog(parent, WindowFlags::dialog(styles))
{
    if (name)
        setObjectName(name);
    setModal(modal);
}

Dialog::~Dialog() = default;

int Dialog::exec()
{
    const int result = QDialog::exec();
    QApplication::processEvents();
    return result;
}
