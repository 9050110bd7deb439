#pragma once
#include <QFile>
// Shared helpers of the record and playback component: the readable texts of event details in
// scripts (buttons, states, orientations, focus reasons, event types, all in the script's Qt 3
// numbering, see QtCompat), the mouse attributes of adapter elements and small utilities.
#include <QDomElement>
#include <QIODevice>
#include <QPoint>
#include <QString>
#include <Qt>

class QDialog;
class QMouseEvent;
class QObject;
class QWidget;

namespace TapewrightUtil {

QString buttonToText(int button);
int textToButton(const QString& text);
// Words of the set Left, Right, Mid, Shift, Control, Alt bits joined by ", "; null for 0.
QString stateToText(int state);
int textToState(const QString& text);
QString orientationToText(int orientation);
Qt::Orientation textToOrientation(const QString& text);
QString focusReasonToText(int reason);
int textToFocusReason(const QString& text);
// The 68 event type names; unknown values warn and give "None", unknown texts (compared
// exactly) warn and give 0.
QString eventTypeToText(int type);
int textToEventType(const QString& text);
// The name of a type without a warning; empty when it has none.
QString eventTypeName(int type);

// "button", "state", optionally "x" and "y", and "type" of a mouse event.
void writeMouseAttributes(QDomElement& element, const QMouseEvent* event, bool withPosition);
// Reads them back (type as a Qt event type, button and state in the script's bits). Only the
// four mouse event types are accepted: anything else is reported and gives false, so that no
// other event class is ever built from a mouse element.
bool readMouseAttributes(const QDomElement& element, int* type, int* button, int* state, QPoint* pos);
// Delivers a rebuilt mouse event; a button-less move only moves the screen cursor, unless mouse
// movement is ignored.
void sendMouseEvent(QWidget* widget, QMouseEvent* event);

bool toBool(const QString& text);
// A text as a message echoes it: one too long to read on a line (a widget name of half a
// million characters from a peer) keeps its beginning and its end, and says how much is left out.
QString readable(const QString& text);
QString stripDirectoryPrefix(const QString& prefix, QString path);
void setUseNativeDialogs(bool on);
// Writes all of `bytes`, following up a short write, so that a device that took only part of
// them says why it took no more (errorString). False when it did not take them all.
bool writeWhole(QIODevice& device, const QByteArray& bytes);

// Opens a script file as a regular file only, for reading, or for writing (made when missing,
// emptied when there): a FIFO would hold the open (and the read or the writes) until a peer came,
// a device would never end or would swallow the script, and a write through a link to nothing
// would make a file wherever it points. A name found free is made only while it still is, so
// that nothing put there meanwhile is followed. Never blocks. False with why in `why`: the
// system's reason, or what the file is instead ("it is a FIFO, not a regular file").
bool openRegularFile(QFile& file, QIODevice::OpenMode mode, QString* why);
// Writes `bytes` as the whole of the regular file `fileName` (made when missing), whole or not at
// all: what was there stays as it was when the write fails (a full disk). The one way the
// component writes a file at once: what is no regular file (a FIFO, a device, a folder, a link to
// one of them or to nothing) is never written into nor replaced, only left as it is, and neither
// is a file this user may not write ("Permission denied", as an open for writing says). A file
// replaced keeps its mode and owner (where the new one cannot be given its owner, or the folder
// takes no new file, the file is written in place). The name is replaced only while it holds
// what was looked at: whatever is put there meanwhile stays. A link to a regular file is written
// through and stays a link. False with why in `why`, as openRegularFile says it.
bool writeRegularFile(const QString& fileName, const QByteArray& bytes, QString* why);

// The widget path of an object (ChildListener::childName).
QString objectName(QObject* object);

// For a mouse event that the window system hands to a window object: the widget it will go to
// and the point in that widget. Qt gives a pressed widget focus before any event filter sees its
// press, so tools that take clicks away from the application take them here, at the window.
// Null when the object is no window of a widget.
QWidget* mouseTarget(QObject* window, const QMouseEvent* event, QPoint* widgetPos = nullptr);

// The body of the link's waiting boxes: the text, then a row with "Cancel", which quits the
// application.
void fillWaitingBox(QDialog* dialog, const QString& text);

}
