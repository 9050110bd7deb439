#include "planning/model/Utilities.h"

#include "platform/Mixer.h"

#include "vexa/core/ExceptionStack.h"
#include "vexa/io/AtomicFile.h"

#include <QApplication>
#include <QCursor>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QMouseEvent>
#include <QPointer>
#include <QWidget>
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace {

constexpr int uniqueNameTries = 49;

std::mutex& clockMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::function<QDateTime()>& clockFunction()
{
    static std::function<QDateTime()> clock;
    return clock;
}

QDateTime now()
{
    std::function<QDateTime()> clock;
    {
        std::lock_guard lock(clockMutex());
        clock = clockFunction();
    }
    return clock ? clock() : QDateTime::currentDateTime();
}

// Keeps the cursor inside the rectangle while a confinement is active: every mouse move that
// leaves it puts the cursor back on the nearest point of the rectangle. The window system may
// ignore that (or deliver the move before it takes effect), so the widget's own mouse events
// are clamped as well: the views rely on never seeing a position outside the rectangle.
class CursorClipper : public QObject
{
public:
    void start(QWidget* widget, const QRect& rectangle)
    {
        stop();
        widget_ = widget;
        rectangle_ = rectangle.normalized();
        widget->grabMouse();
        qApp->installEventFilter(this);
        active_ = true;
    }

    void stop()
    {
        if (!active_)
            return;
        qApp->removeEventFilter(this);
        if (widget_)
            widget_->releaseMouse();
        widget_ = nullptr;
        active_ = false;
    }

    bool isActive() const { return active_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (widget_ && watched == widget_ && !rectangle_.isEmpty() && isMouseEvent(event->type())) {
            const auto* mouse = static_cast<QMouseEvent*>(event);
            const QPointF position = mouse->position();
            const QPointF clamped(std::clamp<qreal>(position.x(), rectangle_.left(), rectangle_.right()),
                                  std::clamp<qreal>(position.y(), rectangle_.top(), rectangle_.bottom()));
            if (clamped != position) {
                QMouseEvent inside(mouse->type(), clamped, widget_->mapTo(widget_->window(), clamped),
                                   widget_->mapToGlobal(clamped), mouse->button(), mouse->buttons(),
                                   mouse->modifiers(), mouse->pointingDevice());
                QCoreApplication::sendEvent(widget_, &inside);
                event->setAccepted(inside.isAccepted());
                return true;
            }
        }
        if (event->type() == QEvent::MouseMove && widget_ && !rectangle_.isEmpty()) {
            const QPoint local = widget_->mapFromGlobal(QCursor::pos());
            const QPoint clamped(std::clamp(local.x(), rectangle_.left(), rectangle_.right()),
                                 std::clamp(local.y(), rectangle_.top(), rectangle_.bottom()));
            if (clamped != local)
                QCursor::setPos(widget_->mapToGlobal(clamped));
        }
        return QObject::eventFilter(watched, event);
    }

private:
    static bool isMouseEvent(QEvent::Type type)
    {
        return type == QEvent::MouseMove || type == QEvent::MouseButtonPress || type == QEvent::MouseButtonRelease
               || type == QEvent::MouseButtonDblClick;
    }

    QPointer<QWidget> widget_;
    QRect rectangle_;
    bool active_ = false;
};

CursorClipper& clipper()
{
    static CursorClipper* instance = new CursorClipper; // lives as long as the application
    return *instance;
}

}

namespace Utilities {

void clipMouseCursor(QWidget* widget, QRect rectangle)
{
    if (!widget || !qApp)
        return;
    clipper().start(widget, rectangle);
}

void unclipMouseCursor()
{
    if (qApp)
        clipper().stop();
}

bool isMouseCursorClipped()
{
    return qApp && clipper().isActive();
}

bool copyFile(const std::string& from, const std::string& to, std::string* failure)
{
    const QString source = QString::fromStdString(from);
    const QString target = QString::fromStdString(to);
    if (!QFileInfo(source).isFile()) {
        if (failure)
            *failure = "Could not read " + from + ": the file does not exist.";
        return false;
    }
    if (QFileInfo(source).canonicalFilePath() == QFileInfo(target).canonicalFilePath())
        return true; // the file is already there; replacing the target would lose it
    // QFile::copy can leave a cut file on a full disk and still succeed.
    try {
        Vexa::AtomicFile::copyFile(from, to);
        return true;
    } catch (const std::exception& e) {
        if (failure)
            *failure = e.what();
        return false;
    }
}

const QString getAsString(const std::pair<double, double>& values)
{
    return "u=" + QString::number(values.first, 'f', 2) + " s=" + QString::number(values.second, 'f', 2);
}

std::string getTimeStampName(const QDateTime& time)
{
    // The millisecond is appended by hand: its format letter has not meant the same in every
    // Qt version.
    return (time.toString("yyyy-MM-dd__hh-mm-ss-") + QString::number(time.time().msec())).toStdString();
}

void setClock(std::function<QDateTime()> clock)
{
    std::lock_guard lock(clockMutex());
    clockFunction() = std::move(clock);
}

QDateTime currentDateTime()
{
    return now();
}

std::string getUniqueFilename(const std::string base) try
{
    // That folder only, never one above it: a planning folder another instance replaced meanwhile
    // is not made again for its "Log" folder.
    if (!base.empty())
        QDir().mkdir(QString::fromStdString(base));
    for (int i = 0; i < uniqueNameTries; ++i) {
        if (i > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1)); // the next try needs a new millisecond
        const std::string name = getTimeStampName(now());
        if (!QFileInfo::exists(QString::fromStdString(base + "/" + name)))
            return name;
    }
    throw std::runtime_error("could not determine unique file");
}
VEXA_RETHROW

int createRecordFile(const std::string& folder, const std::string& extension, std::string& path, int& error,
                     std::size_t room)
{
    for (int i = 0; i < uniqueNameTries; ++i) {
        if (i > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1)); // the next try needs a new millisecond
        path = folder + "/" + getTimeStampName(now()) + extension;
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 && room && ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(room)) != 0 &&
            (errno == ENOSPC || errno == EDQUOT)) {
            error = errno;
            ::close(fd); // before its name goes: a file server keeps the name of a file still open
            ::unlink(path.c_str());
            break;
        }
        if (fd >= 0)
            return fd;
        if ((error = errno) != EEXIST)
            break;
    }
    path.clear();
    return -1;
}

std::string getUniqueSubpath(std::string base, bool create) try
{
    // A folder that cannot be made is named with the system's reason: the user has to mend it.
    const auto cannotCreate = [](const std::string& folder, const std::error_code& error) {
        return std::runtime_error("The folder " + folder + " cannot be created: " + error.message() + ".");
    };
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(base), error);
    if (error)
        throw cannotCreate(base, error);
    for (int i = 0; i < uniqueNameTries; ++i) {
        if (i > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const std::string name = getTimeStampName(now());
        const std::string path = base + "/" + name;
        if (QFileInfo::exists(QString::fromStdString(path)))
            continue;
        if (!create)
            return name;
        // create_directory makes nothing over an existing folder, so a folder made by someone
        // else in between is not taken as ours.
        if (std::filesystem::create_directory(std::filesystem::path(path), error))
            return name;
        if (error && error != std::errc::file_exists)
            throw cannotCreate(path, error);
    }
    throw std::runtime_error("could not create unique subpath in " + base + ": every name tried was taken");
}
VEXA_RETHROW

bool makeAbsDir(std::string path)
{
    if (path.empty())
        return false;
    return QDir().mkpath(QString::fromStdString(path));
}

bool setMixerMute(unsigned componentType, bool mute)
{
    return Platform::setMixerMute(componentType, mute);
}

bool setMixerVolume(unsigned componentType, double fraction)
{
    return Platform::setMixerVolume(componentType, fraction);
}

std::vector<std::string> splitEnumeration(std::string text, std::string separator)
{
    std::vector<std::string> parts;
    if (separator.empty())
        return {text};
    std::size_t start = 0;
    for (;;) {
        const std::size_t at = text.find(separator, start);
        if (at == std::string::npos) {
            parts.push_back(text.substr(start));
            return parts;
        }
        parts.push_back(text.substr(start, at - start));
        start = at + separator.size();
    }
}

}
