#pragma once
// The process-wide record of everything that steers recording and playback: behaviour flags,
// the missing-widget policy, the creation time-out, the recorder actions' key bindings, the
// property extensions and where errors are reported. Bindings are Qt 6 combined key codes
// (key plus Qt::ShiftModifier, Qt::ControlModifier, Qt::AltModifier, Qt::MetaModifier).
#include <QList>
#include <QString>
#include <memory>

class QKeyEvent;
class QKeySequence;
class PropertyExtension;

class TapewrightSettings
{
public:
    static constexpr int actionCount = 9;

    // Bits of missingWidget.
    static constexpr int warnMissing = 0x1;
    static constexpr int stopOnMissing = 0x10;
    static constexpr int quitOnMissing = 0x100;

    static TapewrightSettings& instance();

    TapewrightSettings(const TapewrightSettings&) = delete;
    TapewrightSettings& operator=(const TapewrightSettings&) = delete;

    bool moveToplevels() const;
    void setMoveToplevels(bool on);
    bool resizeToplevels() const;
    void setResizeToplevels(bool on);
    bool endPlayBackDialog() const;
    void setEndPlayBackDialog(bool on);
    bool showRecorderConnectionClosed() const;
    void setShowRecorderConnectionClosed(bool on);
    bool absoluteTimeStamps() const;
    void setAbsoluteTimeStamps(bool on);
    bool compressTime() const;
    void setCompressTime(bool on);
    bool ignoreMouseMovement() const;
    void setIgnoreMouseMovement(bool on);
    bool displayMouseMovement() const;
    void setDisplayMouseMovement(bool on);
    bool showRecorderDialog() const;
    void setShowRecorderDialog(bool on);
    bool closeRecorderDialog() const;
    void setCloseRecorderDialog(bool on);
    bool showConfigDialog() const;
    void setShowConfigDialog(bool on);
    bool showFontChooser() const;
    int missingWidget() const;
    void setMissingWidget(int policy);
    int creationTimeOut() const;
    void setCreationTimeOut(int milliseconds);
    int errorMessageLocation() const;
    void setErrorMessageLocation(int location);
    int recorderView() const;
    void setRecorderView(int view);
    // Scripts may run external commands only when this is on (off by default).
    bool allowCommands() const;
    void setAllowCommands(bool on);
    // No operator watches the run (the host's test mode, twdemo): nothing the component would
    // show in a box waits for one. Errors and the configuration file's warnings go to standard
    // error whatever errorMessageLocation says, the end-of-playback and closed-link boxes become
    // lines there, and a script that cannot be recorded into ends the run. Off by default.
    bool unattended() const;
    void setUnattended(bool on);

    int keyBinding(int action) const;
    void setKeyBinding(int action, const QKeySequence& keys);
    // True for a key press whose key with its Shift, Control and Alt state equals the binding;
    // Meta is not counted, so a binding holding the Meta bit never matches.
    bool isKeyBinding(int action, const QKeyEvent* event) const;

    QList<PropertyExtension*>& propertyExtensions();

    // The recorder actions' names and help texts; an index outside 0..8 is fatal.
    static QString actionName(int action);
    static QString actionWhatsThis(int action);

private:
    TapewrightSettings();
    ~TapewrightSettings();

    struct Private;
    std::unique_ptr<Private> d;
};

// The name of a key ("A", "F3", "Prior"), a null text for keys without one (modifiers,
// lower-case letters).
QString keyName(int key);
// "Shift + ", "Control + ", "Alt + ", "Meta + " for the set bits of a Qt 3 style button state
// (Shift 0x100, Control 0x200, Alt 0x400, Meta 0x800); empty, not null, for none.
QString modifierNames(int state);
