#include "shell/dialogs/LoadDialog.h"

#include "shell/widgets/Fonts.h"
#include "shell/widgets/WindowFlags.h"

#include <QHBoxLayout>
#include <QPushButton>

LoadDialog::LoadDialog(QWidget* parent) : Dialog(parent, "LoadDialog", true, WindowFlags::titled)
{
    setWindowTitle("Load patient");
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setFixedSize(504, 120);
    setFont(Fonts::dialogFont());
    setSizeGripEnabled(false);

    auto* layout = new QHBoxLayout(this);
    layout->setObjectName("ButtonLayout");
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    const struct
    {
        QString caption;
        void (LoadDialog::*slot)();
    } buttons[] = {
        {tr("Start new\n planning"), &LoadDialog::doNewPlanning},
        {tr("Reload\n planning"), &LoadDialog::doReloadPlanning},
        {tr("Cancel"), &LoadDialog::doCancel},
    };
    QPushButton* last = nullptr;
    for (const auto& b : buttons)
    {
        last = new QPushButton(b.caption, this);
        last->setFixedSize(120, 63);
        layout->addWidget(last);
        connect(last, &QPushButton::clicked, this, b.slot);
    }
    last->setFocus();
}

void LoadDialog::doNewPlanning()
{
    result_ = 0;
    QDialog::accept();
}

void LoadDialog::doReloadPlanning()
{
    result_ = 1;
    QDialog::accept();
}

void LoadDialog::doCancel()
{
    QDialog::reject();
}
