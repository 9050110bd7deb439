#pragma once
// What the main window and main use of the record/playback unit. Until that unit exists the
// window runs without one (nothing is recorded or played).
#include <QString>

class QIODevice;
class QWidget;

class IRecordPlayback
{
public:
    virtual ~IRecordPlayback() = default;
    // 2 playback, otherwise recording.
    virtual int mode() const = 0;
    // The script to play, relative to the application folder.
    virtual QString scriptFile() const = 0;
    // Starts recording into (or playing from) the open device.
    virtual void startWithDevice(QWidget* mainWindow, QIODevice* device) = 0;
    virtual void endRecording() = 0;
};
