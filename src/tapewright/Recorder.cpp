#include "tapewright/Recorder.h"

#include "tapewright/AdapterRegistry.h"
#include "tapewright/ChildListener.h"
#include "tapewright/DumpWidget.h"
#include "tapewright/ErrorReport.h"
#include "tapewright/LinkFramer.h"
#include "tapewright/PropertyPicker.h"
#include "tapewright/RecorderDialog.h"
#include "tapewright/RecorderAdapter.h"
#include "tapewright/Script.h"
#include "tapewright/ScriptElements.h"
#include "tapewright/ScriptWriter.h"
#include "tapewright/SleepDialog.h"
#include "tapewright/TapewrightSettings.h"
#include "tapewright/TapewrightUtil.h"
#include "vexa/io/EncFile.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QCursor>
#include <QFile>
#include <QFileDialog>
#include <QInputDialog>
#include <QKeyEvent>
#include <QMessageBox>
#include <QTcpSocket>
#include <QTimer>
#include <QWhatsThis>
#include <QWidget>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace {
Recorder* runningRecorder = nullptr;

qint64 steadyMs()
{
    static QElapsedTimer timer = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return timer.elapsed();
}
}

Recorder::Recorder(QObject* parent, Clock clock) : QObject(parent), clock_(clock ? std::move(clock) : Clock(steadyMs))
{
    setObjectName(QStringLiteral("recorder"));
    ChildListener::instance();
    if (runningRecorder)
        reportError(true, tr("You must not create more than one instance of a recorder!"));
    runningRecorder = this;
    RecorderAdapter::setAdapterInterface(this);
}

Recorder::~Recorder()
{
    stop();
    if (runningRecorder == this) {
        runningRecorder = nullptr;
        RecorderAdapter::setAdapterInterface(nullptr);
    }
}

bool Recorder::start(const QString& scriptFile, const QString& outputFile)
{
    if (recording_)
        stop();
    output_.open(outputFile);
    return startFile(scriptFile);
}

bool Recorder::start(QIODevice* device, const QString& outputFile)
{
    if (recording_)
        stop();
    output_.open(outputFile);
    return startDevice(device);
}

bool Recorder::startFile(const QString& scriptFile)
{
    ownFile_ = std::make_shared<QFile>(scriptFile);
    return startRecording(ownFile_.get(), scriptFile);
}

bool Recorder::startDevice(QIODevice* device)
{
    auto* file = qobject_cast<QFileDevice*>(device);
    return startRecording(device, file ? file->fileName() : QString());
}

bool Recorder::startRecording(QIODevice* device, const QString& name)
{
    if (recording_)
        stop();
    TapewrightUtil::setUseNativeDialogs(false);
    // A linked recording may have no local copy at all.
    const bool opened = (!device && socket_) || openWriter(device, name);
    keysDown_.clear();
    qApp->installEventFilter(this);
    recording_ = true;
    restartClock();
    showSidebar();
    // A reported error that ends the program still leaves a complete script.
    exitHook_ = addExitHook([this] { stop(); });
    addElement(ScriptElements::version(document_), 0);
    return opened;
}

void Recorder::stop()
{
    if (recording_) {
        qApp->removeEventFilter(this);
        recording_ = false;
        TapewrightUtil::setUseNativeDialogs(true);
        removeExitHook(exitHook_);
        // Stop may come from the sidebar's own button: it goes once that click is over.
        if (sidebar_) {
            sidebar_->hide();
            sidebar_->deleteLater();
            sidebar_ = nullptr;
        }
        closeWriter();
        if (socket_) {
            // Whatever is still queued reaches the player, and its last lines are read, before the link closes.
            disconnect(socket_, nullptr, this, nullptr);
            socket_->flush();
            if (socket_->state() == QAbstractSocket::ConnectedState)
                socket_->waitForBytesWritten(2000);
            readSocket();
            socket_->disconnectFromHost();
            socket_ = nullptr;
        }
        output_.close();
    }
    emit recordingEnded();
}

bool Recorder::openWriter(QIODevice* device, const QString& name)
{
    // Unbuffered: every element reaches the file as it is written, and a line the disk took
    // only part of can be cut off again. A script file of our own must be a regular file (or one
    // that can be made): a FIFO would hold the open until a reader came. A device given (the
    // session's file in a patient folder, which may lie on a file server) is opened by the
    // writer's thread, and a failure to is told as one to write.
    const QIODevice::OpenMode mode = QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered;
    QString why;
    bool opened = false;
    if (!device)
        why = tr("there is no file");
    else if (device == ownFile_.get())
        opened = TapewrightUtil::openRegularFile(*ownFile_, mode, &why);
    else
        opened = true;
    if (opened) {
        device_ = device;
        scriptName_ = name;
        scriptFailureTold_ = false;
        // From here on only the writer's thread uses the device: a file of our own it owns with
        // us, one given stays the giver's (see writerOut()).
        if (device == ownFile_.get())
            writer_ = std::make_unique<ScriptWriter>(std::shared_ptr<QIODevice>(ownFile_));
        else
            writer_ = std::make_unique<ScriptWriter>(device, Script::maxFileBytes, [device, mode] {
                return device->open(mode) ? QString() : device->errorString();
            });
        // A failure the thread meets is told on this thread at once, not only at the next element.
        writer_->onFailure([this] { QMetaObject::invokeMethod(this, &Recorder::writerFailed, Qt::QueuedConnection); });
        if (!writer_->begin())
            scriptFailed(writer_->failure());
        return true;
    }
    // Recording goes on without a script rather than ending the program, unless nobody watches
    // the run: a test recording that writes nothing must not seem to have done its work.
    reportError(!TapewrightSettings::instance().unattended(), tr("Could not open file %1 for writing: %2").arg(name, why));
    return false;
}

void Recorder::closeWriter()
{
    if (writer_) {
        QIODevice* device = device_.data();
        // In the writer's thread, after the end: the end of the script reaches the disk before
        // the file counts as closed (the enciphered file syncs itself when it writes its last
        // block). Why it failed, "" when it did not.
        const auto close = [device]() -> QString {
            if (!device)
                return QString();
            auto* file = qobject_cast<QFileDevice*>(device);
            auto* enciphered = qobject_cast<Vexa::EncFile*>(device);
            QString why;
            if (file && !enciphered && file->handle() >= 0 && ::fsync(file->handle()) != 0 && errno != EINVAL)
                why = QString::fromLocal8Bit(std::strerror(errno));
            device->close();
            if (!why.isEmpty())
                return why;
            if (enciphered && enciphered->writeFailed())
                return enciphered->errorString();
            if (file && !enciphered && file->error() != QFileDevice::NoError)
                return file->errorString();
            return QString();
        };
        // A writer that does not return is waited for only so long: the window must go on.
        if (!writer_->end(close) || writer_->failed())
            scriptFailed(writer_->failure());
        leftWriter_.reset();
        if (writer_->out())
            leftWriter_ = std::move(writer_);
        writer_.reset();
    }
    device_ = nullptr;
    ownFile_.reset();
}

bool Recorder::writerOut() const { return leftWriter_ && leftWriter_->out(); }

void Recorder::writerFailed()
{
    if (writer_ && writer_->failed())
        scriptFailed(writer_->failure());
}

void Recorder::scriptFailed(const QString& why)
{
    if (scriptFailureTold_)
        return;
    scriptFailureTold_ = true;
    // Nothing of an error box that may come up is recorded, nor its time counted.
    const bool pause = recording_;
    if (pause)
        pauseClock();
    const QString message = tr("Could not write file %1: %2").arg(scriptName_, why);
    reportError(true, message);
    if (pause)
        resumeClock();
    emit scriptFailure(message);
}

bool Recorder::setSocket(QTcpSocket* socket, QIODevice* localCopy, const QString& scriptFile, const QString& outputFile)
{
    if (recording_)
        stop();
    socket_ = socket;
    output_.open(outputFile);
    connect(socket, &QTcpSocket::readyRead, this, &Recorder::readSocket);
    connect(socket, &QTcpSocket::disconnected, this, &Recorder::linkClosed);
    if (localCopy)
        return startDevice(localCopy);
    if (!scriptFile.isNull())
        return startFile(scriptFile);
    return startRecording(nullptr, QString());
}

void Recorder::setLocalCopy(QIODevice* device)
{
    if (!recording_ || !socket_)
        return;
    closeWriter();
    auto* file = qobject_cast<QFileDevice*>(device);
    if (openWriter(device, file ? file->fileName() : QString()) && !writer_->write(ScriptElements::version(document_)))
        scriptFailed(writer_->failure());
}

void Recorder::readSocket()
{
    if (!socket_)
        return;
    while (socket_->canReadLine())
        output_.write(QString::fromUtf8(socket_->readLine()).chopped(1));
}

void Recorder::linkClosed()
{
    readSocket();
    socket_ = nullptr;
    stop();
    output_.close();
    if (TapewrightSettings::instance().showRecorderConnectionClosed()) {
        if (TapewrightSettings::instance().unattended())
            reportToStandardError(true, tr("Playback unit closed connection"));
        else
            QMessageBox::information(nullptr, tr("End of Playback"), tr("Playback unit closed connection"));
    }
}

qint64 Recorder::elapsed() const { return clock_() - clockStart_ - pausedMs_; }

void Recorder::restartClock()
{
    clockStart_ = clock_();
    pausedMs_ = 0;
}

void Recorder::restartIfRelative()
{
    if (!TapewrightSettings::instance().absoluteTimeStamps())
        restartClock();
}

void Recorder::pauseClock()
{
    pauseStart_ = clock_();
    recording_ = false;
    paused_ = true;
}

void Recorder::resumeClock()
{
    pausedMs_ += clock_() - pauseStart_;
    paused_ = false;
    recording_ = true;
}

bool Recorder::eventFilter(QObject* object, QEvent* event)
{
    if (event->type() == QEvent::EnterWhatsThisMode) {
        whatsThisMode_ = true;
    } else if (event->type() == QEvent::LeaveWhatsThisMode) {
        // The popup with the help text is shown right after the mode is left.
        QTimer::singleShot(0, this, [this] { whatsThisMode_ = QWhatsThis::inWhatsThisMode(); });
    } else if (event->type() == QEvent::Show && (paused_ || whatsThisMode_) && object->isWidgetType()
               && static_cast<QWidget*>(object)->isWindow()) {
        // A window an action opens, or a What's This popup (its help event is never recorded, so
        // no replay could show it), stays out of the script, also with events that come late.
        ChildListener::instance()->ignoreObject(object);
        ignoreObject(object);
        ignoreChildren(object);
        return false;
    }
    if (!recording_ || ignoreMap_.isIgnored(object))
        return false;
    if (event->type() == QEvent::Shortcut && override_ && overrideReceiver_) {
        // The shortcut's QAction is no widget: write it for the widget that had the key.
        QDomElement element = ScriptElements::keyElement(document_, QStringLiteral("Accel"), override_.get());
        // The shortcut stands for the key's press: its release is recorded.
        keysDown_.insert(override_->key());
        const QString name = TapewrightUtil::objectName(overrideReceiver_);
        const int sleep = int(elapsed());
        if (!name.isNull()) {
            element.setAttribute(QStringLiteral("name"), name);
            addElement(element, sleep);
        }
        restartIfRelative();
        override_.reset();
        return false;
    }
    if (!object->isWidgetType())
        return false;
    const int sleep = int(elapsed());
    if (event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const auto& settings = TapewrightSettings::instance();
        // Only the press of a bound key is consumed. Stop ends the recording at once; any other
        // action runs after this event, never inside the filter. The release of a key that opens
        // a dialog belongs to the paused time, however early it comes; after "Sleep as Last" it
        // is recorded.
        static const std::pair<int, void (Recorder::*)()> actions[] = {
            {1, &Recorder::slotShowMessageBox}, {3, &Recorder::slotIncludeScript}, {0, &Recorder::stop},
            {2, &Recorder::slotShowPropertyPicker}, {4, &Recorder::slotScreenDumpDialog},
            {5, &Recorder::slotScreenDumpWidget}, {6, &Recorder::slotSleep}, {7, &Recorder::slotSleepAsLast},
            {8, &Recorder::slotRunExernalCommand}};
        for (const auto& [action, slot] : actions) {
            if (settings.isKeyBinding(action, key)) {
                if (action == 7)
                    keysDown_.insert(key->key());
                if (action == 0)
                    stop();
                else
                    QMetaObject::invokeMethod(this, slot, Qt::QueuedConnection);
                return true;
            }
        }
        keysDown_.insert(key->key());
    } else if (event->type() == QEvent::KeyRelease) {
        // A key that went down in an action's dialog, or before the recording began, comes up
        // here: its release is no input the script could replay.
        const int code = static_cast<QKeyEvent*>(event)->key();
        if (!keysDown_.contains(code))
            return false;
        if (!static_cast<QKeyEvent*>(event)->isAutoRepeat())
            keysDown_.remove(code);
    }
    QDomElement element;
    if (!recordEvent(object, event, element, event->spontaneous()))
        return false;
    if (!element.hasAttribute(QStringLiteral("name"))) {
        const QString name = TapewrightUtil::objectName(object);
        if (!name.isNull())
            element.setAttribute(QStringLiteral("name"), name);
        else
            element = QDomElement();
    }
    if (!element.isNull())
        addElement(element, sleep);
    restartIfRelative();
    if (event->type() == QEvent::Close)
        closeSidebarAfter(object);
    return false;
}

bool Recorder::recordEvent(QObject* object, QEvent* event, QDomElement& element, bool spontaneous)
{
    if (!object->isWidgetType())
        return false;
    for (RecorderAdapter* adapter : adapterRegistry().recorderAdapters()) {
        if (!adapter->isEnabled(object))
            continue;
        const EventReplacement replacement = adapter->record(object, event, spontaneous, document_);
        if (replacement.hasElement() && !replacement.block())
            qWarning("ASSERT: \"%s\" in %s (%d)", "replacement.block()", __FILE__, __LINE__);
        // An element past what a player reads (a snapshot of a huge view) would make the whole
        // script unplayable: the event is recorded as it is instead.
        if (replacement.hasElement() && !Script::fits(replacement.element(), 2)) {
            qWarning("The element '%s' for '%s' holds more than a script element may; the event is recorded as it is",
                     qPrintable(replacement.element().tagName()), qPrintable(TapewrightUtil::objectName(object)));
            break;
        }
        if (replacement.block() || replacement.hasElement()) {
            element = replacement.element();
            return replacement.hasElement();
        }
    }
    const QEvent::Type type = event->type();
    if (!spontaneous && type != QEvent::ShortcutOverride && type != QEvent::Close && type != QEvent::FocusIn
        && type != QEvent::FocusOut)
        return false;
    if (type == QEvent::MouseMove && TapewrightSettings::instance().ignoreMouseMovement())
        return false;
    if (type == QEvent::ShortcutOverride) {
        const auto* key = static_cast<const QKeyEvent*>(event);
        override_ = std::make_unique<QKeyEvent>(key->type(), key->key(), key->modifiers(), key->text(),
                                                key->isAutoRepeat(), key->count());
        overrideReceiver_ = object;
    }
    element = ScriptElements::fromEvent(document_, object, event);
    return !element.isNull();
}

void Recorder::addElement(QDomElement element, int sleep)
{
    if (sleep == -1) {
        sleep = int(elapsed());
        restartIfRelative();
    }
    ScriptElements::setSleep(element, sleep);
    if (writer_ && !writer_->write(element))
        scriptFailed(writer_->failure());
    if (socket_) {
        socket_->write(LinkFramer::frame(ScriptWriter::elementLine(element).toUtf8()));
        socket_->flush();
    }
}

void Recorder::ignoreChildren(QObject* object)
{
    for (QObject* child : object->children()) {
        if (!child->isWidgetType())
            continue;
        ignoreObject(child);
        ignoreChildren(child);
    }
}

void Recorder::ignoreObject(QObject* object) { ignoreMap_.ignore(object); }

void Recorder::unignoreObject(QObject* object) { ignoreMap_.objectDies(object); }

namespace {

// An interactive action: nothing is recorded while it runs, its time is not counted, and the
// cursor goes back where it was.
class ActionPause
{
public:
    explicit ActionPause(Recorder* recorder) : recorder_(recorder), cursor_(QCursor::pos()) { recorder_->pauseClock(); }
    ~ActionPause()
    {
        QCursor::setPos(cursor_);
        recorder_->resumeClock();
    }

private:
    Recorder* recorder_;
    QPoint cursor_;
};

}

void Recorder::slotShowMessageBox()
{
    if (!recording_)
        return;
    ActionPause pause(this);
    bool ok = false;
    const QString text = QInputDialog::getText(nullptr, tr("Information dialog"), tr("Text to be shown in the dialog"),
                                               QLineEdit::Normal, QString(), &ok);
    if (ok)
        addElement(ScriptElements::information(document_, text), 0);
}

void Recorder::slotIncludeScript()
{
    if (!recording_)
        return;
    ActionPause pause(this);
    const QString file = QFileDialog::getOpenFileName(nullptr, QString(), QString(), tr("Script Files (*.tpw);;All Files (*)"),
                                                      nullptr, QFileDialog::DontUseNativeDialog);
    if (!file.isEmpty())
        addElement(ScriptElements::include(document_, file), 0);
}

void Recorder::slotSleep()
{
    if (!recording_)
        return;
    ActionPause pause(this);
    if (!sleepDialog_)
        sleepDialog_ = std::make_unique<SleepDialog>();
    if (sleepDialog_->exec() == QDialog::Accepted)
        addElement(ScriptElements::sleep(document_, sleepDialog_->value()), 0);
}

void Recorder::slotSleepAsLast()
{
    if (!recording_)
        return;
    if (!sleepDialog_)
        sleepDialog_ = std::make_unique<SleepDialog>();
    addElement(ScriptElements::sleep(document_, sleepDialog_->value()), 0);
}

void Recorder::slotRunExernalCommand()
{
    if (!recording_)
        return;
    ActionPause pause(this);
    bool ok = false;
    const QString command = QInputDialog::getText(nullptr, tr("Tapewright: Execute Command"), tr("Specify command to execute"),
                                                  QLineEdit::Normal, QString(), &ok);
    if (ok && !command.isEmpty())
        addElement(ScriptElements::runCommand(document_, command), 0);
}

void Recorder::slotShowPropertyPicker()
{
    if (!recording_)
        return;
    ActionPause pause(this);
    if (!picker_) {
        picker_ = std::make_unique<PropertyPicker>();
        ChildListener::instance()->ignoreObject(picker_.get());
    }
    qApp->installEventFilter(picker_.get());
    const int result = picker_->exec();
    qApp->removeEventFilter(picker_.get());
    if (result != QDialog::Accepted)
        return;
    QDomElement events = document_.createElement(QStringLiteral("Events"));
    picker_->writePrintProperty(events);
    // The values as they are now, printed as the player will print them.
    for (QDomElement e = events.firstChildElement(); !e.isNull(); e = e.nextSiblingElement()) {
        bool waiting = false;
        if (QObject* target = ChildListener::instance()->findChild(e.attribute(QStringLiteral("name")), &waiting))
            output_.printProperties(e, target);
    }
    if (!picker_->fileName().isNull())
        savePropertySet(events, picker_->fileName());
    else
        for (QDomElement e = events.firstChildElement(); !e.isNull(); e = events.firstChildElement())
            addElement(events.removeChild(e).toElement(), 0);
}

void Recorder::savePropertySet(const QDomElement& events, QString fileName)
{
    for (;;) {
        QString why = tr("no file name was given");
        if (!fileName.isEmpty()) {
            QDomDocument set;
            set.appendChild(set.importNode(events, true));
            // Whole or not at all: a file that was there stays as it was when this one fails.
            if (TapewrightUtil::writeRegularFile(fileName, set.toByteArray(), &why)) {
                addElement(ScriptElements::include(document_, fileName), 0);
                return;
            }
        }
        // Nobody would answer the question: given up at once, and said so.
        if (TapewrightSettings::instance().unattended()) {
            reportError(true, (fileName.isEmpty() ? tr("No file was named to save the properties to")
                                                  : tr("Could not write %1: %2").arg(fileName, why)) +
                                  tr("; the properties go into the recording itself"));
            break;
        }
        QMessageBox question(QMessageBox::Critical, tr("Could not save file"), tr("Could not save file. Try again?"),
                             QMessageBox::Yes | QMessageBox::No);
        question.setInformativeText(tr("'%1': %2").arg(fileName, why));
        question.setDefaultButton(QMessageBox::Yes);
        if (question.exec() != QMessageBox::Yes)
            break;
        fileName = QFileDialog::getSaveFileName(nullptr, QString(), fileName, tr("Script Files (*.tpw);; All Files (*)"),
                                                nullptr, QFileDialog::DontUseNativeDialog);
    }
    // Given up: the properties go into the script itself.
    for (QDomElement e = events.firstChildElement(); !e.isNull(); e = e.nextSiblingElement())
        addElement(e.cloneNode(true).toElement(), 0);
}

void Recorder::screenDump(bool dialog)
{
    if (!recording_)
        return;
    ActionPause pause(this);
    auto* widget = qobject_cast<QWidget*>(DumpWidget::pickWidget());
    if (!widget)
        return;
    if (dialog)
        widget = widget->window();
    const QString path = TapewrightUtil::objectName(widget);
    const QString file = QFileDialog::getSaveFileName(nullptr, QString(), QString(), QStringLiteral("Screen Dumps (*.png *.jpg *.xpm)"),
                                                      nullptr, QFileDialog::DontUseNativeDialog);
    if (!file.isEmpty() && !path.isNull())
        addElement(ScriptElements::screenDump(document_, path, file), 0);
}

void Recorder::slotScreenDumpDialog() { screenDump(true); }

void Recorder::slotScreenDumpWidget() { screenDump(false); }

void Recorder::showSidebar()
{
    if (!TapewrightSettings::instance().showRecorderDialog())
        return;
    sidebar_ = new RecorderDialog(nullptr, "recorderDialog");
    sidebar_->setAttribute(Qt::WA_QuitOnClose, false);
    ignoreChildren(sidebar_);
    ignoreObject(sidebar_);
    ChildListener::instance()->ignoreObject(sidebar_);
    sidebar_->show();
    connect(sidebar_, &RecorderDialog::stop, this, &Recorder::stop);
    connect(sidebar_, &RecorderDialog::showMessageBox, this, &Recorder::slotShowMessageBox);
    connect(sidebar_, &RecorderDialog::showPropertyPicker, this, &Recorder::slotShowPropertyPicker);
    connect(sidebar_, &RecorderDialog::includeScript, this, &Recorder::slotIncludeScript);
    connect(sidebar_, &RecorderDialog::screenDumpDialog, this, &Recorder::slotScreenDumpDialog);
    connect(sidebar_, &RecorderDialog::screenDumpWidget, this, &Recorder::slotScreenDumpWidget);
    connect(sidebar_, &RecorderDialog::sleep, this, &Recorder::slotSleep);
    connect(sidebar_, &RecorderDialog::sleepAsLast, this, &Recorder::slotSleepAsLast);
    connect(sidebar_, &RecorderDialog::runExernalCommand, this, &Recorder::slotRunExernalCommand);
}

void Recorder::closeSidebarAfter(QObject* closing)
{
    if (!sidebar_ || !TapewrightSettings::instance().closeRecorderDialog())
        return;
    // Any other visible ordinary window or parentless dialog keeps the sidebar.
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (window == closing || window == sidebar_ || !window->isVisible() || window->windowType() == Qt::Popup)
            continue;
        if (!qobject_cast<QDialog*>(window) || !window->parentWidget())
            return;
    }
    sidebar_->close();
}

RecorderDialog* Recorder::sidebar() const { return sidebar_; }
