#include "shell/dialogs/AlgorithmProgressDialog.h"

#include "shell/widgets/WindowFlags.h"
#include "shell/widgets/WrappingLabel.h"
#include "vexa/core/ExceptionStack.h"
#include "vexa/core/IAlgorithmProgressState.h"

#include <QApplication>
#include <QCloseEvent>
#include <QProgressBar>
#include <QScreen>
#include <QStyle>
#include <QStyleFactory>
#include <algorithm>
#include <climits>
#include <cmath>
#include <stdexcept>

AlgorithmProgressDialog::ExecuteThread::ExecuteThread(Vexa::IAlgorithmProgressState* job) : job_(job) {}

AlgorithmProgressDialog::ExecuteThread::~ExecuteThread() = default;

void AlgorithmProgressDialog::ExecuteThread::run()
{
    // Nothing may escape a thread: it would end the process.
    try
    {
        try
        {
            job_->start();
        }
        VEXA_RETHROW
    }
    catch (const std::exception& e)
    {
        exception_ = std::current_exception();
        errorText_ = QString::fromLocal8Bit(e.what());
    }
    catch (...)
    {
        exception_ = std::current_exception();
        errorText_ = QStringLiteral("unknown exception");
    }
    ended_.store(true, std::memory_order_release);
}

namespace {

// The classic look these dialogs had is gone; Fusion is the stand-in when it exists.
QStyle* classicStyle(QObject* owner)
{
    QStyle* style = QStyleFactory::create("Motif");
    if (!style)
        style = QStyleFactory::create("Fusion");
    if (style)
        style->setParent(owner);
    return style;
}

// A wait names a lock by its whole path: the description wraps rather than widening the dialog
// past the screen.
class DescriptionLabel : public WrappingLabel
{
public:
    using WrappingLabel::WrappingLabel;

    QSize sizeHint() const override
    {
        const QMargins m = contentsMargins();
        const QScreen* shownOn = screen();
        const int widest = shownOn ? shownOn->availableGeometry().width() * 3 / 5 : 600;
        const int width = std::min(naturalWidth(), widest) + m.left() + m.right();
        return {width, heightForWidth(width)};
    }
};

}

AlgorithmProgressDialog::AlgorithmProgressDialog(Vexa::IAlgorithmProgressState* job, const QString& label,
                                                 int minimumDuration, QWidget* parent)
    : QProgressDialog(label.isNull() ? QString::fromStdString(job->getShortDescription()) : label, tr("cancel"), 0,
                      1000, parent, WindowFlags::dialog(WindowFlags::titledDialog)),
      job_(job), thread_(job), describedByJob_(label.isNull())
{
    ++live_;
    setObjectName("ProgressStateDlg");
    setModal(true);
    setLabel(new DescriptionLabel(labelText()));
    auto* bar = new QProgressBar(this);
    bar->setRange(0, 1000);
    if (QStyle* style = classicStyle(bar))
        bar->setStyle(style);
    setBar(bar);

    // QProgressDialog ends its loop on its own cancel (button, Escape shortcut, close); here only
    // the job's end may do that.
    disconnect(this, SIGNAL(canceled()), this, nullptr);
    if (job_->isCancelable())
    {
        if (QStyle* style = classicStyle(this))
            setStyle(style);
        connect(this, &QProgressDialog::canceled, this, &AlgorithmProgressDialog::cancel);
    }
    else
        setCancelButton(nullptr);
    setMinimumDuration(minimumDuration);
    setAutoClose(true);
    setAutoReset(false);
    setWindowTitle(QString());
}

AlgorithmProgressDialog::~AlgorithmProgressDialog()
{
    --live_;
    if (timerId_)
        killTimer(timerId_);
    thread_.wait(QDeadlineTimer(QDeadlineTimer::Forever));
    thread_.hasEnded(); // pairs with the worker's last write
}

int AlgorithmProgressDialog::exec()
{
    setValue(0);
    thread_.start(QThread::LowPriority);
    timerId_ = startTimer(50);
    QDialog::exec();
    // The loop ends only through the job's end; should anything else have ended it, the caller
    // still must not see a running job.
    if (!thread_.hasEnded())
        thread_.wait(QDeadlineTimer(QDeadlineTimer::Forever));
    QApplication::processEvents();
    return result_;
}

void AlgorithmProgressDialog::cancel()
{
    job_->cancel();
    result_ = 0;
}

void AlgorithmProgressDialog::timerEvent(QTimerEvent* event)
{
    if (event->timerId() != timerId_)
    {
        QProgressDialog::timerEvent(event);
        return;
    }
    if (thread_.hasEnded())
        reset();
    else {
        setValue(int(std::trunc(job_->getProgressState() * 1000.0)));
        if (describedByJob_)
            if (const QString text = QString::fromStdString(job_->getShortDescription()); text != labelText())
                setLabelText(text);
    }
}

void AlgorithmProgressDialog::reject()
{
    if (!thread_.isRunning() || thread_.hasEnded())
    {
        if (timerId_ == 0) // never started: nothing to wait for
            QProgressDialog::reject();
        return;
    }
    if (job_->isCancelable())
        cancel();
}

void AlgorithmProgressDialog::closeEvent(QCloseEvent* event)
{
    event->ignore();
    reject();
}
