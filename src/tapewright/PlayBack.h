#pragma once
// The player: walks a script one element per step, waits between steps as the script says, finds
// each element's widget by its path (waiting for widgets that appear late) and replays the
// element. Steps run from a single-shot timer, or when the widget waited for appears; a step is
// never re-entered and nothing plays after endPlayBack(). Scripts are held compact (Script) and
// turned into elements one at a time. Includes nest at most 16 deep, never in a cycle, and the
// scripts played at once hold at most Script::maxHeldBytes; a run of a file ends with an error
// once it has included more files or played more elements than any real script does; delays are
// clamped to ten minutes and negative ones run at once. Nothing that arrives over the remote link
// ends the process or the link: an element that cannot be played from there is reported as a
// continuable error and skipped (a "Close" of the main window closes it, though, as a recorded one
// does). When the peer closes the link, or breaks it with a piece too long, what it sent whole
// before is played to the end, and then playback ends; a close in the middle of an element is
// reported, and so is, unattended, one before any element. The link is read only as fast as its
// elements are played: a faster peer is held back by the socket, not queued without bound.
// No step waits for a modal dialog that the elements it played opened: the run ends after what
// they posted has been delivered, also when that opened a dialog (named on standard error). A run
// that ends before its script does (the application quits or loses its last window, the player
// stops) reports the input and the checks it left unplayed; nothing plays after a played close of
// a window until that close has begun. Unattended, an "Information" element's text goes to
// standard error.
#include "tapewright/LinkFramer.h"
#include "tapewright/PlayBackOutput.h"
#include "tapewright/Script.h"

#include <QDomElement>
#include <QElapsedTimer>
#include <QEvent>
#include <QObject>
#include <QPointer>
#include <QTcpSocket>
#include <QStringList>
#include <functional>
#include <memory>
#include <vector>

class QIODevice;
class QTimer;
class QWidget;

class PlayBack : public QObject
{
    Q_OBJECT
public:
    static constexpr int maxIncludeDepth = 16;
    static constexpr int maxDelayMs = 10 * 60 * 1000;
    // Bounds on the work of one run of a file, includes counted: fan-outs of nested includes
    // grow without end while each level stays small.
    static constexpr int defaultMaxIncludedFiles = 10000;
    static constexpr qint64 defaultMaxPlayedElements = 50'000'000;
    // Bytes of whole pieces from the link waiting to be played, and of the socket's own buffer:
    // beyond them the link is not read until the player has caught up.
    static constexpr qsizetype maxQueuedLinkBytes = 4 * 1024 * 1024;
    static constexpr qsizetype linkReadBufferBytes = 256 * 1024;

    explicit PlayBack(QObject* parent = nullptr);
    ~PlayBack() override;

    // Starts playing a script file, printing to the output file (standard output when null);
    // false when the script cannot be read (reported).
    bool start(const QString& scriptFile, const QString& outputFile = QString());
    // Plays the script of a device that is not open yet (the player opens and closes it); its
    // includes are found beside the file when the device is a file.
    bool start(QIODevice* device, const QString& outputFile = QString());
    // Plays each element that arrives on the remote link at once. Without an output file the
    // output goes back over the link. Elements that could run programs, read other scripts or
    // write files outside the working folder are refused from the link.
    void setSocket(QTcpSocket* socket, const QString& outputFile = QString());
    bool isPlaying() const { return playing_; }
    // The host's word that it is still busy with work no recorded event shows (a long job and
    // what its caller does with the result). The person who recorded waited for it: presses and
    // keys wait too, except those for the modal dialog in front. Null: never busy.
    static void setBusyCheck(std::function<bool()> busy);
    // Held by an element that waits in a nested event loop (a move waiting for the window
    // system's report of it): no next element plays meanwhile, or it would overtake this one.
    // A modal box that opens inside that loop (a timer's message) holds the loop until the box
    // is closed, and the elements for the box come next in the script: while such a box is in
    // front the hold holds nothing back.
    class Hold
    {
    public:
        Hold();
        ~Hold();
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;

    private:
        friend class PlayBack;
        static QList<const Hold*>& all();
        QPointer<QWidget> inFront_;   // the modal widget in front as the hold began
    };
    // The bounds of the next runs (defaults above).
    void setRunLimits(int maxIncludedFiles, qint64 maxPlayedElements);

    bool eventFilter(QObject* target, QEvent* event) override;

public slots:
    void endPlayBack();

signals:
    void playbackDone();
    void unableToFindChild(const QString& name);

protected:
    virtual void playEvent(QObject* target, const QDomElement& element);

private slots:
    void step();
    void childAppeared();
    void childSearchError(const QString& name);
    void readSocket();
    void finishRun();
    void applicationQuits();
    void lastWindowClosed();

private:
    struct Level
    {
        std::unique_ptr<Script> script;
        QString file;            // canonical, for the cycle check
        Script::Cursor next;
    };

    bool loadScript(const QString& fileName);
    void pushScript(std::unique_ptr<Script> script, const QString& canonical);
    enum class Next { Element, End, Failed };
    // Makes the next step of the run the current element, leaving the files played to their
    // end. Failed (reported, nothing left to play) when there is not the memory to build it.
    Next nextElement();
    qint64 heldScriptBytes() const;
    bool begin();
    void resetRun();
    // Ends the run once what the played elements posted has been delivered (finishRun): queued
    // behind it, never processed inside the step, where a dialog that an event opens would hold
    // the step; and once the host is no longer busy with a job those elements started.
    void endAfterPostedEvents();
    // Reports the input and the checks of the script that the run leaves unplayed, if any.
    void reportElementsLeft();
    void playLinkPieces();
    // Plays the next piece (or ends after the link's close) in a later turn of the event loop.
    void queueLinkTurn(int delay);
    void playLinkPiece(const QByteArray& piece);
    // Frames received bytes into the queue of pieces; a piece too long ends the link.
    void feedLink(const QByteArray& bytes);
    void linkDisconnected();
    void executeElement(const QDomElement& element, bool* stop, int* delayOverride);
    // The element being played as reports name it: its tag and where it comes from.
    QString describe(const QDomElement& element) const;
    // The missing-widget policy, with the report's text (over the link: skipped with the other).
    void widgetMissing(const QString& message, const QString& linkMessage);
    void playMouse(QWidget* widget, const QDomElement& element, QEvent::Type type);
    void screenDump(QWidget* widget, const QDomElement& element);
    // Whether the widget can take the element now: a shortcut's window is active, a window to
    // close has no button in the middle of a click, its recorded tree item exists, and for a
    // press or a key it is enabled, no modal dialog holds it back and the host is not busy.
    bool readyFor(QObject* target, const QDomElement& element, const QString& tag) const;
    // A continuable error naming the shortcut of an "Accel" element and the window that never
    // became active for it.
    void reportShortcutNotTaken(QWidget* widget, const QDomElement& element);
    // The modal window in front of the element's widget, when that is what holds it back.
    static QWidget* modalInFrontOf(QWidget* widget);
    // An element held back by a window the recording did not have in front at this point (an
    // error box of a job that failed now): reported, and the missing-widget policy applies.
    void reportWindowInFront(QWidget* widget, QWidget* inFront, const QDomElement& element);
    static std::function<bool()>& busyCheck();
    static bool hostBusy();
    // Whether a hold holds the next element back now.
    static bool held();
    // Whether the next element waits: for a hold, or for a window's close to begin.
    bool waiting() const;
    bool playPosted(QObject* target, const QDomElement& element, const QString& origin);
    int clampedDelay(qint64 milliseconds, const QString& what);

    QTimer* timer_;
    QElapsedTimer startTime_;
    bool playing_ = false;
    bool inStep_ = false;
    bool ending_ = false;    // the end is queued behind the events the last elements posted
    bool quitting_ = false;  // the application quits with the run
    int closesQueued_ = 0;   // windows' closes played and not yet begun
    bool waitingForWidget_ = false;
    // An event whose widget cannot take it yet (readyFor): retried until it can (the person who
    // recorded waited for that), at most the creation time-out, not counting time the host is
    // busy.
    bool retryLater_ = false;
    QElapsedTimer disabledSince_;
    QDomElement current_;    // the element the next step plays
    int currentLine_ = 0;
    QString currentFile_;
    std::vector<Level> levels_;
    int version_ = -1;
    PlayBackOutput output_;
    QPointer<QTcpSocket> socket_;
    LinkFramer framer_;
    QList<QByteArray> linkPieces_;   // queued, so a nested event loop never replays a stale buffer
    qsizetype queuedLinkBytes_ = 0;
    bool inLink_ = false;
    bool linkTurnQueued_ = false;
    bool linkClosed_ = false;
    bool linkFed_ = false;          // a piece arrived whole
    bool linkBroken_ = false;       // the peer overflowed: the socket is aborted after the queue
    bool linkMode_ = false;
    int includedFiles_ = 0;
    qint64 playedElements_ = 0;
    int maxIncludedFiles_ = defaultMaxIncludedFiles;
    qint64 maxPlayedElements_ = defaultMaxPlayedElements;
    int savedCreationTimeOut_ = 0;
};
