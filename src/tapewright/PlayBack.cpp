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
#include "vexa/io/AtomicFile.h"

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

namespace {

// How soon a step held back by an element still at work tries again.
constexpr int holdRetryMs = 5;

QString tagOf(const QDomElement& element) { return ScriptReader::tag(element); }

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
        reportError(true, tr("Couldn't open file '%1'").arg(name));
        return false;
    }
    const QByteArray data = device->read(maxScriptBytes + 1);
    device->close();
    if (data.size() > maxScriptBytes) {
        reportError(true, tr("Couldn't open file '%1'").arg(name));
        return false;
    }
    resetRun();
    output_.open(outputFile);
    if (!pushScript(data, name))
        return false;
    return begin();
}

void PlayBack::resetRun()
{
    startTime_.start();
    levels_.clear();
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
    socket_ = socket;
    linkMode_ = true;
    framer_ = LinkFramer();
    linkPieces_.clear();
    levels_.clear();
    if (outputFile.isNull())
        output_.attach(socket);
    else
        output_.open(outputFile);
    // A widget missing when its element arrives is handled at once: the link cannot wait.
    auto& settings = TapewrightSettings::instance();
    savedCreationTimeOut_ = settings.creationTimeOut();
    settings.setCreationTimeOut(-1);
    connect(socket, &QTcpSocket::readyRead, this, &PlayBack::readSocket);
    linkClosed_ = false;
    connect(socket, &QTcpSocket::disconnected, this, [this] {
        // What arrived before the close is still played, also what came in the same read.
        readSocket();
        linkClosed_ = true;
        queueLinkTurn(0);
    });
    TapewrightUtil::setUseNativeDialogs(false);
    qApp->installEventFilter(this);
    playing_ = true;
    if (socket->bytesAvailable() > 0)
        QMetaObject::invokeMethod(this, &PlayBack::readSocket, Qt::QueuedConnection);
}

void PlayBack::readSocket()
{
    if (!socket_ || !playing_)
        return;
    linkPieces_ += framer_.feed(socket_->readAll());
    if (framer_.overflowed()) {
        reportError(true, tr("The remote peer sent more than %1 bytes without an element separator; the connection is closed")
                              .arg(LinkFramer::maxPieceBytes));
        linkPieces_.clear();
        socket_->abort();
        endPlayBack();
        return;
    }
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
    if (held()) {
        queueLinkTurn(holdRetryMs);
        return;
    }
    // One element per turn of the event loop, as from a file: what an element posts is
    // delivered before the next turn, since the turn is queued after it.
    if (!linkPieces_.isEmpty()) {
        inLink_ = true;
        playLinkPiece(linkPieces_.takeFirst());
        inLink_ = false;
        queueLinkTurn(0);
    } else if (linkClosed_) {
        // The close came after everything played before, and after the events the last
        // element posted (the filter that plays them goes with the end).
        endPlayBack();
    }
}

void PlayBack::playLinkPiece(const QByteArray& piece)
{
    if (ScriptReader::nestsTooDeep(piece)) {
        qWarning("PlayBack: an element from the remote link nests deeper than %d levels; it is skipped", ScriptReader::maxNesting);
        return;
    }
    QDomDocument document;
    QString error;
    int line = 0;
    if (!document.setContent(piece, &error, &line)) {
        qWarning("PlayBack: an element from the remote link does not parse (line %d: %s); it is skipped", line, qPrintable(error));
        return;
    }
    const QDomElement element = document.documentElement();
    const QString tag = tagOf(element);
    if (tag == QLatin1String("sleep") || tag == QLatin1String("version"))
        return;
    if (tag == QLatin1String("include") || tag == QLatin1String("runcommand")) {
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
    bool stop = false, advanced = false;
    int delayOverride = 0;
    executeElement(element, &stop, &advanced, &delayOverride);
}

bool PlayBack::loadScript(const QString& fileName)
{
    if (!levels_.empty() && ++includedFiles_ > maxIncludedFiles_) {
        reportError(true, tr("The script includes more than %1 files; playback ends at the include of '%2'")
                              .arg(maxIncludedFiles_).arg(fileName));
        TapewrightUtil::processEvents();
        endPlayBack();
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
    // Only ordinary files of sane size: a device such as /dev/zero would never end.
    const QFileInfo info(fileName);
    if (info.exists() && (!info.isFile() || info.size() > maxScriptBytes)) {
        reportError(true, tr("Couldn't open file '%1'").arg(fileName));
        return false;
    }
    auto document = std::make_shared<QDomDocument>();
    if (!ScriptReader::load(fileName, *document))
        return false;
    return pushDocument(document, canonical);
}

bool PlayBack::pushScript(const QByteArray& data, const QString& fileName)
{
    auto document = std::make_shared<QDomDocument>();
    if (!ScriptReader::parse(data, fileName, *document))
        return false;
    return pushDocument(document, QFileInfo(fileName).canonicalFilePath());
}

bool PlayBack::pushDocument(std::shared_ptr<QDomDocument> document, const QString& canonical)
{
    levels_.push_back(Level {document, canonical, levels_.empty() ? QDomNode() : child_});
    child_ = document->documentElement().firstChild();
    if (child_.isNull())
        qWarning("ASSERT: \"%s\" in %s (%d)", "! d->child.isNull()", __FILE__, __LINE__);
    return true;
}

void PlayBack::childAppeared()
{
    // Only a step that waits for its widget is woken; other registrations are none of ours.
    if (waitingForWidget_)
        step();
}

void PlayBack::step()
{
    if (!playing_ || inStep_)
        return;
    if (held()) {
        timer_->start(holdRetryMs);
        return;
    }
    inStep_ = true;
    waitingForWidget_ = false;
    QElapsedTimer stopwatch;
    stopwatch.start();
    const QDomElement element = child_.toElement();
    bool stop = false, advanced = false;
    int delayOverride = 0;
    if (element.isNull())
        qWarning("ASSERT: \"%s\" in %s (%d)", "!elm.isNull()", __FILE__, __LINE__);
    else
        executeElement(element, &stop, &advanced, &delayOverride);
    if (!playing_ || stop) {
        waitingForWidget_ = playing_ && stop;
        inStep_ = false;
        return;
    }
    if (retryLater_) {
        retryLater_ = false;
        timer_->start(20);
        inStep_ = false;
        return;
    }
    if (!advanced)
        child_ = child_.nextSibling();
    while (!child_.isElement()) {
        if (!child_.isNull()) {
            child_ = child_.nextSibling();
            continue;
        }
        const Level finished = levels_.back();
        levels_.pop_back();
        if (levels_.empty()) {
            TapewrightUtil::processEvents();
            endPlayBack();
            inStep_ = false;
            return;
        }
        child_ = finished.include.nextSibling();
    }
    // Counted as each element is reached, so that a retry of the same one does not count.
    if (++playedElements_ >= maxPlayedElements_) {
        reportError(true, tr("The script plays more than %1 elements; playback ends").arg(maxPlayedElements_));
        // What the played elements posted still arrives, as at the script's own end.
        TapewrightUtil::processEvents();
        endPlayBack();
        inStep_ = false;
        return;
    }
    qint64 delay = clampedDelay(attribute(child_.toElement(), "sleep"), QStringLiteral("sleep"));
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

void PlayBack::executeElement(const QDomElement& element, bool* stop, bool* advanced, int* delayOverride)
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
        else if (loadScript(file))
            *advanced = true;
    } else if (tag == QLatin1String("information")) {
        const QPoint cursor = QCursor::pos();
        QMessageBox box(QMessageBox::Information, element.attribute(QStringLiteral("title"), tr("Information")),
                        element.attribute(QStringLiteral("text")), QMessageBox::Ok);
        ChildListener::instance()->ignoreObject(&box);
        box.exec();
        QCursor::setPos(cursor);
    } else if (tag == QLatin1String("runcommand")) {
        const QString result = Command::runCommand(element.attribute(QStringLiteral("command")));
        output_.write(result);
        // The run goes on, but its status must say that the script did not do all it asked.
        if (!TapewrightSettings::instance().allowCommands())
            reportError(true, result);
    } else if (QObject* target = ChildListener::instance()->findChild(element.attribute(QStringLiteral("name")), stop)) {
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
        }
        disabledSince_.invalidate();
        playEvent(target, element);
    }
}

void PlayBack::reportShortcutNotTaken(QWidget* widget, const QDomElement& element)
{
    const QString shortcut =
        QKeySequence(playedKey(ScriptReader::keyAttributes(element), QEvent::KeyPress)).toString(QKeySequence::PortableText);
    QWidget* window = widget->window();
    QString windowName = ChildListener::instance()->childName(window);
    if (!window->windowTitle().isEmpty())
        windowName += QStringLiteral(" (\"%1\")").arg(window->windowTitle());
    const int timeOut = std::max(0, TapewrightSettings::instance().creationTimeOut());
    reportError(true, tr("The shortcut %1 was not played: its window %2 did not become active within %3 ms")
                          .arg(shortcut, windowName).arg(timeOut));
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
    // The item of a tree view that is still being filled.
    for (QDomElement path = element.firstChildElement(); !path.isNull(); path = path.nextSiblingElement())
        if (path.tagName().toLower() == QLatin1String("childpath"))
            if (auto* view = qobject_cast<QTreeView*>(widget); view && !TapewrightUtil::findItem(path, view).isValid())
                return false;
    // Presses and keys, also as adapters record them (a "type" of the event).
    static const QStringList inputTags = {QStringLiteral("mousepress"), QStringLiteral("mousedblclick"),
                                          QStringLiteral("keypress")};
    static const QStringList inputTypes = {QStringLiteral("mousebuttonpress"), QStringLiteral("mousebuttondblclick")};
    if (!inputTags.contains(tag) && !inputTypes.contains(element.attribute(QStringLiteral("type")).toLower()))
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
        // A posted close event only asks; a window closed by its user must really close.
        if (widget->isWindow())
            QMetaObject::invokeMethod(widget, &QWidget::close, Qt::QueuedConnection);
        else
            QApplication::postEvent(widget, new QCloseEvent);
    } else if (tag == QLatin1String("screendump")) {
        screenDump(widget, element);
    } else if (tag == QLatin1String("printproperty")) {
        output_.printProperties(element, target);
    } else {
        QApplication::postEvent(target, new PostedEvent(element));
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
    bool written = buffer.open(QIODevice::WriteOnly) && widget->grab().save(&buffer, qPrintable(format));
    if (written) {
        try {
            Vexa::AtomicFile::writeFile(QFile::encodeName(fileName).toStdString(), picture.toStdString());
        } catch (const std::exception&) {
            written = false;
        }
    }
    if (!written)
        reportError(true, tr("Could not write the screen dump '%1'").arg(fileName));
}

bool PlayBack::eventFilter(QObject* target, QEvent* event)
{
    if (event->type() != PostedEvent::eventType())
        return false;
    const auto* posted = dynamic_cast<PostedEvent*>(event);
    if (!posted)
        return false;
    return playPosted(target, posted->element());
}

bool PlayBack::playPosted(QObject* target, const QDomElement& element)
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
        reportError(false, tr("Unknown tag: %1").arg(tag));
    return true;
}

void PlayBack::childSearchError(const QString& name)
{
    if (!playing_)
        return;
    emit unableToFindChild(name);
    if (linkMode_) {
        // The link goes on whatever the policy: a peer must not stop or end the player.
        reportError(true, tr("Unable to find widget with name %1; the element from the remote link is skipped").arg(name));
        return;
    }
    const int policy = TapewrightSettings::instance().missingWidget();
    if (policy & TapewrightSettings::warnMissing)
        reportError(true, tr("Unable to find widget with name %1").arg(name));
    if (policy & TapewrightSettings::quitOnMissing) {
        endPlayBack();
        QApplication::exit(-1);
    } else if (policy & TapewrightSettings::stopOnMissing) {
        endPlayBack();
    }
}

void PlayBack::endPlayBack()
{
    if (!playing_)
        return;
    playing_ = false;
    waitingForWidget_ = false;
    timer_->stop();
    qApp->removeEventFilter(this);
    levels_.clear();
    child_ = QDomNode();
    TapewrightUtil::setUseNativeDialogs(true);
    output_.close();
    if (socket_) {
        disconnect(socket_, nullptr, this, nullptr);
        linkPieces_.clear();
        TapewrightSettings::instance().setCreationTimeOut(savedCreationTimeOut_);
        socket_ = nullptr;
    }
    if (TapewrightSettings::instance().endPlayBackDialog())
        QMessageBox::information(nullptr, tr("End of Playback"), tr("End of Playback"));
    emit playbackDone();
}
