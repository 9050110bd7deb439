#include "shell/dialogs/CalibrationAcceptanceDialog.h"

#include "planning/model/Utilities.h"
#include "navigation/ICalibrationAcceptor.h"
#include "shell/widgets/WindowFlags.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QThread>
#include <QVBoxLayout>

CalibrationAcceptanceDialog::CalibrationAcceptanceDialog(ICalibrationAcceptor* controller, QWidget* parent)
    : Dialog(parent, "CalibAcceptanceDialog", true, WindowFlags::frameless), controller_(controller)
{
    auto* layout = new QVBoxLayout(this);
    layout->setObjectName("Layout");
    layout->setContentsMargins(15, 15, 15, 15);
    layout->setSpacing(5);
    layout->addWidget(new QLabel("Quality of instrument calibration:", this));
    for (QLabel*& line : lines_)
    {
        line = new QLabel(this);
        line->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
        layout->addWidget(line);
    }
    auto* row = new QHBoxLayout;
    row->setObjectName("ButtonLayout");
    row->setSpacing(15);
    layout->addLayout(row);
    accept_ = new QPushButton(tr("Accept"), this);
    cancel_ = new QPushButton(tr("Cancel"), this);
    for (QPushButton* button : {accept_, cancel_})
    {
        button->setMinimumSize(90, 70);
        row->addWidget(button);
    }
    connect(accept_, &QPushButton::pressed, this, &CalibrationAcceptanceDialog::doAccept);
    connect(cancel_, &QPushButton::pressed, this, &CalibrationAcceptanceDialog::doReject);
}

void CalibrationAcceptanceDialog::showQuality(std::pair<double, double> before, std::pair<double, double> during,
                                              std::pair<double, double> after)
{
    // The navigation's calibration update runs in the tracking timer's thread.
    if (QThread::currentThread() != thread())
    {
        QMetaObject::invokeMethod(
            this, [this, before, during, after] { showQuality(before, during, after); }, Qt::QueuedConnection);
        return;
    }
    if (isVisible())
        return;
    accept_->setDown(false);
    cancel_->setDown(false);
    const QString prefixes[3] = {tr("Before"), tr("During"), tr("  After")};
    const std::pair<double, double> values[3] = {before, during, after};
    for (int i = 0; i < 3; ++i)
        lines_[i]->setText(prefixes[i] + tr(" Calibration:") + " \t" + Utilities::getAsString(values[i]));
    result_ = 0;
    show();
}

QString CalibrationAcceptanceDialog::qualityLine(int index) const
{
    return index >= 0 && index < 3 ? lines_[index]->text() : QString();
}

void CalibrationAcceptanceDialog::reject()
{
    doReject();
}

void CalibrationAcceptanceDialog::doAccept()
{
    answer(true);
}

void CalibrationAcceptanceDialog::doReject()
{
    answer(false);
}

void CalibrationAcceptanceDialog::answer(bool accept)
{
    result_ = accept ? 1 : 0;
    hide();
    if (controller_)
    {
        controller_->acceptLastCalibration(accept);
        controller_->setStateUpdatesEnabled(true);
    }
}
