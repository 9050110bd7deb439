#include "shell/dialogs/NoticeBox.h"

#include "shell/dialogs/MessageDialog.h"

#include <QPointer>

namespace {

// The box open now; only the GUI thread shows notices.
QPointer<MessageDialog> openBox;

}

void NoticeBox::show(const QString& caption, const QString& text)
{
    if (openBox)
    {
        openBox->addText(text);
        return;
    }
    MessageDialog dialog(nullptr, caption, text, MessageDialog::Ok);
    openBox = &dialog;
    dialog.exec();
    openBox = nullptr;
}
