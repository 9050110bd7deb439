#pragma once
// The recording unit: an event filter on the application that turns the events of widgets into
// script elements, lets recorder adapters replace them, names the widget, stamps the time and
// writes each element at once. Only widgets are recorded (Qt 6 also shows each input event to
// the window object first). A shortcut reaches its QAction as QEvent::Shortcut: it is recorded
// as "Accel" with the key of the override that preceded it, addressed to that override's widget.
// The clock is injectable so that time stamps can be tested without waiting.
#include "tapewright/AdapterInterface.h"
#include "tapewright/IgnoreMap.h"
#include "tapewright/PlayBackOutput.h"

#include <QDomDocument>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QTcpSocket>
#include <functional>
#include <memory>

class QFile;
class QIODevice;
class QKeyEvent;
class PropertyPicker;
class RecorderDialog;
class ScriptWriter;
class SleepDialog;

class Recorder : public QObject, public AdapterInterface
{
    Q_OBJECT
public:
    // Milliseconds of a monotonic clock.
    using Clock = std::function<qint64()>;

    explicit Recorder(QObject* parent = nullptr, Clock clock = {});
    ~Recorder() override;

    // Starts recording into a file or an unopened device. When it cannot be opened the error is
    // reported and the recording runs without a script (false is returned). The values of picked
    // properties are printed to the output file, created now (standard output when null).
    bool start(const QString& scriptFile, const QString& outputFile = QString());
    bool start(QIODevice* device, const QString& outputFile = QString());
    bool isRecording() const { return recording_; }
    // Records onto the remote link: every element goes to the socket as it is recorded, and to a
    // local copy: the device when given (the host's encrypted log), else the script file when
    // not null. Lines the player sends back go to the output file (standard output when null).
    bool setSocket(QTcpSocket* socket, QIODevice* localCopy, const QString& scriptFile, const QString& outputFile);
    bool isLinked() const { return socket_ != nullptr; }
    // Whether the script's writer of the recording ended last did not return from a call on its
    // device (a file server that stopped answering): the device given must then neither be
    // closed nor destroyed, but left to the process's end.
    bool writerOut() const;
    // Ends the local copy of a linked recording and goes on into the new device.
    void setLocalCopy(QIODevice* device);

    bool eventFilter(QObject* object, QEvent* event) override;
    virtual bool recordEvent(QObject* object, QEvent* event, QDomElement& element, bool spontaneous);

    void addElement(QDomElement element, int sleep = -1) override;
    void ignoreChildren(QObject* object) override;
    void ignoreObject(QObject* object) override;
    void unignoreObject(QObject* object) override;

    // While an action's own dialog is open nothing is recorded and its time does not count.
    void pauseClock();
    void resumeClock();

    // Points at a widget and writes a "ScreenDump" of it, or of its whole window.
    void screenDump(bool dialog);
    // The sidebar while recording with it, else null.
    RecorderDialog* sidebar() const;

public slots:
    void stop();
    // Recorder actions: each writes its element with sleep 0; the dialogs they open are not
    // recorded and their time does not count towards the next element's sleep.
    void slotShowMessageBox();
    void slotShowPropertyPicker();
    void slotIncludeScript();
    void slotScreenDumpDialog();
    void slotScreenDumpWidget();
    void slotSleep();
    void slotSleepAsLast();
    void slotRunExernalCommand();

signals:
    void recordingEnded();
    // The script could not be written on (a full disk): the report's text, once per script.
    void scriptFailure(const QString& message);

private:
    bool startRecording(QIODevice* device, const QString& name);
    bool startFile(const QString& scriptFile);
    bool startDevice(QIODevice* device);
    bool openWriter(QIODevice* device, const QString& name);
    void closeWriter();
    // Tells once per script that it could not be written on.
    void scriptFailed(const QString& why);
    // Reports a failure the writer's thread met, if it is the running script's.
    void writerFailed();
    void readSocket();
    void linkClosed();
    qint64 elapsed() const;
    void restartClock();
    void restartIfRelative();
    void showSidebar();
    void closeSidebarAfter(QObject* closing);
    void savePropertySet(const QDomElement& events, QString fileName);

    Clock clock_;
    qint64 clockStart_ = 0;
    qint64 pauseStart_ = 0;
    qint64 pausedMs_ = 0;
    bool recording_ = false;
    std::shared_ptr<QFile> ownFile_;
    QPointer<QIODevice> device_;
    std::unique_ptr<ScriptWriter> writer_;
    // The writer of the last recording while it did not return from its device.
    std::unique_ptr<ScriptWriter> leftWriter_;
    QString scriptName_;
    bool scriptFailureTold_ = false;
    QDomDocument document_;
    IgnoreMap ignoreMap_;
    // The last shortcut override, whose key a following shortcut event stands for.
    QPointer<QObject> overrideReceiver_;
    std::unique_ptr<QKeyEvent> override_;
    // Keys pressed while recording ran: only their releases are recorded.
    QSet<int> keysDown_;
    bool whatsThisMode_ = false;
    int exitHook_ = 0;
    QPointer<QTcpSocket> socket_;
    std::unique_ptr<SleepDialog> sleepDialog_;
    std::unique_ptr<PropertyPicker> picker_;
    QPointer<RecorderDialog> sidebar_;
    bool paused_ = false;
    // Picked properties and the lines the player sends back over the link.
    PlayBackOutput output_;
};
