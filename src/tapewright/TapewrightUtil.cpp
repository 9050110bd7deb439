#include "tapewright/TapewrightUtil.h"

#include "tapewright/ChildListener.h"
#include "tapewright/ErrorReport.h"
#include "tapewright/QtCompat.h"
#include "tapewright/TapewrightSettings.h"
#include "vexa/io/AtomicFile.h"

#include <QApplication>
#include <QCursor>
#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QMouseEvent>
#include <QWidget>
#include <QWindow>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace TapewrightUtil {

namespace {

struct StateWord
{
    int bit;
    const char* word;
};
constexpr StateWord stateWords[] = {{QtCompat::leftState, "Left"},     {QtCompat::rightState, "Right"},
                                    {QtCompat::midState, "Mid"},       {QtCompat::shiftState, "Shift"},
                                    {QtCompat::controlState, "Control"}, {QtCompat::altState, "Alt"}};

const char* const focusReasonWords[] = {"Mouse", "Tab", "Backtab", "ActiveWindow", "Popup", "Shortcut", "Other"};

struct EventTypeRun
{
    int first;
    std::initializer_list<const char*> names;
};

const QStringList& eventTypeNames()
{
    static const QStringList names = [] {
        const EventTypeRun runs[] = {
            {0, {"None", "Timer", "MouseButtonPress", "MouseButtonRelease", "MouseButtonDblClick",
                 "MouseMove", "KeyPress", "KeyRelease", "FocusIn", "FocusOut", "Enter", "Leave",
                 "Paint", "Move", "Resize", "Create", "Destroy", "Show", "Hide", "Close", "Quit",
                 "Reparent", "ShowMinimized", "ShowNormal", "WindowActivate", "WindowDeactivate",
                 "ShowToParent", "HideToParent", "ShowMaximized", "ShowFullScreen", "Accel", "Wheel",
                 "AccelAvailable", "CaptionChange", "IconChange", "ParentFontChange",
                 "ApplicationFontChange", "ParentPaletteChange", "ApplicationPaletteChange",
                 "PaletteChange", "Clipboard"}},
            {42, {"Speech"}},
            {50, {"SockAct", "AccelOverride", "DeferredDelete"}},
            {60, {"DragEnter", "DragMove", "DragLeave", "Drop", "DragResponse"}},
            {70, {"ChildInserted", "ChildRemoved", "LayoutHint", "ShowWindowRequest"}},
            {80, {"ActivateControl", "DeactivateControl", "ContextMenu", "IMStart", "IMCompose",
                  "IMEnd", "Accessibility", "TabletMove", "LocaleChange", "LanguageChange",
                  "LayoutDirectionChange", "Style", "TabletPress", "TabletRelease"}},
        };
        QStringList list(94);
        for (const auto& run : runs) {
            int value = run.first;
            for (const char* name : run.names)
                list[value++] = QString::fromLatin1(name);
        }
        return list;
    }();
    return names;
}

QString simplified(const QString& text) { return text.trimmed().toLower(); }

}

QString buttonToText(int button)
{
    switch (button) {
    case QtCompat::leftState: return QStringLiteral("Left");
    case QtCompat::rightState: return QStringLiteral("Right");
    case QtCompat::midState: return QStringLiteral("Mid");
    default: return QStringLiteral("No");
    }
}

int textToButton(const QString& text)
{
    const QString word = simplified(text);
    if (word == QLatin1String("left"))
        return QtCompat::leftState;
    if (word == QLatin1String("right"))
        return QtCompat::rightState;
    if (word == QLatin1String("mid"))
        return QtCompat::midState;
    return 0;
}

QString stateToText(int state)
{
    QString text;
    for (const auto& word : stateWords)
        if (state & word.bit)
            text += QLatin1String(", ") + QLatin1String(word.word);
    return text.isEmpty() ? QString() : text.mid(2);
}

int textToState(const QString& text)
{
    int state = 0;
    for (const QString& piece : text.split(QLatin1Char(','), Qt::SkipEmptyParts))
        for (const auto& word : stateWords)
            if (simplified(piece) == QString::fromLatin1(word.word).toLower())
                state |= word.bit;
    return state;
}

QString orientationToText(int orientation)
{
    return orientation ? QStringLiteral("vertical") : QStringLiteral("horizontal");
}

Qt::Orientation textToOrientation(const QString& text)
{
    return simplified(text) == QLatin1String("horizontal") ? Qt::Horizontal : Qt::Vertical;
}

QString focusReasonToText(int reason)
{
    if (reason < 0 || reason > 6) {
        reportError(true, QObject::tr("Unknown focus reason: %1").arg(reason));
        return QStringLiteral("Other");
    }
    return QString::fromLatin1(focusReasonWords[reason]);
}

int textToFocusReason(const QString& text)
{
    const QString word = simplified(text);
    for (int i = 0; i < 7; ++i)
        if (word == QString::fromLatin1(focusReasonWords[i]).toLower())
            return i;
    reportError(true, QObject::tr("Unknown focus reason: %1").arg(word));
    return 6;
}

QString eventTypeName(int type)
{
    const QStringList& names = eventTypeNames();
    return type >= 0 && type < names.size() ? names[type] : QString();
}

QString eventTypeToText(int type)
{
    const QString name = eventTypeName(type);
    if (!name.isEmpty())
        return name;
    qWarning("Unhandled event: %d", type);
    return QStringLiteral("None");
}

int textToEventType(const QString& text)
{
    const int type = eventTypeNames().indexOf(text);
    if (type >= 0 && !text.isEmpty())
        return type;
    qWarning("Unknow type: %s", qPrintable(readable(text)));
    return 0;
}

void writeMouseAttributes(QDomElement& element, const QMouseEvent* event, bool withPosition)
{
    const int button = QtCompat::buttonFromQt(event->button());
    const int state = QtCompat::stateBefore(event);
    if (button)
        element.setAttribute(QStringLiteral("button"), buttonToText(button));
    if (state)
        element.setAttribute(QStringLiteral("state"), stateToText(state));
    if (withPosition) {
        element.setAttribute(QStringLiteral("x"), event->position().toPoint().x());
        element.setAttribute(QStringLiteral("y"), event->position().toPoint().y());
    }
    element.setAttribute(QStringLiteral("type"), eventTypeToText(QtCompat::eventTypeFromQt(event->type())));
}

bool readMouseAttributes(const QDomElement& element, int* type, int* button, int* state, QPoint* pos)
{
    const QString typeText = element.attribute(QStringLiteral("type"));
    const QEvent::Type qtType = QtCompat::toQtEventType(textToEventType(typeText));
    switch (qtType) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
        break;
    default:
        reportError(true, QObject::tr("Not a mouse event type in element '%1': '%2'")
                              .arg(element.tagName(), typeText));
        return false;
    }
    if (type)
        *type = qtType;
    if (button)
        *button = textToButton(element.attribute(QStringLiteral("button")));
    if (state)
        *state = textToState(element.attribute(QStringLiteral("state")));
    if (pos)
        *pos = QPoint(element.attribute(QStringLiteral("x"), QStringLiteral("0")).toInt(),
                      element.attribute(QStringLiteral("y"), QStringLiteral("0")).toInt());
    return true;
}

void sendMouseEvent(QWidget* widget, QMouseEvent* event)
{
    if (event->type() == QEvent::MouseMove && !TapewrightSettings::instance().ignoreMouseMovement()
        && event->buttons() == Qt::NoButton && event->modifiers() == Qt::NoModifier) {
        QCursor::setPos(widget->mapToGlobal(event->position().toPoint()));
        return;
    }
    QApplication::sendEvent(widget, event);
}

bool toBool(const QString& text)
{
    const QString word = simplified(text);
    return word == QLatin1String("1") || word == QLatin1String("true");
}

QString readable(const QString& text)
{
    constexpr qsizetype head = 300, tail = 100;
    if (text.size() <= head + tail + 100)
        return text;
    // Never half a character made of two code units.
    const qsizetype headEnd = text.at(head - 1).isHighSurrogate() ? head - 1 : head;
    const qsizetype tailStart = text.at(text.size() - tail).isLowSurrogate() ? text.size() - tail + 1 : text.size() - tail;
    return text.left(headEnd)
           + QStringLiteral(" [... %1 characters left out ...] ").arg(tailStart - headEnd)
           + text.mid(tailStart);
}

QString stripDirectoryPrefix(const QString& prefix, QString path)
{
    if (!prefix.isEmpty() && path.size() > prefix.size() && path.startsWith(prefix)
        && (path[prefix.size()] == QLatin1Char('/') || path[prefix.size()] == QDir::separator()))
        return path.mid(prefix.size() + 1);
    return path;
}

void setUseNativeDialogs(bool on)
{
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs, !on);
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeMenuBar, !on);
}

namespace {

// What stands at a name instead of a regular file, said as the reason nothing is done there.
QString notRegular(mode_t type)
{
    const char* kind = S_ISFIFO(type) ? "it is a FIFO, not a regular file"
                       : S_ISDIR(type) ? "it is a folder, not a regular file"
                       : S_ISCHR(type) || S_ISBLK(type) ? "it is a device, not a regular file"
                       : S_ISSOCK(type) ? "it is a socket, not a regular file"
                                        : "it is not a regular file";
    return QCoreApplication::translate("TapewrightUtil", kind);
}

QString systemReason(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

// Whether the name (a link followed to what it leads to) is a regular file, or, for a write,
// nothing yet; else why not.
bool regularOrMissing(const QByteArray& path, bool writing, QString* why)
{
    struct stat status;
    if (::stat(path.constData(), &status) == 0) {
        if (S_ISREG(status.st_mode))
            return true;
        *why = notRegular(status.st_mode);
        return false;
    }
    if (errno == ENOENT && writing)
        return true;
    *why = systemReason(errno);
    return false;
}

}

bool openRegularFile(QFile& file, QIODevice::OpenMode mode, QString* why)
{
    const auto failed = [why](int error) {
        *why = systemReason(error);
        return false;
    };
    const QByteArray path = QFile::encodeName(file.fileName());
    const bool writing = mode & QIODevice::WriteOnly;
    // Looked at before the open, and once more on what was opened (something else may have
    // taken the name meanwhile). Without blocking, a FIFO with no peer fails the open at once.
    if (!regularOrMissing(path, writing, why))
        return false;
    const int flags = (writing ? O_WRONLY | O_CREAT : O_RDONLY) | O_NONBLOCK | O_CLOEXEC;
    const int descriptor = ::open(path.constData(), flags, 0666);
    if (descriptor < 0)
        return failed(errno);
    struct stat status;
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        const int error = errno;
        ::close(descriptor);
        if (S_ISREG(status.st_mode))
            return failed(error);
        *why = notRegular(status.st_mode);
        return false;
    }
    if (writing && (mode & QIODevice::Truncate) && ::ftruncate(descriptor, 0) != 0) {
        const int error = errno;
        ::close(descriptor);
        return failed(error);
    }
    ::fcntl(descriptor, F_SETFL, ::fcntl(descriptor, F_GETFL) & ~O_NONBLOCK);
    if (!file.open(descriptor, mode, QFileDevice::AutoCloseHandle)) {
        ::close(descriptor);
        *why = file.errorString();
        return false;
    }
    return true;
}

bool writeRegularFile(const QString& fileName, const QByteArray& bytes, QString* why)
{
    // The new contents are renamed over the name: through a link, over what it leads to, so that
    // the link stays a link.
    const QFileInfo info(fileName);
    QString target = fileName;
    if (info.isSymLink())
        target = info.exists() ? info.canonicalFilePath() : info.symLinkTarget();
    if (!regularOrMissing(QFile::encodeName(fileName), true, why))
        return false;
    try {
        Vexa::AtomicFile::writeFile(QFile::encodeName(target).toStdString(), bytes.toStdString());
    } catch (const Vexa::WriteError& e) {
        *why = e.isDiskFull() ? QCoreApplication::translate("TapewrightUtil", "the disk is full") : systemReason(e.error());
        return false;
    } catch (const std::exception& e) {
        *why = QString::fromLocal8Bit(e.what());
        return false;
    }
    return true;
}

bool writeWhole(QIODevice& device, const QByteArray& bytes)
{
    qint64 done = 0;
    while (done < bytes.size()) {
        const qint64 n = device.write(bytes.constData() + done, bytes.size() - done);
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

QString objectName(QObject* object)
{
    return ChildListener::instance()->childName(object);
}

QWidget* mouseTarget(QObject* window, const QMouseEvent* event, QPoint* widgetPos)
{
    if (!window || !window->isWindowType())
        return nullptr;
    for (QWidget* top : QApplication::topLevelWidgets()) {
        if (static_cast<QObject*>(top->windowHandle()) != window)
            continue;
        const QPoint pos = event->position().toPoint();
        QWidget* target = top->childAt(pos);
        if (!target)
            target = top;
        if (widgetPos)
            *widgetPos = target->mapFrom(top, pos);
        return target;
    }
    return nullptr;
}

void fillWaitingBox(QDialog* dialog, const QString& text)
{
    auto* layout = new QVBoxLayout(dialog);
    layout->setContentsMargins(6, 6, 6, 6);
    layout->addWidget(new QLabel(text, dialog));
    auto* row = new QHBoxLayout;
    layout->addLayout(row);
    row->addStretch();
    auto* cancel = new QPushButton(QCoreApplication::translate("TapewrightUtil", "Cancel"), dialog);
    row->addWidget(cancel);
    QObject::connect(cancel, &QPushButton::clicked, qApp, &QCoreApplication::quit);
}

}
