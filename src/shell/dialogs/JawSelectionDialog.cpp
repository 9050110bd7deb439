#include "shell/dialogs/JawSelectionDialog.h"

#include "shell/widgets/WindowFlags.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QPushButton>

JawSelectionDialog::JawSelectionDialog(QWidget* parent) : Dialog(parent, nullptr, true, WindowFlags::frameless)
{
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(30, 30, 30, 30);
    layout->setSpacing(30);
    auto* upper = new QPushButton(Dialog::tr("Upper Jaw"), this);
    auto* lower = new QPushButton(Dialog::tr("Lower Jaw"), this);
    for (QPushButton* button : {upper, lower})
    {
        button->setMinimumSize(90, 70);
        layout->addWidget(button);
    }
    connect(upper, &QPushButton::pressed, this, &JawSelectionDialog::accept);
    connect(lower, &QPushButton::pressed, this, &JawSelectionDialog::reject);
}

void JawSelectionDialog::accept()
{
    result_ = 0;
    QDialog::accept();
}

void JawSelectionDialog::reject()
{
    result_ = 1;
    QDialog::accept();
}

void JawSelectionDialog::keyPressEvent(QKeyEvent* event)
{
    // Escape would reach reject and pick the lower jaw; the calibration would be stored for
    // a jaw nobody chose.
    if (event->key() == Qt::Key_Escape)
        event->accept();
    else
        Dialog::keyPressEvent(event);
}

void JawSelectionDialog::closeEvent(QCloseEvent* event)
{
    event->ignore();
}
