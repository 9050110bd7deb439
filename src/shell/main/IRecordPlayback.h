#pragma once
// What the main window and the program's run use of the record/playback unit; the program
// entry supplies it (the shell does not know the unit itself). Without one, nothing is
// recorded or played.
#include <QByteArray>
#include <QString>
#include <functional>
#include <memory>

class QIODevice;
class QWidget;

class IRecordPlayback
{
public:
    virtual ~IRecordPlayback() = default;
    // 0 normal, 1 recording, 2 playback.
    virtual int mode() const = 0;
    // The script named on the command line, as given (relative to the working folder).
    virtual QString scriptFile() const = 0;
    // Starts recording into (or playing from) the device, which the unit opens itself. A start
    // while recording ends that recording first; a start while playing is ignored.
    virtual void startWithDevice(QWidget* mainWindow, QIODevice* device) = 0;
    // Test mode: shows the window and records into, or plays, the script file. `ended` gets the
    // exit code once a playback is over: 0 when it played to its end without an error.
    virtual void startWithFile(QWidget* mainWindow, std::function<void(int exitCode)> ended) = 0;
    // Ends a running recording; harmless when nothing is recorded.
    virtual void endRecording() = 0;
    // Whether the device of the recording ended last is still in a call of the unit's writer
    // that did not return (a file server that stopped answering): it must then be neither closed
    // nor destroyed, but left to the process's end.
    virtual bool holdsDevice() const { return false; }
    // Hears, in the GUI thread, why a recording could not be written on (a full disk) where the
    // unit itself tells nobody who sees the window.
    virtual void onRecordingFailure(std::function<void(const QString& message)> failed) {}
    // Whether the unit has reported an error (a configuration file it refused, a script it could
    // not play): a test run that did ends with -1, whatever ended it.
    virtual bool errorsReported() const { return false; }
};

// How the program makes its unit: `recordOption` stands in for an empty command line (so that
// a plain start records); `create` is called once the application object exists and takes the
// unit's own options out of the command line.
struct RecordPlaybackHook
{
    QByteArray recordOption = "-record";
    std::function<std::unique_ptr<IRecordPlayback>(int& argc, char** argv, bool testMode)> create;
};
