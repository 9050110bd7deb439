#pragma once
// The program's record/playback unit: the shell's interface over the configuration object of the
// record/playback component, set up as the program starts (settings, options, exec).
#include "shell/main/IRecordPlayback.h"

#include <QPointer>

class TapewrightConfig;

class TapewrightRecordPlayback : public IRecordPlayback
{
public:
    // Adjusts the component's settings for this program, makes the configuration from the command
    // line (which loses the component's options) and applies it.
    TapewrightRecordPlayback(int& argc, char** argv, bool testMode);
    ~TapewrightRecordPlayback() override;

    // The hook the program entry hands to the program's run.
    static RecordPlaybackHook hook();

    int mode() const override;
    QString scriptFile() const override;
    void startWithDevice(QWidget* mainWindow, QIODevice* device) override;
    void startWithFile(QWidget* mainWindow, std::function<void(int exitCode)> ended) override;
    void endRecording() override;
    bool holdsDevice() const override;
    // Any report of the component in this process, from the reading of the command line on.
    bool errorsReported() const override;
    void onRecordingFailure(std::function<void(const QString& message)> failed) override;

private:
    bool testMode_;
    QPointer<TapewrightConfig> config_;
    std::function<void(const QString&)> recordingFailed_;
    QPointer<QObject> heard_; // the recorder whose failures reach recordingFailed_
};
