#pragma once
// Runs one long job in a worker thread of its own under a modal progress bar. The bar is polled
// every 50 ms; a cancel button is offered only when the job can be cancelled; the dialog closes
// itself once the job has returned, and never before: Escape and closing the window only ask a
// cancelable job to stop.
//
// An exception that escapes the job is caught in the worker, recorded on the exception trail and
// kept for the caller (`getException`, `getErrorText`); the process goes on.
#include <QProgressDialog>
#include <QString>
#include <QThread>
#include <atomic>
#include <exception>

namespace Vexa {
class IAlgorithmProgressState;
}

class AlgorithmProgressDialog : public QProgressDialog
{
    Q_OBJECT

public:
    class ExecuteThread : public QThread
    {
    public:
        explicit ExecuteThread(Vexa::IAlgorithmProgressState* job);
        ~ExecuteThread() override;

        // True once the job has returned (or thrown); everything the job did is then visible.
        bool hasEnded() const { return ended_.load(std::memory_order_acquire); }
        std::exception_ptr getException() const { return hasEnded() ? exception_ : nullptr; }
        QString getErrorText() const { return hasEnded() ? errorText_ : QString(); }

    protected:
        void run() override;

    private:
        Vexa::IAlgorithmProgressState* job_;
        std::exception_ptr exception_;
        QString errorText_;
        std::atomic<bool> ended_{false};
    };

    // A null `label` shows the job's short description, as it changes. The job is not owned; it
    // must outlive the dialog.
    AlgorithmProgressDialog(Vexa::IAlgorithmProgressState* job, const QString& label, int minimumDuration,
                            QWidget* parent);
    // Waits for the worker without a time limit, so the job is no longer used afterwards.
    ~AlgorithmProgressDialog() override;

    // How many of these dialogs exist now: from the job's start until the caller has taken its
    // result, the program is busy (what a recorded session waited for). GUI thread only.
    static int liveCount() { return live_; }

    // What escaped the job's `start`, if anything (after `exec`).
    std::exception_ptr getException() const { return thread_.getException(); }
    QString getErrorText() const { return thread_.getErrorText(); }

public slots:
    // Runs the job; 0 when the user cancelled, else 1 (also when the job failed or threw).
    int exec() override;
    // Asks the job to stop; the dialog stays until the job has returned.
    virtual void cancel();

protected:
    void timerEvent(QTimerEvent* event) override;
    void reject() override;
    void closeEvent(QCloseEvent* event) override;

private:
    Vexa::IAlgorithmProgressState* job_;
    ExecuteThread thread_;
    int timerId_ = 0;
    int result_ = 1;
    bool describedByJob_;
    static inline int live_ = 0;
};
