#include "tapewright/TapewrightSettings.h"

#include "tapewright/QtCompat.h"

#include <QCoreApplication>
#include <QHash>
#include <QKeyEvent>
#include <QKeySequence>
#include <array>

struct TapewrightSettings::Private
{
    bool moveToplevels = false;
    bool resizeToplevels = false;
    bool endPlayBackDialog = false;
    bool showRecorderConnectionClosed = true;
    bool absoluteTimeStamps = false;
    bool compressTime = false;
    bool ignoreMouseMovement = false;
    bool displayMouseMovement = true;
    bool showRecorderDialog = true;
    bool closeRecorderDialog = true;
    bool showConfigDialog = true;
    bool showFontChooser = true;
    bool allowCommands = false;
    bool unattended = false;
    int missingWidget = warnMissing;
    int creationTimeOut = 5000;
    std::array<int, actionCount> keyBindings {};
    QList<PropertyExtension*> propertyExtensions;
    int errorMessageLocation = 1;
    int recorderView = 2;
};

TapewrightSettings& TapewrightSettings::instance()
{
    // Never destroyed: recorder and player may still read it while statics go away.
    static TapewrightSettings* settings = new TapewrightSettings;
    return *settings;
}

TapewrightSettings::TapewrightSettings() : d(std::make_unique<Private>()) {}
TapewrightSettings::~TapewrightSettings() = default;

#define TAPEWRIGHT_FLAG(getter, setter)                                                            \
    bool TapewrightSettings::getter() const { return d->getter; }                                  \
    void TapewrightSettings::setter(bool on) { d->getter = on; }
TAPEWRIGHT_FLAG(moveToplevels, setMoveToplevels)
TAPEWRIGHT_FLAG(resizeToplevels, setResizeToplevels)
TAPEWRIGHT_FLAG(endPlayBackDialog, setEndPlayBackDialog)
TAPEWRIGHT_FLAG(showRecorderConnectionClosed, setShowRecorderConnectionClosed)
TAPEWRIGHT_FLAG(absoluteTimeStamps, setAbsoluteTimeStamps)
TAPEWRIGHT_FLAG(compressTime, setCompressTime)
TAPEWRIGHT_FLAG(ignoreMouseMovement, setIgnoreMouseMovement)
TAPEWRIGHT_FLAG(displayMouseMovement, setDisplayMouseMovement)
TAPEWRIGHT_FLAG(showRecorderDialog, setShowRecorderDialog)
TAPEWRIGHT_FLAG(closeRecorderDialog, setCloseRecorderDialog)
TAPEWRIGHT_FLAG(showConfigDialog, setShowConfigDialog)
TAPEWRIGHT_FLAG(allowCommands, setAllowCommands)
TAPEWRIGHT_FLAG(unattended, setUnattended)
#undef TAPEWRIGHT_FLAG

bool TapewrightSettings::showFontChooser() const { return d->showFontChooser; }
int TapewrightSettings::missingWidget() const { return d->missingWidget; }
void TapewrightSettings::setMissingWidget(int policy) { d->missingWidget = policy; }
int TapewrightSettings::creationTimeOut() const { return d->creationTimeOut; }
void TapewrightSettings::setCreationTimeOut(int milliseconds) { d->creationTimeOut = milliseconds; }
int TapewrightSettings::errorMessageLocation() const { return d->errorMessageLocation; }
void TapewrightSettings::setErrorMessageLocation(int location) { d->errorMessageLocation = location; }
int TapewrightSettings::recorderView() const { return d->recorderView; }
void TapewrightSettings::setRecorderView(int view) { d->recorderView = view; }

int TapewrightSettings::keyBinding(int action) const
{
    return action >= 0 && action < actionCount ? d->keyBindings[action] : 0;
}

void TapewrightSettings::setKeyBinding(int action, const QKeySequence& keys)
{
    if (action < 0 || action >= actionCount)
        return;
    d->keyBindings[action] = keys.isEmpty() ? 0 : keys[0].toCombined();
}

bool TapewrightSettings::isKeyBinding(int action, const QKeyEvent* event) const
{
    if (!event || event->type() != QEvent::KeyPress)
        return false;
    // Qt 6 reports the modifiers as they are after the event, as the binding expects.
    const Qt::KeyboardModifiers counted =
        event->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier);
    return event->key() + int(counted) == keyBinding(action);
}

QList<PropertyExtension*>& TapewrightSettings::propertyExtensions() { return d->propertyExtensions; }

QString TapewrightSettings::actionName(int action)
{
    static const char* const names[actionCount] = {
        QT_TRANSLATE_NOOP("QObject", "Stop"),
        QT_TRANSLATE_NOOP("QObject", "Show Message Box"),
        QT_TRANSLATE_NOOP("QObject", "Show Property Picker"),
        QT_TRANSLATE_NOOP("QObject", "Include Script"),
        QT_TRANSLATE_NOOP("QObject", "Screen Dump Dialog"),
        QT_TRANSLATE_NOOP("QObject", "Screen Dump Widget"),
        QT_TRANSLATE_NOOP("QObject", "Sleep"),
        QT_TRANSLATE_NOOP("QObject", "Sleep as Last"),
        QT_TRANSLATE_NOOP("QObject", "Run External Command"),
    };
    if (action < 0 || action >= actionCount)
        qFatal("Unknown action!");
    return QCoreApplication::translate("QObject", names[action]);
}

QString TapewrightSettings::actionWhatsThis(int action)
{
    static const char* const texts[actionCount] = {
        QT_TRANSLATE_NOOP("QObject", "Stop recording script"),
        QT_TRANSLATE_NOOP("QObject",
                          "At recording time show a dialog box to type in a message. This message is "
                          "shown to the user at playback time in an information box, and execution is "
                          "temporarily stopped until the user has closed the dialog."),
        QT_TRANSLATE_NOOP("QObject",
                          "If you use Tapewright for regression testing then you may use the property "
                          "picker to dump the content of widget properties."),
        QT_TRANSLATE_NOOP("QObject",
                          "If you use Tapewright for regression testing, then you may wish to dump the "
                          "same set of properties over and over again. In the property picker you may "
                          "simply save - to a separate file - the set of properties you want to dump, "
                          "and include this file"),
        QT_TRANSLATE_NOOP("QObject",
                          "Asks you to point with the mouse on a dialog, and then makes a screen dump of "
                          "that dialog."),
        QT_TRANSLATE_NOOP("QObject",
                          "Asks you to point with the mouse on a widget, and then makes a screen dump of "
                          "that widget."),
        QT_TRANSLATE_NOOP("QObject",
                          "If you specify <em>compressed time</em> in the configuration dialog, then "
                          "Tapewright will playback your script as fast as possible. If, however, you "
                          "want it to stop for a short while at a certain point then this action will "
                          "let you specify an amount of time to stop"),
        QT_TRANSLATE_NOOP("QObject", "See sleep above."),
        QT_TRANSLATE_NOOP("QObject", "Executes an external command on your system."),
    };
    if (action < 0 || action >= actionCount)
        qFatal("Unknown action!");
    return QCoreApplication::translate("QObject", texts[action]);
}

namespace {

QHash<int, QString> buildKeyNames()
{
    QHash<int, QString> names;
    auto run = [&names](int first, std::initializer_list<const char*> list) {
        int key = first;
        for (const char* name : list)
            names.insert(key++, QString::fromLatin1(name));
    };
    run(0x20, {"Space", "Exclam", "QuoteDbl", "NumberSign", "Dollar", "Percent", "Ampersand",
               "Apostrophe", "ParenLeft", "ParenRight", "Asterisk", "Plus", "Comma", "Minus",
               "Period", "Slash"});
    for (int digit = 0; digit <= 9; ++digit)
        names.insert('0' + digit, QString::number(digit));
    run(0x3A, {"Colon", "Semicolon", "Less", "Equal", "Greater", "Question", "At"});
    for (char letter = 'A'; letter <= 'Z'; ++letter)
        names.insert(letter, QString(QLatin1Char(letter)));
    run(0x5B, {"BracketLeft", "Backslash", "BracketRight", "AsciiCircum", "Underscore", "QuoteLeft"});
    run(0x7B, {"BraceLeft", "Bar", "BraceRight", "AsciiTilde"});
    run(0xA0, {"nobreakspace", "exclamdown", "cent", "sterling", "currency", "yen", "brokenbar",
               "section", "diaeresis", "copyright", "ordfeminine", "guillemotleft", "notsign",
               "hyphen", "registered", "macron", "degree", "plusminus", "twosuperior",
               "threesuperior", "acute", "mu", "paragraph", "periodcentered", "cedilla",
               "onesuperior", "masculine", "guillemotright", "onequarter", "onehalf",
               "threequarters", "questiondown", "Agrave", "Aacute", "Acircumflex", "Atilde",
               "Adiaeresis", "Aring", "AE", "Ccedilla", "Egrave", "Eacute", "Ecircumflex",
               "Ediaeresis", "Igrave", "Iacute", "Icircumflex", "Idiaeresis", "ETH", "Ntilde",
               "Ograve", "Oacute", "Ocircumflex", "Otilde", "Odiaeresis", "multiply", "Ooblique",
               "Ugrave", "Uacute", "Ucircumflex", "Udiaeresis", "Yacute", "THORN", "ssharp",
               "agrave", "aacute", "acircumflex", "atilde", "adiaeresis", "aring", "ae",
               "ccedilla", "egrave", "eacute", "ecircumflex", "ediaeresis", "igrave", "iacute",
               "icircumflex", "idiaeresis", "eth", "ntilde", "ograve", "oacute", "ocircumflex",
               "otilde", "odiaeresis", "division", "oslash", "ugrave", "uacute", "ucircumflex",
               "udiaeresis", "yacute", "thorn", "ydiaeresis"});
    run(Qt::Key_Escape, {"Escape", "Tab", "Backtab", "Backspace", "Return", "Enter", "Insert",
                         "Delete", "Pause", "Print", "SysReq", "Clear"});
    run(Qt::Key_Home, {"Home", "End", "Left", "Up", "Right", "Down", "Prior", "Next"});
    run(Qt::Key_CapsLock, {"CapsLock", "NumLock", "ScrollLock"});
    for (int f = 1; f <= 35; ++f)
        names.insert(Qt::Key_F1 + f - 1, QStringLiteral("F%1").arg(f));
    run(Qt::Key_Super_L, {"Super_L", "Super_R", "Menu", "Hyper_L", "Hyper_R", "Help"});
    return names;
}

}

QString keyName(int key)
{
    static const QHash<int, QString> names = buildKeyNames();
    return names.value(key);
}

QString modifierNames(int state)
{
    QString text = QLatin1String("");
    if (state & QtCompat::shiftState)
        text += QCoreApplication::translate("KeyButton", "Shift + ");
    if (state & QtCompat::controlState)
        text += QCoreApplication::translate("KeyButton", "Control + ");
    if (state & QtCompat::altState)
        text += QCoreApplication::translate("KeyButton", "Alt + ");
    if (state & QtCompat::metaState)
        text += QCoreApplication::translate("KeyButton", "Meta + ");
    return text;
}
