#pragma once
// Small process-wide helpers: files and folders, unique time-stamp names, text, the mouse
// cursor confinement of the slice views and the sound mixer.
#include <QDateTime>
#include <QRect>
#include <QString>
#include <functional>
#include <string>
#include <utility>
#include <vector>

class QWidget;

namespace Utilities {

// Confines the mouse cursor to the rectangle (widget coordinates) until `unclipMouseCursor`:
// the widget grabs the mouse and a cursor that leaves the rectangle is put back on its edge
// (where the window system lets a program place the cursor); the widget's mouse events are
// clamped to the rectangle in any case.
void clipMouseCursor(QWidget* widget, QRect rectangle);
void unclipMouseCursor();
// Whether a confinement is active (for tests and the views' release handling).
bool isMouseCursorClipped();

// Copies the whole file, replacing an existing target only once the copy is complete; false on
// any failure (a full disk among them), with the reason in `failure` when given, and the
// target as it was.
bool copyFile(const std::string& from, const std::string& to, std::string* failure = nullptr);

// "u=" + first + " s=" + second, each with two decimals.
const QString getAsString(const std::pair<double, double>& values);

// Creates the folder base where the folder it lies in is there (one level, no more), then
// returns a current-time name "yyyy-MM-dd__hh-mm-ss-z" (z the millisecond without leading zeros)
// such that no file base + "/" + name exists. Throws std::runtime_error "could not determine
// unique file" after 49 tries.
std::string getUniqueFilename(const std::string base);
// Creates the folder base, then returns a current-time name as above such that base + "/" +
// name does not exist (create false) or could be created as a new folder (create true).
// Throws std::runtime_error "could not create unique subpath" after 49 tries.
std::string getUniqueSubpath(std::string base, bool create);
// Makes a new file "<time stamp><extension>" in `folder` for a record that grows there (a
// treatment log's journal, a session recording): only where no entry has the name, never
// through a link put there, as the user's umask says. With `room`, the disk must take that many
// bytes of it at once (else ENOSPC or EDQUOT, and no file stays): a record that cannot begin is
// not announced. Its descriptor, open for reading and writing, with its path in `path`; else -1
// with the errno value in `error` (EEXIST: no name was free).
int createRecordFile(const std::string& folder, const std::string& extension, std::string& path, int& error,
                     std::size_t room = 0);
// The time-stamp name of the two functions above for one instant.
std::string getTimeStampName(const QDateTime& time);
// The clock of the unique names; tests install a fixed one. An empty function restores the
// system clock.
void setClock(std::function<QDateTime()> clock);
// The current local time by that clock (the treatment log's time stamps use it too).
QDateTime currentDateTime();

// Creates every missing level of the path; true when the folder exists afterwards.
bool makeAbsDir(std::string path);

// Mixer controls of the sound output. Component types as the Windows mixer numbers them:
// 4 the speakers (master), 0x1008 the wave output (PCM). False on any mixer error, and always
// on a system without a controllable mixer.
bool setMixerMute(unsigned componentType, bool mute);
bool setMixerVolume(unsigned componentType, double fraction);

// The parts of text between the separators, empty parts included ("a;;b" gives a, "", b; an
// empty text gives one empty part). An empty separator gives the whole text as one part.
std::vector<std::string> splitEnumeration(std::string text, std::string separator);

}
