#pragma once
// Builders of the script's elements. Event elements carry the event's details; the recorder adds
// "name" (the widget path) and "sleep". Tags are CamelCase as written; readers lower-case them.
#include <QDomDocument>
#include <QDomElement>
#include <QString>

class QEvent;
class QObject;

namespace ScriptElements {

constexpr int versionId = 3;

QDomElement version(QDomDocument& document);
// The element of a recorded event of the receiver, or a null element for a kind of event that
// scripts do not hold. A Qt 6 shortcut event has no key of its own: give the key event of the
// override that preceded it as the event and "Accel" as the tag.
QDomElement fromEvent(QDomDocument& document, QObject* receiver, const QEvent* event);
QDomElement keyElement(QDomDocument& document, const QString& tag, const QEvent* keyEvent);
QDomElement information(QDomDocument& document, const QString& text);
QDomElement include(QDomDocument& document, const QString& file);
QDomElement sleep(QDomDocument& document, int milliseconds);
QDomElement runCommand(QDomDocument& document, const QString& command);
QDomElement screenDump(QDomDocument& document, const QString& widgetPath, const QString& fileName);

// An adapter's element "Class::operation": written "Class..operation", because XML names may
// not hold "::" (readers refuse them); ScriptReader::tag reads it back as "class::operation".
QDomElement adapterElement(QDomDocument& document, const QString& tag);

// Sets "sleep", or leaves it out altogether when time is compressed.
void setSleep(QDomElement& element, int milliseconds);
// The text without the characters XML cannot hold (control characters other than tab and line
// ends): written into an attribute they would make the whole script unreadable.
QString xmlText(const QString& text);
// A file inside the working directory relative to it; any other path unchanged.
QString scriptPath(const QString& path);

}
