#include "tapewright/PlayBack.h"

#include "tapewright/AdapterRegistry.h"
#include "tapewright/ChildListener.h"
#include "tapewright/Command.h"
#include "tapewright/ErrorReport.h"
#include "tapewright/ItemPath.h"
#include "tapewright/PlayBackAdapter.h"
#include "tapewright/PostedEvent.h"
#include "tapewright/QtCompat.h"
#include "tapewright/ScriptReader.h"
#include "tapewright/TapewrightSettings.h"
#include "tapewright/TapewrightUtil.h"

#include <QAbstractButton>
#include <QApplication>
#include <QBuffer>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QCursor>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTcpSocket>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QMoveEvent>
#include <QPixmap>
#include <QResizeEvent>
#include <QTimer>
#include <QTreeView>
#include <QWheelEvent>
#include <QWidget>
#include <algorithm>
#include <new>

namespace {

// How soon a step held back by an element still at work tries again.
constexpr int holdRetryMs = 5;

QString tagOf(const QDomElement& element) { return ScriptReader::tag(element); }

// Presses and keys, also as adapters record them (a "type" of the event): what a modal window
// holds back.
bool isInput(const QDomElement& element, const QString& tag)
{
    static const QStringList inputTags = {QStringLiteral("mousepress"), QStringLiteral("mousedblclick"),
                                          QStringLiteral("keypress")};
    static const QStringList inputTypes = {QStringLiteral("mousebuttonpress"), QStringLiteral("mousebuttondblclick")};
    return inputTags.contains(tag) || inputTypes.contains(element.attribute(QStringLiteral("type")).toLower());
}

// Counts, in the order they would have played, what a run left: the input - what a person did to
// the widgets: presses, keys, wheel turns, what adapters record (values set, items chosen) - and
// the releases of presses also left; and the checks - screen dumps, printed properties, commands,
// includes, messages: whatever else a script asks for. A release whose press was played only ends
// what was played (the keys of a shortcut that closed the window are released after the close);
// moves, closes, activations, focus, resizes and context menus follow from what was played and are
// no element of their own.
class ElementsLeft
{
public:
    enum Kind { None, Input, Check };

    Kind kind(const QDomElement& element, const QString& tag)
    {
        static const QStringList consequences = {
            QStringLiteral("version"),        QStringLiteral("sleep"),          QStringLiteral("mousemove"),
            QStringLiteral("moveevent"),      QStringLiteral("resizeevent"),    QStringLiteral("close"),
            QStringLiteral("windowactivate"), QStringLiteral("windowdeactivate"), QStringLiteral("focusevent"),
            QStringLiteral("contextmenu"),    QStringLiteral("acceloverride")};
        const QString type = element.attribute(QStringLiteral("type")).toLower();
        const bool adapter = tag.contains(QLatin1String("::"));
        if (tag == QLatin1String("mousepress") || tag == QLatin1String("mousedblclick")
            || (adapter && (type == QLatin1String("mousebuttonpress") || type == QLatin1String("mousebuttondblclick")))) {
            ++mousePresses_;
            return Input;
        }
        if (tag == QLatin1String("mouserelease") || (adapter && type == QLatin1String("mousebuttonrelease")))
            return released(mousePresses_);
        const QString key = element.attribute(QStringLiteral("key"), element.attribute(QStringLiteral("intkey")));
        if (tag == QLatin1String("keypress") || tag == QLatin1String("accel")) {
            ++keysDown_[key];
            return Input;
        }
        if (tag == QLatin1String("keyrelease"))
            return released(keysDown_[key]);
        if (tag == QLatin1String("wheelevent") || adapter)
            return type == QLatin1String("mousemove") ? None : Input;
        return consequences.contains(tag) ? None : Check;
    }

private:
    static Kind released(int& down)
    {
        if (down == 0)
            return None;
        --down;
        return Input;
    }

    int mousePresses_ = 0;
    QHash<QString, int> keysDown_;
};

// A window as reports name it: its path, and its title when it has one.
QString windowName(QWidget* window)
{
    QString name = ChildListener::instance()->childName(window);
    if (!window->windowTitle().isEmpty())
        name += QStringLiteral(" (\"%1\")").arg(window->windowTitle());
    return name;
}

int attribute(const QDomElement& element, const char* name, int defaultValue = 0)
{
    return ScriptReader::intAttribute(element, QLatin1String(name), defaultValue);
}

// The key and the modifiers held with it as a key element of the given type plays them.
QKeyCombination playedKey(const ScriptReader::KeyAttributes& keys, QEvent::Type type)
{
    const int code = keys.key & ~int(Qt::KeyboardModifierMask);
    const Qt::KeyboardModifiers modifiers = QtCompat::modifiersAfter(type, code, keys.state)
                                            | Qt::KeyboardModifiers(keys.key & int(Qt::KeyboardModifierMask));
    return QKeyCombination(modifiers, Qt::Key(code));
}

}

PlayBack::PlayBack(QObject* parent) : QObject(parent), timer_(new QTimer(this))
{
    setObjectName(QStringLiteral("PlayBack"));
    adapterRegistry();   // registers the adapters and the property extensions that printing asks
    timer_->setObjectName(QStringLiteral("_timer"));
    timer_->setSingleShot(true);
    timer_->setTimerType(Qt::PreciseTimer);
    connect(timer_, &QTimer::timeout, this, &PlayBack::step);
    connect(ChildListener::instance(), SIGNAL(event()), this, SLOT(childAppeared()));
    connect(ChildListener::instance(), &ChildListener::unableToFindChild, this, &PlayBack::childSearchError);
    // The application can end before the script does (its main window closed).
    if (QCoreApplication::instance())
        connect(qApp, &QCoreApplication::aboutToQuit, this, &PlayBack::applicationQuits);
    if (auto* application = qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        connect(application, &QGuiApplication::lastWindowClosed, this, &PlayBack::lastWindowClosed);
}

PlayBack::~PlayBack() { endPlayBack(); }

bool PlayBack::start(const QString& scriptFile, const QString& outputFile)
{
    if (playing_) {
        qWarning("PlayBack::start: already playing");
        return false;
    }
    resetRun();
    output_.open(outputFile);
    if (!loadScript(scriptFile))
        return false;
    return begin();
}

bool PlayBack::start(QIODevice* device, const QString& outputFile)
{
    if (playing_) {
        qWarning("PlayBack::start: already playing");
        return false;
    }
    auto* file = qobject_cast<QFileDevice*>(device);
    const QString name = file ? file->fileName() : QString();
    if (!device || !device->open(QIODevice::ReadOnly)) {
        reportError(true, tr("Couldn't open file '%1': %2").arg(name, device ? device->errorString() : tr("there is no file")));
        return false;
    }
    resetRun();
    output_.open(outputFile);
    auto script = std::make_unique<Script>();
    // Read as it goes: a large file (an enciphered log deciphers block by block) is refused by
    // its size before any of it is read.
    const bool read = script->read(device, name);
    device->close();
    if (!read)
        return false;
    pushScript(std::move(script), QFileInfo(name).canonicalFilePath());
    return begin();
}

void PlayBack::resetRun()
{
    startTime_.start();
    levels_.clear();
    current_ = QDomElement();
    ending_ = false;
    includedFiles_ = 0;
    playedElements_ = 0;
    linkMode_ = false;
}

void PlayBack::setRunLimits(int maxIncludedFiles, qint64 maxPlayedElements)
{
    maxIncludedFiles_ = maxIncludedFiles;
    maxPlayedElements_ = maxPlayedElements;
}

bool PlayBack::begin()
{
    // A script without steps is played as one empty step, which ends the run.
    if (nextElement() == Next::Failed)
        return false;
    watchThreadStarts();
    TapewrightUtil::setUseNativeDialogs(false);
    qApp->installEventFilter(this);
    playing_ = true;
    timer_->start(0);
    return true;
}

void PlayBack::setSocket(QTcpSocket* socket, const QString& outputFile)
{
    if (playing_ || !socket) {
        qWarning("PlayBack::setSocket: already playing");
        return;
    }
    watchThreadStarts();
    socket_ = socket;
    linkMode_ = true;
    framer_ = LinkFramer();
    linkPieces_.clear();
    queuedLinkBytes_ = 0;
    linkBroken_ = false;
    linkFed_ = false;
    levels_.clear();
    if (outputFile.isNull())
        output_.attach(socket);
    else
        output_.open(outputFile);
    // A widget missing when its element arrives is handled at once: the link cannot wait.
    auto& settings = TapewrightSettings::instance();
    savedCreationTimeOut_ = settings.creationTimeOut();
    settings.setCreationTimeOut(-1);
    socket->setReadBufferSize(linkReadBufferBytes);
    connect(socket, &QTcpSocket::readyRead, this, &PlayBack::readSocket);
    linkClosed_ = false;
    connect(socket, &QTcpSocket::disconnected, this, &PlayBack::linkDisconnected);
    TapewrightUtil::setUseNativeDialogs(false);
    qApp->installEventFilter(this);
    playing_ = true;
    if (socket->bytesAvailable() > 0)
        QMetaObject::invokeMethod(this, &PlayBack::readSocket, Qt::QueuedConnection);
}

void PlayBack::readSocket()
{
    if (!socket_ || !playing_ || linkClosed_)
        return;
    // The rest waits in the socket, whose buffer is bounded: a peer faster than the player is
    // held back by the connection instead of filling the memory.
    if (queuedLinkBytes_ < maxQueuedLinkBytes)
        feedLink(socket_->read(maxQueuedLinkBytes - queuedLinkBytes_));
}

void PlayBack::feedLink(const QByteArray& bytes)
{
    const QList<QByteArray> pieces = framer_.feed(bytes);
    for (const QByteArray& piece : pieces)
        queuedLinkBytes_ += piece.size();
    linkFed_ = linkFed_ || !pieces.isEmpty();
    linkPieces_ += pieces;
    if (framer_.overflowed() && !linkClosed_) {
        // The pieces that arrived whole before are still played; nothing more is read.
        reportError(true, tr("The remote peer sent more than %1 bytes without an element separator; the connection is closed")
                              .arg(LinkFramer::maxPieceBytes));
        disconnect(socket_, nullptr, this, nullptr);
        linkClosed_ = true;
        linkBroken_ = true;
    }
    queueLinkTurn(0);
}

void PlayBack::linkDisconnected()
{
    if (!socket_ || !playing_ || linkClosed_)
        return;
    // What arrived before the close is still played, also what came in the same read; the
    // socket holds no more than its buffer.
    feedLink(socket_->readAll());
    // The peer's element was cut, or it sent none: the run did not play what the peer meant.
    if (!linkClosed_ && framer_.holdsText())
        reportError(true, tr("The remote link closed in the middle of an element (%1 bytes without a separator); it is skipped")
                              .arg(framer_.pending()));
    else if (!linkClosed_ && !linkFed_ && TapewrightSettings::instance().unattended())
        reportError(true, tr("The remote link closed before any element arrived; nothing was played"));
    linkClosed_ = true;
    queueLinkTurn(0);
}

void PlayBack::queueLinkTurn(int delay)
{
    if (linkTurnQueued_ || !playing_)
        return;
    linkTurnQueued_ = true;
    QTimer::singleShot(delay, this, &PlayBack::playLinkPieces);
}

void PlayBack::playLinkPieces()
{
    linkTurnQueued_ = false;
    if (inLink_ || !playing_)
        return;
    if (waiting()) {
        queueLinkTurn(holdRetryMs);
        return;
    }
    // One element per turn of the event loop, as from a file: what an element posts is
    // delivered before the next turn, since the turn is queued after it.
    if (!linkPieces_.isEmpty()) {
        inLink_ = true;
        const QByteArray piece = linkPieces_.takeFirst();
        queuedLinkBytes_ -= piece.size();
        playLinkPiece(piece);
        inLink_ = false;
        // Room again in the queue for what waits in the socket.
        if (socket_ && socket_->bytesAvailable() > 0 && queuedLinkBytes_ < maxQueuedLinkBytes / 2)
            readSocket();
        queueLinkTurn(0);
    } else if (linkClosed_) {
        // The close came after everything played before, and after the events the last
        // element posted (the filter that plays them goes with the end).
        if (linkBroken_ && socket_)
            socket_->abort();
        endPlayBack();
    }
}

void PlayBack::playLinkPiece(const QByteArray& piece)
{
    Script script;
    QString problem;
    QDomElement element;
    try {
        if (!script.readPiece(piece, &problem)) {
            qWarning("PlayBack: an element from the remote link %s; it is skipped", qPrintable(problem));
            return;
        }
        Script::Cursor cursor;
        element = script.step(cursor);
    } catch (const std::bad_alloc&) {
        reportError(true, tr("An element from the remote link could not be built: there is not enough memory; it is skipped"));
        return;
    }
    const QString tag = tagOf(element);
    if (tag == QLatin1String("sleep") || tag == QLatin1String("version"))
        return;
    // An include names a file of the recording side, which the recorder expands before it sends.
    if (tag == QLatin1String("include")) {
        qWarning("include should not be used when running over a socket - the recording side should expand the include statement.");
        return;
    }
    if (tag == QLatin1String("runcommand")) {
        reportError(true, tr("The remote link may not send %1 elements; it is ignored").arg(element.tagName()));
        return;
    }
    if (tag == QLatin1String("screendump")) {
        const QString fileName = element.attribute(QStringLiteral("fileName"));
        if (QDir::isAbsolutePath(fileName) || QDir::cleanPath(fileName).split(QLatin1Char('/')).contains(QLatin1String(".."))) {
            reportError(true, tr("The remote link may only dump the screen into the working folder; '%1' is refused").arg(fileName));
            return;
        }
    }
    bool stop = false;
    int delayOverride = 0;
    executeElement(element, &stop, &delayOverride);
}

bool PlayBack::loadScript(const QString& fileName)
{
    if (!levels_.empty() && ++includedFiles_ > maxIncludedFiles_) {
        reportError(true, tr("The script includes more than %1 files; playback ends at the include of '%2'")
                              .arg(maxIncludedFiles_).arg(fileName));
        endAfterPostedEvents();
        return false;
    }
    if (int(levels_.size()) >= maxIncludeDepth) {
        reportError(true, tr("Include of '%1' nests deeper than %2 levels").arg(fileName).arg(maxIncludeDepth));
        return false;
    }
    const QString canonical = QFileInfo(fileName).canonicalFilePath();
    for (const Level& level : levels_) {
        if (!canonical.isEmpty() && level.file == canonical) {
            reportError(true, tr("Include of '%1' would include itself").arg(fileName));
            return false;
        }
    }
    auto script = std::make_unique<Script>();
    if (!script->load(fileName, Script::maxHeldBytes - heldScriptBytes())) {
        // An include that is missing or malformed is passed over; a process that can start no
        // thread cannot do what the rest of the script asks.
        if (script->threadFailed())
            endAfterPostedEvents();
        return false;
    }
    pushScript(std::move(script), canonical);
    return true;
}

void PlayBack::pushScript(std::unique_ptr<Script> script, const QString& canonical)
{
    if (script->stepCount() == 0)
        qWarning("ASSERT: \"%s\" in %s (%d)", "! d->child.isNull()", __FILE__, __LINE__);
    levels_.push_back(Level {std::move(script), canonical, {}});
}

qint64 PlayBack::heldScriptBytes() const
{
    qint64 bytes = 0;
    for (const Level& level : levels_)
        bytes += level.script->memoryBytes();
    return bytes;
}

PlayBack::Next PlayBack::nextElement()
{
    current_ = QDomElement();
    while (!levels_.empty() && levels_.back().script->atEnd(levels_.back().next))
        levels_.pop_back();
    if (levels_.empty())
        return Next::End;
    Level& level = levels_.back();
    currentFile_ = level.script->fileName();
    try {
        current_ = level.script->step(level.next, &currentLine_);
    } catch (const std::bad_alloc&) {
        // A step is built whole as it is played: one within every bound of the reading can still
        // need more memory than is left.
        reportError(true, tr("The element on line %1 of '%2' could not be built: there is not enough memory; playback ends")
                              .arg(currentLine_)
                              .arg(currentFile_));
        levels_.clear();
        return Next::Failed;
    }
    return Next::Element;
}

QString PlayBack::describe(const QDomElement& element) const
{
    if (linkMode_)
        return tr("the element '%1' from the remote link").arg(element.tagName());
    return tr("the element '%1' on line %2 of '%3'").arg(element.tagName()).arg(currentLine_).arg(currentFile_);
}

void PlayBack::childAppeared()
{
    // Only a step that waits for its widget is woken; other registrations are none of ours.
    if (waitingForWidget_)
        step();
}

void PlayBack::step()
{
    if (!playing_ || inStep_ || ending_)
        return;
    if (waiting()) {
        timer_->start(holdRetryMs);
        return;
    }
    inStep_ = true;
    waitingForWidget_ = false;
    QElapsedTimer stopwatch;
    stopwatch.start();
    const QDomElement element = current_;
    bool stop = false;
    int delayOverride = 0;
    if (element.isNull())
        qWarning("ASSERT: \"%s\" in %s (%d)", "!elm.isNull()", __FILE__, __LINE__);
    else
        executeElement(element, &stop, &delayOverride);
    if (!playing_ || ending_ || stop) {
        waitingForWidget_ = playing_ && !ending_ && stop;
        inStep_ = false;
        return;
    }
    if (retryLater_) {
        retryLater_ = false;
        timer_->start(20);
        inStep_ = false;
        return;
    }
    // After an include, the first step of the included file.
    if (nextElement() != Next::Element) {
        endAfterPostedEvents();
        inStep_ = false;
        return;
    }
    // Counted as each element is reached, so that a retry of the same one does not count.
    if (++playedElements_ >= maxPlayedElements_) {
        reportError(true, tr("The script plays more than %1 elements; playback ends").arg(maxPlayedElements_));
        // What the played elements posted still arrives, as at the script's own end.
        endAfterPostedEvents();
        inStep_ = false;
        return;
    }
    qint64 delay = clampedDelay(attribute(current_, "sleep"), QStringLiteral("sleep"));
    if (TapewrightSettings::instance().compressTime())
        delay = 0;
    else if (TapewrightSettings::instance().absoluteTimeStamps())
        delay -= startTime_.elapsed();
    else
        delay -= stopwatch.elapsed();
    if (delayOverride != 0)
        delay = delayOverride;
    if (playing_)
        timer_->start(int(std::max<qint64>(0, delay)));
    inStep_ = false;
}

int PlayBack::clampedDelay(qint64 milliseconds, const QString& what)
{
    if (milliseconds > maxDelayMs) {
        reportError(true, tr("A %1 of %2 ms is longer than ten minutes; ten minutes are used").arg(what).arg(milliseconds));
        return maxDelayMs;
    }
    return int(std::max<qint64>(0, milliseconds));
}

void PlayBack::executeElement(const QDomElement& element, bool* stop, int* delayOverride)
{
    const QString tag = tagOf(element);
    if (tag == QLatin1String("version")) {
        version_ = attribute(element, "id");
    } else if (tag == QLatin1String("sleep")) {
        *delayOverride = clampedDelay(attribute(element, "msec"), QStringLiteral("Sleep"));
    } else if (tag == QLatin1String("include")) {
        const QString file = element.attribute(QStringLiteral("file"));
        if (file.isNull())
            reportError(true, tr("Include element did not have a 'file' attribute"));
        else
            loadScript(file);
    } else if (tag == QLatin1String("information")) {
        const QString title = element.attribute(QStringLiteral("title"), tr("Information"));
        if (TapewrightSettings::instance().unattended()) {
            // Nobody would close the box: said where the run's other words go, and played on.
            reportToStandardError(true, tr("%1: %2").arg(title, element.attribute(QStringLiteral("text"))));
            return;
        }
        const QPoint cursor = QCursor::pos();
        QMessageBox box(QMessageBox::Information, title, element.attribute(QStringLiteral("text")), QMessageBox::Ok);
        ChildListener::instance()->ignoreObject(&box);
        box.exec();
        QCursor::setPos(cursor);
    } else if (tag == QLatin1String("runcommand")) {
        QString failure;
        output_.write(Command::runCommand(element.attribute(QStringLiteral("command")), &failure));
        // The run goes on, but its status must say that the script did not do all it asked.
        if (!failure.isEmpty())
            reportError(true, failure);
    } else if (const QString name = element.attribute(QStringLiteral("name")); name.isEmpty()) {
        // No widget has an empty path: no lookup to wait for.
        emit unableToFindChild(name);
        const QString message = tr("Unable to find widget for %1: it has no name").arg(describe(element));
        widgetMissing(message, message + tr("; it is skipped"));
    } else if (QObject* target = ChildListener::instance()->findChild(name, stop)) {
        if (!readyFor(target, element, tag)) {
            // Time the host spends busy does not count: a long job may outlast any time-out.
            if (!disabledSince_.isValid() || hostBusy())
                disabledSince_.start();
            if (disabledSince_.elapsed() < TapewrightSettings::instance().creationTimeOut()) {
                retryLater_ = true;
                return;
            }
            // Played now, the shortcut would be dropped by Qt without a word, and the run
            // would not show that it did less than its script.
            auto* widget = qobject_cast<QWidget*>(target);
            if (tag == QLatin1String("accel") && widget && !widget->isActiveWindow()) {
                disabledSince_.invalidate();
                reportShortcutNotTaken(widget, element);
                return;
            }
            // Nor is input played behind a modal window that was not there when it was recorded:
            // nobody would ever close that window, and the run would wait or play into the void.
            if (QWidget* inFront = widget ? modalInFrontOf(widget) : nullptr; inFront && isInput(element, tag)) {
                disabledSince_.invalidate();
                reportWindowInFront(widget, inFront, element);
                return;
            }
        }
        disabledSince_.invalidate();
        playEvent(target, element);
    }
}

void PlayBack::reportShortcutNotTaken(QWidget* widget, const QDomElement& element)
{
    const QString shortcut =
        QKeySequence(playedKey(ScriptReader::keyAttributes(element), QEvent::KeyPress)).toString(QKeySequence::PortableText);
    const int timeOut = std::max(0, TapewrightSettings::instance().creationTimeOut());
    reportError(true, tr("The shortcut %1 was not played: its window %2 did not become active within %3 ms")
                          .arg(shortcut, windowName(widget->window())).arg(timeOut));
}

QWidget* PlayBack::modalInFrontOf(QWidget* widget)
{
    QWidget* modal = QApplication::activeModalWidget();
    return modal && widget->window() != modal && !modal->isAncestorOf(widget) ? modal : nullptr;
}

void PlayBack::reportWindowInFront(QWidget* widget, QWidget* inFront, const QDomElement& element)
{
    QString window = windowName(inFront);
    // What it says: a message box's text, or whatever labels another dialog shows.
    QStringList said;
    for (const QLabel* label : inFront->findChildren<QLabel*>())
        if (label->isVisibleTo(inFront) && !label->text().isEmpty())
            said << label->text().simplified();
    if (!said.isEmpty())
        window += QStringLiteral(" saying \"%1\"").arg(said.join(QLatin1Char(' ')));
    const int timeOut = std::max(0, TapewrightSettings::instance().creationTimeOut());
    QString what = describe(element);
    what[0] = what[0].toUpper();
    const QString message = tr("%1 was not played: the modal window %2, which the recording did not have in front of %3 at "
                               "this point, did not close within %4 ms")
                                .arg(what, window, ChildListener::instance()->childName(widget->window()))
                                .arg(timeOut);
    // Nobody will close that window: every later press and key would wait for it in turn.
    if (TapewrightSettings::instance().unattended() && !linkMode_) {
        reportError(true, message);
        endPlayBack();
        return;
    }
    widgetMissing(message, message);
}

bool PlayBack::readyFor(QObject* target, const QDomElement& element, const QString& tag) const
{
    auto* widget = qobject_cast<QWidget*>(target);
    if (!widget)
        return true;
    // A shortcut is taken only in the active window, and the recorded one was taken in its
    // window. The script activated that window before, but on a loaded machine the window
    // system's answer can come after the shortcut: it is waited for (and asked for once more).
    if (tag == QLatin1String("accel") && !widget->isActiveWindow()) {
        if (!disabledSince_.isValid())
            widget->activateWindow();
        return false;
    }
    // A window's close waits while a button of the window is still being clicked: a shortcut
    // clicks its button only after a short animation, and a close recorded right after it is
    // what the click did (a dialog that is accepted or rejected closes itself). Played first,
    // the close would reject the dialog that the click accepts.
    if (tag == QLatin1String("close") && widget->isWindow()) {
        const QList<QAbstractButton*> buttons = widget->findChildren<QAbstractButton*>();
        if (std::any_of(buttons.cbegin(), buttons.cend(),
                        [widget](const QAbstractButton* button) { return button->isDown() && button->window() == widget; }))
            return false;
    }
    // The item of a tree view that is still being filled.
    for (QDomElement path = element.firstChildElement(); !path.isNull(); path = path.nextSiblingElement())
        if (path.tagName().toLower() == QLatin1String("childpath"))
            if (auto* view = qobject_cast<QTreeView*>(widget); view && !TapewrightUtil::findItem(path, view).isValid())
                return false;
    if (!isInput(element, tag))
        return true;
    // Input that a modal dialog holds back now could not have been recorded while it was open.
    const QWidget* modal = QApplication::activeModalWidget();
    const bool forModal = modal && (widget->window() == modal || modal->isAncestorOf(widget));
    if (modal && !forModal)
        return false;
    return widget->isEnabled() && (forModal || !hostBusy());
}

std::function<bool()>& PlayBack::busyCheck()
{
    static std::function<bool()> check;
    return check;
}

void PlayBack::setBusyCheck(std::function<bool()> busy)
{
    busyCheck() = std::move(busy);
}

QList<const PlayBack::Hold*>& PlayBack::Hold::all()
{
    static QList<const Hold*> holds;
    return holds;
}

PlayBack::Hold::Hold() : inFront_(QApplication::activeModalWidget())
{
    all().append(this);
}

PlayBack::Hold::~Hold()
{
    all().removeOne(this);
}

bool PlayBack::held()
{
    const QWidget* inFront = QApplication::activeModalWidget();
    return std::any_of(Hold::all().cbegin(), Hold::all().cend(), [inFront](const Hold* hold) { return hold->inFront_ == inFront; });
}

bool PlayBack::waiting() const
{
    return closesQueued_ > 0 || held();
}

bool PlayBack::hostBusy()
{
    return busyCheck() && busyCheck()();
}

void PlayBack::playEvent(QObject* target, const QDomElement& element)
{
    const QString tag = tagOf(element);
    auto* widget = qobject_cast<QWidget*>(target);
    const auto& settings = TapewrightSettings::instance();
    static const QHash<QString, QEvent::Type> mouseTypes = {
        {QStringLiteral("mousepress"), QEvent::MouseButtonPress},
        {QStringLiteral("mouserelease"), QEvent::MouseButtonRelease},
        {QStringLiteral("mousemove"), QEvent::MouseMove},
        {QStringLiteral("mousedblclick"), QEvent::MouseButtonDblClick}};
    static const QStringList keyTags = {QStringLiteral("keypress"), QStringLiteral("keyrelease"),
                                        QStringLiteral("accel"), QStringLiteral("acceloverride")};
    static const QStringList widgetTags = {QStringLiteral("resizeevent"), QStringLiteral("moveevent"),
                                           QStringLiteral("wheelevent"), QStringLiteral("windowactivate"),
                                           QStringLiteral("windowdeactivate"), QStringLiteral("contextmenu"),
                                           QStringLiteral("close"), QStringLiteral("screendump")};
    const bool needsWidget = mouseTypes.contains(tag) || keyTags.contains(tag) || widgetTags.contains(tag);
    if (needsWidget && !widget)
        return;
    const QPoint pos(attribute(element, "x"), attribute(element, "y"));
    const Qt::KeyboardModifiers modifiers =
        QtCompat::toQtModifiers(TapewrightUtil::textToState(element.attribute(QStringLiteral("state"))));
    if (mouseTypes.contains(tag)) {
        playMouse(widget, element, mouseTypes.value(tag));
    } else if (tag == QLatin1String("resizeevent")) {
        if (widget->isWindow() && settings.resizeToplevels()) {
            const QSize size(attribute(element, "width"), attribute(element, "height"));
            QApplication::postEvent(widget, new QResizeEvent(size, widget->size()));
            widget->resize(size);
        }
    } else if (tag == QLatin1String("moveevent")) {
        QApplication::postEvent(widget, new QMoveEvent(pos, widget->pos()));
        if (widget->isWindow() && settings.moveToplevels())
            widget->move(pos);
    } else if (tag == QLatin1String("wheelevent")) {
        const int delta = attribute(element, "delta");
        const bool horizontal =
            TapewrightUtil::textToOrientation(element.attribute(QStringLiteral("orient"))) == Qt::Horizontal;
        const int state = TapewrightUtil::textToState(element.attribute(QStringLiteral("state")));
        QApplication::postEvent(widget, new QWheelEvent(pos, widget->mapToGlobal(pos), QPoint(),
                                                        horizontal ? QPoint(delta, 0) : QPoint(0, delta),
                                                        QtCompat::toQtButtons(state), modifiers, Qt::NoScrollPhase, false));
    } else if (tag == QLatin1String("windowactivate")) {
        // A posted activation activates nothing in Qt 6: ask for it.
        if (widget->isWindow())
            widget->activateWindow();
        else
            QApplication::postEvent(widget, new QEvent(QEvent::WindowActivate));
    } else if (tag == QLatin1String("windowdeactivate")) {
        QApplication::postEvent(widget, new QEvent(QEvent::WindowDeactivate));
    } else if (tag == QLatin1String("contextmenu")) {
        const QString reason = element.attribute(QStringLiteral("reason"));
        const auto why = reason == QLatin1String("mouse")      ? QContextMenuEvent::Mouse
                         : reason == QLatin1String("keyboard") ? QContextMenuEvent::Keyboard
                                                               : QContextMenuEvent::Other;
        QApplication::postEvent(widget, new QContextMenuEvent(why, pos, widget->mapToGlobal(pos), modifiers));
    } else if (tag == QLatin1String("close")) {
        // A posted close event only asks; a window closed by its user must really close. Queued,
        // so that a question its closing asks is answered by the next elements; and they wait
        // until it has begun: a close that ends the application leaves them unplayed, whatever
        // their sleeps.
        if (widget->isWindow()) {
            ++closesQueued_;
            QMetaObject::invokeMethod(
                this,
                [this, window = QPointer<QWidget>(widget)] {
                    --closesQueued_;
                    if (window)
                        window->close();
                },
                Qt::QueuedConnection);
        } else {
            QApplication::postEvent(widget, new QCloseEvent);
        }
    } else if (tag == QLatin1String("screendump")) {
        screenDump(widget, element);
    } else if (tag == QLatin1String("printproperty")) {
        output_.printProperties(element, target);
    } else {
        QApplication::postEvent(target, new PostedEvent(element, describe(element)));
    }
}

void PlayBack::playMouse(QWidget* widget, const QDomElement& element, QEvent::Type type)
{
    const auto& settings = TapewrightSettings::instance();
    if (type == QEvent::MouseMove && settings.ignoreMouseMovement())
        return;
    const ScriptReader::MouseAttributes mouse = ScriptReader::mouseAttributes(element);
    QPoint pos = mouse.pos;
    const QSize recorded = mouse.widgetSize;
    const QSize current = widget->size();
    // A size of 0 or less carries no size information.
    if (recorded.width() > 0 && recorded.height() > 0) {
        auto inside = [&pos](const QSize& size) {
            return pos.x() >= 0 && pos.y() >= 0 && pos.x() < size.width() && pos.y() < size.height();
        };
        if (inside(recorded) != inside(current))
            pos = QPoint(int(double(qint64(current.width()) * pos.x()) / recorded.width()),
                         int(double(qint64(current.height()) * pos.y()) / recorded.height()));
    }
    const Qt::MouseButton button = QtCompat::toQtButton(mouse.button);
    Qt::MouseButtons buttons = QtCompat::toQtButtons(mouse.state);
    if (type == QEvent::MouseButtonPress || type == QEvent::MouseButtonDblClick)
        buttons |= button;
    else if (type == QEvent::MouseButtonRelease)
        buttons &= ~Qt::MouseButtons(button);
    const QPoint global = widget->mapToGlobal(pos);
    if (type == QEvent::MouseMove && settings.displayMouseMovement())
        QCursor::setPos(global);
    QApplication::postEvent(widget, new QMouseEvent(type, QPointF(pos), QPointF(global), button, buttons,
                                                    QtCompat::toQtModifiers(mouse.state)));
}

void PlayBack::screenDump(QWidget* widget, const QDomElement& element)
{
    const QString fileName = element.attribute(QStringLiteral("fileName"));
    QString format = QFileInfo(fileName).suffix().toUpper();
    if (format == QLatin1String("JPG"))
        format = QStringLiteral("JPEG");
    static const QStringList formats = {QStringLiteral("PNG"), QStringLiteral("BMP"), QStringLiteral("XBM"),
                                        QStringLiteral("XPM"), QStringLiteral("PNM"), QStringLiteral("JPEG")};
    if (!formats.contains(format)) {
        reportError(true, tr("Unknown file format, must be one of: PNG, BMP, XBM, XPM, and PNM"));
        format = QStringLiteral("JPEG");
    }
    if (format == QLatin1String("PNM"))
        format = QStringLiteral("PPM");
    // Encoded in memory and written whole: QPixmap::save lets a failed final flush pass.
    QByteArray picture;
    QBuffer buffer(&picture);
    QString why = tr("the picture could not be made in the format %1").arg(format);
    if (buffer.open(QIODevice::WriteOnly) && widget->grab().save(&buffer, qPrintable(format))
        && TapewrightUtil::writeRegularFile(fileName, picture, &why))
        return;
    reportError(true, tr("Could not write the screen dump '%1': %2").arg(fileName, why));
}

bool PlayBack::eventFilter(QObject* target, QEvent* event)
{
    if (event->type() != PostedEvent::eventType())
        return false;
    const auto* posted = dynamic_cast<PostedEvent*>(event);
    if (!posted)
        return false;
    return playPosted(target, posted->element(), posted->origin());
}

bool PlayBack::playPosted(QObject* target, const QDomElement& element, const QString& origin)
{
    const QString tag = tagOf(element);
    static const QHash<QString, QEvent::Type> keyTypes = {
        {QStringLiteral("keypress"), QEvent::KeyPress},
        {QStringLiteral("keyrelease"), QEvent::KeyRelease},
        // A non-spontaneous key press goes through the shortcut map first, as a shortcut did.
        {QStringLiteral("accel"), QEvent::KeyPress},
        {QStringLiteral("acceloverride"), QEvent::ShortcutOverride}};
    if (keyTypes.contains(tag)) {
        const ScriptReader::KeyAttributes keys = ScriptReader::keyAttributes(element);
        const QEvent::Type type = keyTypes.value(tag);
        const QKeyCombination played = playedKey(keys, type);
        QKeyEvent key(type, played.key(), played.keyboardModifiers(), keys.text, keys.repeat,
                      quint16(std::clamp(keys.count, 1, 0xffff)));
        return QApplication::sendEvent(target, &key);
    }
    for (PlayBackAdapter* adapter : adapterRegistry().playBackAdapters())
        if (adapter->play(target, element))
            return true;
    if (tag == QLatin1String("focusevent")) {
        const QEvent::Type type = ScriptReader::focusType(element);
        if (type != QEvent::None) {
            QFocusEvent focus(type, QtCompat::toQtFocusReason(ScriptReader::focusReason(element)));
            QApplication::sendEvent(target, &focus);
        }
        return true;
    }
    // A peer of the link is no script file of ours: what it sends wrong never ends the process.
    if (linkMode_)
        reportError(true, tr("Unknown tag from the remote link: %1; it is skipped").arg(tag));
    else
        reportError(false, tr("Unknown tag: %1 (%2)").arg(tag, origin));
    return true;
}

void PlayBack::childSearchError(const QString& name)
{
    if (!playing_)
        return;
    emit unableToFindChild(name);
    widgetMissing(tr("Unable to find widget with name %1").arg(name),
                  tr("Unable to find widget with name %1; the element from the remote link is skipped").arg(name));
}

void PlayBack::widgetMissing(const QString& message, const QString& linkMessage)
{
    // "Ignore" skips the element without a word, also one from the remote link.
    const int policy = TapewrightSettings::instance().missingWidget();
    if (policy & TapewrightSettings::warnMissing)
        reportError(true, linkMode_ ? linkMessage : message);
    // The link goes on whatever else the policy says: a peer must not stop or end the player.
    if (linkMode_)
        return;
    if (policy & TapewrightSettings::quitOnMissing) {
        endPlayBack();
        QApplication::exit(-1);
    } else if (policy & TapewrightSettings::stopOnMissing) {
        endPlayBack();
    }
}

void PlayBack::endAfterPostedEvents()
{
    if (!playing_ || ending_)
        return;
    ending_ = true;
    timer_->stop();
    QMetaObject::invokeMethod(this, &PlayBack::finishRun, Qt::QueuedConnection);
}

void PlayBack::finishRun()
{
    if (!playing_ || !ending_)
        return;
    // A long job the last elements started ends by itself: waited for, as the person who recorded
    // waited for it, and not taken for a window left open.
    if (hostBusy()) {
        QTimer::singleShot(holdRetryMs, this, &PlayBack::finishRun);
        return;
    }
    if (QWidget* modal = QApplication::activeModalWidget())
        reportToStandardError(true, tr("Playback ended with the modal window %1 open").arg(windowName(modal)));
    endPlayBack();
}

void PlayBack::applicationQuits()
{
    if (!playing_)
        return;
    quitting_ = true;
    endPlayBack();
    quitting_ = false;
}

void PlayBack::reportElementsLeft()
{
    // Only where the run's status is its verdict: a person who stops a replay sees where.
    if (linkMode_ || !TapewrightSettings::instance().unattended())
        return;
    ElementsLeft elements;
    qint64 counts[3] = {0, 0, 0};
    int line = 0;
    QString file;
    const auto count = [&](const QDomElement& element, int at, const QString& in) {
        if (element.isNull())
            return;
        const ElementsLeft::Kind kind = elements.kind(element, tagOf(element));
        if (kind == ElementsLeft::None)
            return;
        if (counts[ElementsLeft::Input] + counts[ElementsLeft::Check] == 0) {
            line = at;
            file = in;
        }
        ++counts[kind];
    };
    count(current_, currentLine_, currentFile_);
    try {
        QDomDocument scratch;
        for (auto level = levels_.crbegin(); level != levels_.crend(); ++level)
            for (Script::Cursor cursor = level->next; !level->script->atEnd(cursor);) {
                int at = 0;
                const QDomElement element = level->script->step(cursor, &at, &scratch);
                count(element, at, level->script->fileName());
            }
    } catch (const std::bad_alloc&) {
        // Counted as far as it could be.
    }
    const qint64 input = counts[ElementsLeft::Input], checks = counts[ElementsLeft::Check];
    const QString ended = tr("Playback ended before its script did: ");
    const QString from = tr("from line %1 of '%2' on").arg(line).arg(file);
    if (input + checks == 1)
        reportError(true, ended
                              + (input == 1 ? tr("1 input element (a press, release, key, value set or wheel turn) was not played")
                                            : tr("1 check (a screen dump, printed property, command, include or message) was not played"))
                              + tr(", on line %1 of '%2'").arg(line).arg(file));
    else if (checks == 0 && input > 1)
        reportError(true, ended + tr("%1 input elements (presses, releases, keys, values set, wheel turns) were not played, ").arg(input) + from);
    else if (input == 0 && checks > 1)
        reportError(true, ended + tr("%1 checks (screen dumps, printed properties, commands, includes, messages) were not played, ").arg(checks) + from);
    else if (input + checks > 1)
        reportError(true, ended
                              + tr("%1 elements were not played, %2 of them input (presses, releases, keys, values set, wheel turns) and %3 "
                                   "checks (screen dumps, printed properties, commands, includes, messages), ")
                                    .arg(input + checks)
                                    .arg(input)
                                    .arg(checks)
                              + from);
}

void PlayBack::lastWindowClosed()
{
    // The application ends with its last window (Qt's rule, and the host's): what the script still
    // holds is left, never played in the moments before the quit arrives, whatever its sleeps.
    endPlayBack();
}

void PlayBack::endPlayBack()
{
    if (!playing_)
        return;
    playing_ = false;
    ending_ = false;
    waitingForWidget_ = false;
    timer_->stop();
    qApp->removeEventFilter(this);
    reportElementsLeft();
    levels_.clear();
    current_ = QDomElement();
    TapewrightUtil::setUseNativeDialogs(true);
    output_.close();
    if (socket_) {
        disconnect(socket_, nullptr, this, nullptr);
        linkPieces_.clear();
        queuedLinkBytes_ = 0;
        TapewrightSettings::instance().setCreationTimeOut(savedCreationTimeOut_);
        socket_ = nullptr;
    }
    // Not when the application quits: its user ended it.
    if (TapewrightSettings::instance().endPlayBackDialog() && !quitting_) {
        // Nobody would close it: said where the run's other words go.
        if (TapewrightSettings::instance().unattended())
            reportToStandardError(true, tr("End of Playback"));
        else
            QMessageBox::information(nullptr, tr("End of Playback"), tr("End of Playback"));
    }
    emit playbackDone();
}
