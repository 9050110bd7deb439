#include "shell/dialogs/MessageDialog.h"

#include "shell/widgets/Fonts.h"
#include "shell/widgets/WindowFlags.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

MessageDialog::MessageDialog(QWidget* parent, const QString& caption, const QString& text, int buttons,
                             const QString& yesCaption)
    : Dialog(parent, "MessageDialog", true, WindowFlags::titled)
{
    setWindowTitle(caption);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setFixedSize(504, 170);
    setFont(Fonts::dialogFont());
    setSizeGripEnabled(false);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(15, 15, 15, 15);
    layout->setSpacing(5);
    auto* label = new QLabel(text, this);
    label->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    layout->addWidget(label);
    auto* row = new QHBoxLayout;
    row->setSpacing(5);
    layout->addLayout(row);

    const struct
    {
        int code;
        QString caption;
        void (MessageDialog::*slot)();
    } order[] = {
        {Yes, yesCaption.isNull() ? tr("Yes") : yesCaption, &MessageDialog::doYes},
        {No, tr("No"), &MessageDialog::doNo},
        {Ok, tr("Ok"), &MessageDialog::doOk},
        {Cancel, tr("Cancel"), &MessageDialog::doCancel},
    };
    for (const auto& b : order)
    {
        if (!(buttons & b.code))
            continue;
        auto* button = new QPushButton(b.caption, this);
        button->setFixedSize(120, 63);
        button->setFocus();
        row->addWidget(button);
        connect(button, &QPushButton::clicked, this, b.slot);
    }
}

void MessageDialog::doCancel()
{
    result_ = Cancel;
    QDialog::reject();
}

void MessageDialog::doNo()
{
    result_ = No;
    QDialog::accept();
}

void MessageDialog::doYes()
{
    result_ = Yes;
    QDialog::accept();
}

void MessageDialog::doOk()
{
    result_ = Ok;
    QDialog::accept();
}
