#pragma once
// Common ground of the volume algorithm jobs: progress and cancel flags that other threads
// may touch while `start` runs, and the rule that a job keeps its own failure as text
// instead of letting it out of the worker thread.
#include "vexa/core/IAlgorithmProgressState.h"

#include <atomic>
#include <functional>
#include <string>

namespace Vexa {

class AbstractAlgorithm : public IAlgorithmProgressState
{
public:
    void cancel() override;
    double getProgressState() const override;
    std::string getShortDescription() const override;
    bool isCancelable() const override;

    // Why the last `start` did not complete; empty after success.
    const std::string& getErrorMessage() const;
    // True when the last `start` stopped because it was cancelled.
    bool wasCancelled() const;

protected:
    // unknownErrorText is reported for anything thrown that is not a std::exception.
    AbstractAlgorithm(std::string title, std::string unknownErrorText);

    // Runs body under the failure rule: resets progress and the error text, returns body's
    // result, or false with the error text kept when it throws. A cancel request stays in
    // force (one made before the body starts stops it at once), so a cancelled job object is
    // not run again. A cancelled body returns false with the error text "Cancelled.".
    bool run(const std::function<bool()>& body);

    void setProgress(double progress);
    bool isCancelRequested() const;
    // Records that the body gave up because of a cancel request; returns false for `return`.
    bool cancelled();

private:
    std::string title_;
    std::string unknownErrorText_;
    std::string errorMessage_;
    std::atomic<double> progress_{0.0};
    std::atomic<bool> cancelRequested_{false};
    bool cancelled_ = false;
};

}
