#pragma once
// A long-running job: run by `start` in a worker thread while the GUI thread polls its
// progress and may ask it to stop.
#include <string>

namespace Vexa {

class IAlgorithmProgressState
{
public:
    virtual ~IAlgorithmProgressState() = default;
    // Runs the whole job in the calling thread; true when it completed.
    virtual bool start() = 0;
    // Asks a running `start` to stop as soon as it can; callable from any thread.
    virtual void cancel() = 0;
    // Progress from 0.0 to 1.0; callable from any thread while `start` runs.
    virtual double getProgressState() const = 0;
    // The job's title, which may tell what a running job waits for; callable from any thread
    // while `start` runs.
    virtual std::string getShortDescription() const = 0;
    // Whether the job honours `cancel`.
    virtual bool isCancelable() const = 0;
};

}
