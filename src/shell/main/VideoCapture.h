#pragma once
// Screen video of one window into Motion-JPEG AVI files: what the screen shows of the window is
// taken on a timer in the GUI thread, each picture compressed to JPEG and written as one frame.
// Frames the timer could not make in time are filled with the previous picture, so the video
// keeps the wall-clock time.
// A recording that reaches the AVI size limit goes on in a next file ("<name>_2.avi", ...).
// A frame that cannot be written (a full disk) ends the recording: its files keep the frames
// written until then and still play; a file that got no frame at all is removed. `failed` then
// tells the owner.
// States as the capture library numbered them: 8 idle, 1 starting, 2 capturing.
#include "shell/main/AviWriter.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>
#include <functional>

class QWidget;

class VideoCapture : public QObject
{
    Q_OBJECT

public:
    enum State { Starting = 1, Capturing = 2, Idle = 8 };
    static constexpr int framePeriodMs = 100;

    explicit VideoCapture(QWidget* window);
    ~VideoCapture() override;

    // The file of the next recording; false when it cannot be used.
    bool setFileName(const QString& fileName);
    QString fileName() const { return fileName_; }
    // False (with `errorText`) when the first file cannot be made or written.
    bool start();
    // Ends the recording and completes its file; false when a write failed.
    bool stop();
    State getState() const { return state_; }
    // Why the last recording failed, "" when it did not.
    const QString& errorText() const { return error_; }
    // The files of the last recording that hold frames.
    const QStringList& files() const { return files_; }
    // The JPEG of one picture (quality 80).
    static QByteArray compress(const QImage& picture);
    // What the screen shows of the window: the GL views with the texts drawn over them, and
    // whatever stands in front of the window. The widgets rendered afresh only where the screen
    // cannot be read (no X display, the window not shown); that rendering lacks the views' texts.
    static QImage shownPicture(QWidget& window);

signals:
    // The recording stopped by itself because a frame could not be written.
    void failed();

private:
    void onTimer();
    bool captureFrame();
    bool openNext();
    bool closeCurrent();
    bool writeFrame(const QByteArray& jpeg);

    QPointer<QWidget> window_;
    QString fileName_;
    QString current_;
    QStringList files_;
    QString error_;
    int part_ = 0;
    State state_ = Idle;
    AviWriter writer_;
    QTimer timer_;
    QElapsedTimer clock_;
    bool failed_ = false;
    qint64 frames_ = 0;
    QByteArray last_;
};
