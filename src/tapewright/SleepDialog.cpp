#include "tapewright/SleepDialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

SleepDialog::SleepDialog(QWidget* parent) : QDialog(parent), spin_(new QSpinBox(this))
{
    setObjectName(QStringLiteral("sleepDialog"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 6, 6, 6);
    auto* top = new QHBoxLayout;
    top->setSpacing(6);
    layout->addLayout(top);
    auto* label = new QLabel(tr("sleep period: "), this);
    label->setObjectName(QStringLiteral("label"));
    top->addWidget(label);
    spin_->setObjectName(QStringLiteral("_spin"));
    spin_->setRange(100, 10000);
    spin_->setSingleStep(100);
    spin_->setSuffix(tr("msec"));
    spin_->setValue(100);
    top->addWidget(spin_);
    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(6);
    layout->addLayout(buttons);
    buttons->addStretch();
    auto* cancel = new QPushButton(tr("Cancel"), this);
    auto* ok = new QPushButton(tr("OK"), this);
    ok->setDefault(true);
    buttons->addWidget(cancel);
    buttons->addWidget(ok);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

int SleepDialog::value() const { return spin_->value(); }
