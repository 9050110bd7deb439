#include "tapewright/TapewrightConfig.h"

#include "tapewright/AdapterBox.h"
#include "tapewright/AdapterRegistry.h"
#include "tapewright/ChildListener.h"
#include "tapewright/Connector.h"
#include "tapewright/ErrorReport.h"
#include "tapewright/FileChooser.h"
#include "tapewright/KeyButton.h"
#include "tapewright/Listener.h"
#include "tapewright/PlayBack.h"
#include "tapewright/QtCompat.h"
#include "tapewright/Recorder.h"
#include "tapewright/RecorderAdapter.h"
#include "tapewright/TapewrightSettings.h"
#include "tapewright/TapewrightUtil.h"
#include "tapewright/XmlGuard.h"

#include <QAction>
#include <QApplication>
#include <QBuffer>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDomDocument>
#include <QFile>
#include <QFileDialog>
#include <QFontDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QSpinBox>
#include <QTabWidget>
#include <QTcpSocket>
#include <QTextBrowser>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWhatsThis>
#include <QRegularExpression>
#include <QXmlStreamReader>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::function<void(const QString&, const QString&)>& warningSink()
{
    static std::function<void(const QString&, const QString&)> sink;
    return sink;
}

constexpr int missingValues[] = {0, 0x1, 0x10, 0x11, 0x100, 0x101};
constexpr int missingItems = int(std::size(missingValues));
constexpr int recorderViews = 3;

QString flag(bool on) { return on ? QStringLiteral("1") : QStringLiteral("0"); }

// A decimal number; anything else counts as 0.
int number(const QString& text)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    return ok ? value : 0;
}

void readFlag(const QDomElement& root, const char* name, QCheckBox* box)
{
    const QString attribute = QString::fromLatin1(name);
    if (root.hasAttribute(attribute))
        box->setChecked(number(root.attribute(attribute)) != 0);
}

// Opens a configuration file for reading only when it is a regular file: a FIFO would block the
// open until a writer came (and the read until it went), a device might never end. It is looked
// at before anything is opened, and again once open without blocking, in case something else
// took its name meanwhile. Why it cannot be read, or a null text when it is open; `opened` tells
// whether it could be opened at all (a file that is no regular file could).
QString openRegularFile(const QString& fileName, QFile* file, bool* opened)
{
    const auto notRegular = [opened] {
        *opened = true;
        return TapewrightConfig::tr("is not a regular file");
    };
    *opened = false;
    const auto failed = [](int error) {
        return TapewrightConfig::tr("could not be opened: %1").arg(QString::fromLocal8Bit(std::strerror(error)));
    };
    const QByteArray path = QFile::encodeName(fileName);
    struct stat status;
    if (::stat(path.constData(), &status) != 0)
        return failed(errno);
    if (!S_ISREG(status.st_mode))
        return notRegular();
    const int descriptor = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0)
        return failed(errno);
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(descriptor);
        return notRegular();
    }
    ::fcntl(descriptor, F_SETFL, ::fcntl(descriptor, F_GETFL) & ~O_NONBLOCK);
    if (!file->open(descriptor, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(descriptor);
        return TapewrightConfig::tr("could not be opened: %1").arg(file->errorString());
    }
    *opened = true;
    return QString();
}

// A warning's rich text as a line of standard error.
QString plainText(QString text)
{
    static const QRegularExpression tags(QStringLiteral("<[^>]*>"));
    return text.remove(tags);
}

// Reads a configuration file's text within its bounds; why it is refused, or a null text. A text
// that is merely malformed passes: what the parser makes of it is used.
QString readConfigText(QFile& file, QByteArray* text)
{
    const auto tr = [](const char* text) { return TapewrightConfig::tr(text); };
    const auto tooLarge = [&] {
        return tr("is larger than %1 MiB, the limit for a configuration file").arg(TapewrightConfig::maxConfigBytes / (1024 * 1024));
    };
    if (file.size() > TapewrightConfig::maxConfigBytes)
        return tooLarge();
    // Not by its size alone: a file that grew meanwhile.
    *text = file.read(TapewrightConfig::maxConfigBytes + 1);
    if (file.error() != QFileDevice::NoError)
        return tr("could not be read: %1").arg(file.errorString());
    if (text->size() > TapewrightConfig::maxConfigBytes)
        return tooLarge();
    if (text->trimmed().isEmpty())
        return tr("is empty");
    QBuffer buffer(text);
    buffer.open(QIODevice::ReadOnly);
    XmlGuard guard(&buffer);
    QXmlStreamReader reader(&guard);
    reader.setNamespaceProcessing(false);
    while (!reader.atEnd()) {
        reader.readNext();
        if (!guard.admit(reader))
            break;
    }
    switch (guard.refusal()) {
    case XmlGuard::Refusal::NotUtf8:
        return tr("is not encoded in UTF-8 (%1)").arg(guard.notUtf8Reason());
    case XmlGuard::Refusal::DocumentType:
        return tr("has a document type declaration on line %1, which a configuration file may not have").arg(guard.refusedLine());
    case XmlGuard::Refusal::TooManyAttributes:
        return tr("has an element on line %1 with more than %2 attributes").arg(guard.refusedLine()).arg(XmlGuard::maxAttributes);
    case XmlGuard::Refusal::TooDeep:
        return tr("nests its elements deeper than %1 levels").arg(XmlGuard::maxNesting);
    case XmlGuard::Refusal::None:
        break;
    }
    return QString();
}

QCheckBox* checkBox(const QString& text, bool on, QWidget* parent, QLayout* layout, const QString& help = QString())
{
    auto* box = new QCheckBox(text, parent);
    box->setChecked(on);
    if (!help.isEmpty())
        box->setWhatsThis(help);
    layout->addWidget(box);
    return box;
}

// A row of a label, a control and a stretch.
void addRow(QVBoxLayout* layout, QLabel* label, QWidget* control)
{
    auto* row = new QHBoxLayout;
    row->setSpacing(6);
    row->addWidget(label);
    row->addWidget(control);
    row->addStretch();
    layout->addLayout(row);
}

QVBoxLayout* pageLayout(QWidget* page)
{
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(6, 6, 6, 6);
    return layout;
}

}

TapewrightConfig::TapewrightConfig(int& argc, char** argv, bool createUnits, QString prefix, bool usageWithApplication)
    : QDialog(nullptr)
{
    setObjectName(QStringLiteral("TapewrightConfigDialog"));
    setModal(true);
    ChildListener::instance()->ignoreObject(this);
    setWindowTitle(tr("Tapewright Configuration"));
    TapewrightSettings& settings = TapewrightSettings::instance();
    showDialog_ = settings.showConfigDialog();

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 6, 6, 6);
    tabs_ = new QTabWidget(this);
    layout->addWidget(tabs_);
    tabs_->addTab(createGeneralPage(&settings), tr("General"));
    tabs_->addTab(createRecordingPage(&settings), tr("Recording"));
    tabs_->addTab(createAdaptersPage(), tr("Adapters"));
    tabs_->addTab(createKeyBindingsPage(), tr("Key Bindings"));
    tabs_->addTab(createPlayBackPage(&settings), tr("Play back"));
    tabs_->addTab(createRemoteControlPage(&settings), tr("Remote control"));
    slotModeChange(int(ExecutionMode::Normal));
    scriptFile_->setFileName(QStringLiteral("script.tpw"));

    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(6);
    layout->addLayout(buttons);
    auto* help = new QToolButton(this);
    help->setText(QStringLiteral("?"));
    buttons->addWidget(help);
    buttons->addStretch();
    auto* load = new QPushButton(tr("Load Config"), this);
    auto* save = new QPushButton(tr("Save Config"), this);
    auto* cancel = new QPushButton(tr("Cancel"), this);
    auto* ok = new QPushButton(tr("OK"), this);
    for (QPushButton* button : {load, save, cancel, ok})
        buttons->addWidget(button);
    connect(help, &QToolButton::clicked, this, &TapewrightConfig::showHelp);
    connect(ok, &QPushButton::clicked, this, &TapewrightConfig::slotOK);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(load, &QPushButton::clicked, this, &TapewrightConfig::slotLoadConfig);
    connect(save, &QPushButton::clicked, this, &TapewrightConfig::slotSaveConfig);
    auto* whatsThis = new QAction(tr("What's this"), this);
    whatsThis->setShortcut(Qt::SHIFT | Qt::Key_F1);
    addAction(whatsThis);
    connect(whatsThis, &QAction::triggered, this, &TapewrightConfig::showHelp);

    if (prefix.isNull() && qEnvironmentVariableIsSet("TAPEWRIGHTPREFIX"))
        prefix = QString::fromLocal8Bit(qgetenv("TAPEWRIGHTPREFIX"));
    parseOptions(argc, argv, prefix, usageWithApplication);
    createUnits_ = createUnits;
}

TapewrightConfig::~TapewrightConfig() = default;

void TapewrightConfig::setWarningSink(std::function<void(const QString&, const QString&)> sink)
{
    warningSink() = std::move(sink);
}

int TapewrightConfig::missingWidgetValue(int item)
{
    return item >= 0 && item < missingItems ? missingValues[item] : 0;
}

int TapewrightConfig::missingWidgetItem(int value)
{
    using S = TapewrightSettings;
    if (value & S::warnMissing)
        return (value & S::quitOnMissing) ? 5 : (value & S::stopOnMissing) ? 3 : 1;
    return (value & S::quitOnMissing) ? 4 : (value & S::stopOnMissing) ? 2 : 0;
}

void TapewrightConfig::warn(const QString& title, const QString& text, const QString& detail)
{
    if (warningSink()) {
        warningSink()(title, text);
    } else if (TapewrightSettings::instance().unattended()) {
        // Nobody would close the box: the warning is an error of the run, on standard error.
        reportError(true, detail.isEmpty() ? plainText(text) : detail);
    } else {
        QMessageBox box(QMessageBox::Warning, title, text, QMessageBox::Ok, this);
        box.setInformativeText(detail);
        box.exec();
    }
}

// ----- pages

QWidget* TapewrightConfig::createGeneralPage(TapewrightSettings* settings)
{
    auto* page = new QWidget(this);
    QVBoxLayout* layout = pageLayout(page);
    auto* groups = new QHBoxLayout;
    layout->addLayout(groups);

    auto* modeBox = new QGroupBox(tr("Mode"), page);
    auto* modeLayout = new QVBoxLayout(modeBox);
    modeGroup_ = new QButtonGroup(page);
    normalRadio_ = new QRadioButton(tr("&Normal"), modeBox);
    recordingRadio_ = new QRadioButton(tr("&Recording"), modeBox);
    playBackRadio_ = new QRadioButton(tr("&Play back"), modeBox);
    int id = 0;
    for (QRadioButton* radio : {normalRadio_, recordingRadio_, playBackRadio_}) {
        modeGroup_->addButton(radio, id++);
        modeLayout->addWidget(radio);
    }
    normalRadio_->setChecked(true);
    mode_ = ExecutionMode::Normal;
    connect(modeGroup_, &QButtonGroup::idClicked, this, &TapewrightConfig::slotModeChange);
    groups->addWidget(modeBox);

    const QString errorHelp = tr("<qt>If Tapewright encounters an error, it will either print it on stdout or show it in a "
                                 "dialog. Using a dialog can be disruptive, on the other hand stdout might not always be "
                                 "easily accessable.</qt>");
    errorLocationGroup_ = new QGroupBox(tr("Error messages go to"), page);
    auto* errorLayout = new QVBoxLayout(errorLocationGroup_);
    auto* errorGroup = new QButtonGroup(errorLocationGroup_);
    consoleRadio_ = new QRadioButton(tr("Console"), errorLocationGroup_);
    dialogRadio_ = new QRadioButton(tr("Dialog"), errorLocationGroup_);
    for (QRadioButton* radio : {consoleRadio_, dialogRadio_}) {
        errorGroup->addButton(radio);
        errorLayout->addWidget(radio);
        radio->setWhatsThis(errorHelp);
    }
    errorLocationGroup_->setWhatsThis(errorHelp);
    // A stored value other than 0 or 1 leaves both unchecked; OK then writes 1.
    errorGroup->setExclusive(false);
    consoleRadio_->setChecked(settings->errorMessageLocation() == 0);
    dialogRadio_->setChecked(settings->errorMessageLocation() == 1);
    errorGroup->setExclusive(true);
    groups->addWidget(errorLocationGroup_);
    groups->addStretch();

    compressTimeBox_ = checkBox(tr("Compress time"), settings->compressTime(), page, layout,
                                tr("<qt>Compressing the delays between events makes playback faster, but some programs "
                                   "rely on the timing between events, and events may reach widgets before they are "
                                   "initialised (a popup menu before its items are inserted). Tapewright waits a short "
                                   "time for a widget that does not exist yet and otherwise skips the event (or stops, "
                                   "as chosen for missing widgets on the Play back page); the recording operator can "
                                   "insert explicit pauses (Sleep, Sleep as Last). Delays compressed while recording "
                                   "are not written to the file at all.</qt>"));
    ignoreMouseMovementBox_ = checkBox(tr("Ignore mouse movement"), settings->ignoreMouseMovement(), page, layout,
                                       tr("<qt>Without mouse movements playback is much faster, and they are often not "
                                          "needed in testing; some widgets need them, though, a small paint program for "
                                          "example.</qt>"));
    scriptFile_ = new FileChooser(tr("Script file:"), true, page, "d->scriptFile");
    layout->addWidget(scriptFile_);

    const QString outputHelp = tr("Specifies where output from the property editor should go");
    auto* outputBox = new QGroupBox(tr("Output location"), page);
    outputBox->setWhatsThis(outputHelp);
    auto* outputLayout = new QVBoxLayout(outputBox);
    auto* outputGroup = new QButtonGroup(outputBox);
    stdoutRadio_ = new QRadioButton(tr("Standard Out"), outputBox);
    stdoutRadio_->setChecked(true);
    outputLayout->addWidget(stdoutRadio_);
    auto* fileRow = new QHBoxLayout;
    outputLayout->addLayout(fileRow);
    toFileRadio_ = new QRadioButton(tr("To file:"), outputBox);
    fileRow->addWidget(toFileRadio_);
    outputFile_ = new FileChooser(QString(), false, outputBox, "d->outputFile");
    fileRow->addWidget(outputFile_);
    outputGroup->addButton(stdoutRadio_);
    outputGroup->addButton(toFileRadio_);
    for (QWidget* widget : {static_cast<QWidget*>(stdoutRadio_), static_cast<QWidget*>(toFileRadio_), static_cast<QWidget*>(outputFile_)})
        widget->setWhatsThis(outputHelp);
    connect(toFileRadio_, &QRadioButton::toggled, this, &TapewrightConfig::updateStates);
    layout->addWidget(outputBox);

    if (settings->showFontChooser()) {
        auto* row = new QHBoxLayout;
        auto* label = new QLabel(tr("Global font:"), page);
        changeFontButton_ = new QPushButton(tr("Change"), page);
        const QString fontHelp = tr("<qt>Recording and playback should work under conditions that differ from the "
                                    "recording's. By default that holds only for Qt's built-in widgets; your own widgets "
                                    "need adapters, as the user manual describes. To test adapters, the font can be "
                                    "changed globally with this button.</qt>");
        label->setWhatsThis(fontHelp);
        changeFontButton_->setWhatsThis(fontHelp);
        row->addWidget(label);
        row->addWidget(changeFontButton_);
        row->addStretch();
        layout->addLayout(row);
        font_ = QApplication::font();
        connect(changeFontButton_, &QPushButton::clicked, this, &TapewrightConfig::slotChangeFont);
    }
    layout->addStretch();
    return page;
}

QWidget* TapewrightConfig::createRecordingPage(TapewrightSettings* settings)
{
    auto* page = new QWidget(this);
    page->setObjectName(QStringLiteral("top"));
    QVBoxLayout* layout = pageLayout(page);
    connectionClosedBox_ = checkBox(tr("Show dialog when remote connection closes"), settings->showRecorderConnectionClosed(), page, layout,
                                    tr("Specifies whether a dialog box should be shown on the recording side when the playback side closes the connection. "));
    absoluteTimeStampsBox_ = checkBox(tr("Use absolute time stamps"), settings->absoluteTimeStamps(), page, layout,
                                      tr("<qt>Either the time between events or the time from the start to each event "
                                         "can be kept accurate. Checked, the time since the start of playback/recording "
                                         "is kept accurate; cleared, the milliseconds between events are.</qt>"));
    showRecorderDialogBox_ = checkBox(tr("Show recorder sidebar"), settings->showRecorderDialog(), page, layout,
                                      tr("Specify whether a separate window with special Tapewright actions should be shown while recording."));
    connect(showRecorderDialogBox_, &QCheckBox::toggled, this, &TapewrightConfig::updateStates);
    recorderViewCombo_ = new QComboBox(page);
    recorderViewCombo_->addItems({tr("Only Icons"), tr("Only Text"), tr("Icons and Text")});
    const int view = TapewrightSettings::instance().recorderView();
    if (view >= 0 && view < recorderViews)
        recorderViewCombo_->setCurrentIndex(view);
    auto* viewLabel = new QLabel(tr("What to show in the recorder sidebar"), page);
    const QString viewHelp = tr("Specify what shoudl be shown in the Tapewright recorder sidebar");
    viewLabel->setWhatsThis(viewHelp);
    recorderViewCombo_->setWhatsThis(viewHelp);
    addRow(layout, viewLabel, recorderViewCombo_);
    closeRecorderDialogBox_ = checkBox(tr("Close recorder dialog on exit"), settings->closeRecorderDialog(), page, layout,
                                       tr("Whether the recorder dialog with the special commands is closed when the last "
                                          "user dialog is closed. Without it, making the application quit when its last "
                                          "window closes does not work."));
    layout->addStretch();
    recordingPage_ = page;
    return page;
}

QWidget* TapewrightConfig::createAdaptersPage()
{
    auto* page = new QWidget(this);
    QVBoxLayout* layout = pageLayout(page);
    auto* view = new QScrollArea(page);
    view->setObjectName(QStringLiteral("view"));
    view->setWidgetResizable(true);
    auto* inner = new QWidget;
    inner->setObjectName(QStringLiteral("widget"));
    QVBoxLayout* innerLayout = pageLayout(inner);
    for (RecorderAdapter* adapter : adapterRegistry().recorderAdapters()) {
        auto* box = new AdapterBox(adapter, inner);
        innerLayout->addWidget(box);
        adapterBoxes_.append(box);
    }
    innerLayout->addStretch();
    view->setWidget(inner);
    layout->addWidget(view);
    auto* row = new QHBoxLayout;
    row->addStretch();
    auto* all = new QPushButton(tr("Select all"), page);
    auto* none = new QPushButton(tr("Select none"), page);
    row->addWidget(all);
    row->addWidget(none);
    layout->addLayout(row);
    connect(all, &QPushButton::clicked, this, &TapewrightConfig::slotSelectAll);
    connect(none, &QPushButton::clicked, this, &TapewrightConfig::slotSelectNone);
    adaptersPage_ = page;
    return page;
}

QWidget* TapewrightConfig::createKeyBindingsPage()
{
    auto* page = new QWidget(this);
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addStretch();
    auto* row = new QHBoxLayout;
    row->setSpacing(6);
    layout->addLayout(row);
    auto* text = new QTextBrowser(page);
    text->setFixedWidth(150);
    text->setHtml(tr("<qt>To make a keybinding, give focus to the button in question, and press the key(s) you want to bind.</qt>"));
    row->addWidget(text);
    auto* grid = new QGridLayout;
    grid->setSpacing(6);
    row->addLayout(grid);
    row->addStretch();
    bindingWarning_ = new QLabel(page);
    bindingWarning_->setObjectName(QStringLiteral("bindingWarning"));
    bindingWarning_->setWordWrap(true);
    layout->addWidget(bindingWarning_);
    layout->addStretch();
    for (int action = 0; action < TapewrightSettings::actionCount; ++action) {
        KeyBinding binding;
        binding.action = action;
        binding.name = TapewrightSettings::actionName(action);
        binding.whatsThis = TapewrightSettings::actionWhatsThis(action);
        auto* label = new QLabel(binding.name, page);
        label->setObjectName(QStringLiteral("label"));
        label->setWhatsThis(binding.whatsThis);
        binding.button = new KeyButton(TapewrightSettings::instance().keyBinding(action), page, "button");
        binding.button->setWhatsThis(tr("<qt><h1>%1</h1>%2</qt>").arg(binding.name, binding.whatsThis));
        connect(binding.button, &KeyButton::keyCodeChanged, this, &TapewrightConfig::checkKeyBindings);
        grid->addWidget(label, action, 0);
        grid->addWidget(binding.button, action, 1);
        keyBindings_.append(binding);
    }
    checkKeyBindings();
    keyBindingsPage_ = page;
    return page;
}

void TapewrightConfig::checkKeyBindings()
{
    // A Meta combination never matches while recording (the desktop takes the key), and of two
    // actions on one key only the first would ever run: say so where the bindings are made.
    QStringList problems;
    for (int i = 0; i < keyBindings_.size(); ++i) {
        const int code = keyBindings_[i].button->keyCode();
        if (code == 0)
            continue;
        if ((code & Qt::MetaModifier) || (code & ~Qt::KeyboardModifierMask) == Qt::Key_Meta)
            problems << tr("\"%1\" uses the Meta key, which does not reach the application.").arg(keyBindings_[i].name);
        for (int j = 0; j < i; ++j) {
            if (keyBindings_[j].button->keyCode() == code)
                problems << tr("\"%1\" and \"%2\" have the same key.").arg(keyBindings_[j].name, keyBindings_[i].name);
        }
    }
    bindingWarning_->setText(problems.join(QLatin1Char('\n')));
}

QWidget* TapewrightConfig::createPlayBackPage(TapewrightSettings* settings)
{
    auto* page = new QWidget(this);
    QVBoxLayout* layout = pageLayout(page);
    endPlayBackDialogBox_ = checkBox(tr("Show dialog at end of playback"), settings->endPlayBackDialog(), page, layout,
                                     tr("<qt>Specifies whether an <i>End of Playback</i> dialog should be shown when playback ends.</qt>"));
    creationTimeOutSpin_ = new QSpinBox(page);
    // The lowest value is the player's "do not wait".
    creationTimeOutSpin_->setRange(-1, 10000);
    creationTimeOutSpin_->setSingleStep(100);
    creationTimeOutSpin_->setSpecialValueText(tr("Don't wait"));
    creationTimeOutSpin_->setSuffix(tr(" msec."));
    creationTimeOutSpin_->setValue(settings->creationTimeOut());
    auto* waitLabel = new QLabel(tr("Milliseconds to wait for widget:"), page);
    const QString waitHelp = tr("An event may have to go to a widget that has not been created yet; playback then waits for it at most this long.");
    waitLabel->setWhatsThis(waitHelp);
    creationTimeOutSpin_->setWhatsThis(waitHelp);
    addRow(layout, waitLabel, creationTimeOutSpin_);
    missingCombo_ = new QComboBox(page);
    missingCombo_->addItems({tr("Ignore"), tr("Warn"), tr("Stop play back"), tr("Warn and stop play back"),
                             tr("Quit Application"), tr("Warn and quit application")});
    missingCombo_->setCurrentIndex(missingWidgetItem(settings->missingWidget()));
    auto* missingLabel = new QLabel(tr("How to handle missing widgets: "), page);
    const QString missingHelp = tr("<qt>Widgets are found again at playback through a naming scheme, since the "
                                   "application was closed in between. This option says what to do when a widget is not found.</qt>");
    missingLabel->setWhatsThis(missingHelp);
    missingCombo_->setWhatsThis(missingHelp);
    addRow(layout, missingLabel, missingCombo_);
    moveToplevelsBox_ = checkBox(tr("Move top-level windows"), settings->moveToplevels(), page, layout,
                                 tr("<qt>Playback can move top-level windows to their recorded positions, which can be "
                                    "annoying because it often includes movements when a window is first shown.</qt>"));
    resizeToplevelsBox_ = checkBox(tr("Resize top-level windows"), settings->resizeToplevels(), page, layout,
                                   tr("When playing back, Tapewright has the capability to resize top-level windows, to the size they had during recording."));
    displayMouseMovementBox_ = checkBox(tr("Display mouse movements"), settings->displayMouseMovement(), page, layout,
                                        tr("<qt>Moving the cursor with <tt>QCursor::setPos()</tt> sends a mouse move event "
                                           "that was not there at recording time and may disturb playback. For "
                                           "demonstrations one wants to see the mouse move; for regression testing, "
                                           "accurate playback may matter more.</qt>"));
    layout->addStretch();
    playBackPage_ = page;
    return page;
}

QWidget* TapewrightConfig::createRemoteControlPage(TapewrightSettings*)
{
    auto* page = new QWidget(this);
    QVBoxLayout* layout = pageLayout(page);
    remoteControlBox_ = checkBox(tr("Remote control application"), false, page, layout,
                                 tr("<qt>Tapewright can control an application on another machine; both applications "
                                    "must be exactly the same. Check the box to set up a remote control link. The link "
                                    "listens on this machine only: to reach another machine, tunnel the port (for "
                                    "example with SSH).</qt>"));
    serverBox_ = checkBox(tr("Instance is server"), false, page, layout,
                          tr("<qt>One machine is the server, the other the client; the server must be started first. "
                             "Either the recording or the playback side may be the server. A firewall between the "
                             "machines may need an open port (the tunnel's).</qt>"));
    hostLabel_ = new QLabel(tr("Remote address or IP number"), page);
    hostEdit_ = new QLineEdit(page);
    const QString hostHelp = tr("<qt>A client must give the remote machine's address as an IP number or a DNS name, for example <tt>localhost</tt>.</qt>");
    hostLabel_->setWhatsThis(hostHelp);
    hostEdit_->setWhatsThis(hostHelp);
    auto* hostRow = new QHBoxLayout;
    hostRow->setSpacing(6);
    hostRow->addWidget(hostLabel_);
    hostRow->addWidget(hostEdit_);
    layout->addLayout(hostRow);
    portLabel_ = new QLabel(tr("Port:"), page);
    portSpin_ = new QSpinBox(page);
    portSpin_->setRange(1, 65535);
    portSpin_->setValue(4242);
    const QString portHelp = tr("<qt>Tapewright will communicate over TCP, this requires an open port on the server. Here you "
                                "specify the port number. Both the client and the server must specify the same number.</qt>");
    portLabel_->setWhatsThis(portHelp);
    portSpin_->setWhatsThis(portHelp);
    addRow(layout, portLabel_, portSpin_);
    writeLocalScriptFileBox_ = checkBox(tr("Write local script file"), false, page, layout,
                                        tr("When connected to a remote application, you may still want to have a local trace "
                                           "of the recording. Select this check box if you want this."));
    layout->addStretch();
    connect(remoteControlBox_, &QCheckBox::clicked, this, &TapewrightConfig::slotUpdateRemoteControlStates);
    connect(serverBox_, &QCheckBox::clicked, this, &TapewrightConfig::slotUpdateRemoteControlStates);
    remoteControlPage_ = page;
    slotUpdateRemoteControlStates();
    return page;
}

// ----- states

void TapewrightConfig::showHelp() { QWhatsThis::enterWhatsThisMode(); }

void TapewrightConfig::slotModeChange(int mode)
{
    mode_ = mode == 1 ? ExecutionMode::Recording : mode == 2 ? ExecutionMode::PlayBack : ExecutionMode::Normal;
    updateStates();
    updateWriteLocalState();
    emit modeChange(mode_);
}

void TapewrightConfig::updateStates()
{
    const bool recording = mode_ == ExecutionMode::Recording;
    const bool playBack = mode_ == ExecutionMode::PlayBack;
    tabs_->setTabEnabled(tabs_->indexOf(adaptersPage_), recording);
    tabs_->setTabEnabled(tabs_->indexOf(recordingPage_), recording);
    tabs_->setTabEnabled(tabs_->indexOf(playBackPage_), playBack);
    tabs_->setTabEnabled(tabs_->indexOf(keyBindingsPage_), recording);
    tabs_->setTabEnabled(tabs_->indexOf(remoteControlPage_), recording || playBack);
    for (QWidget* widget : {static_cast<QWidget*>(compressTimeBox_), static_cast<QWidget*>(errorLocationGroup_),
                            static_cast<QWidget*>(ignoreMouseMovementBox_), static_cast<QWidget*>(scriptFile_)})
        widget->setEnabled(recording || playBack);
    scriptFile_->setOpenExisting(playBack);
    outputFile_->setEnabled(toFileRadio_->isChecked());
    recorderViewCombo_->setEnabled(showRecorderDialogBox_->isChecked());
}

void TapewrightConfig::slotUpdateRemoteControlStates()
{
    const bool remote = remoteControlBox_->isChecked();
    const bool server = serverBox_->isChecked();
    serverBox_->setEnabled(remote);
    hostLabel_->setEnabled(remote && !server);
    hostEdit_->setEnabled(remote && !server);
    portSpin_->setEnabled(remote);
    portLabel_->setEnabled(remote);
    connectionClosedBox_->setChecked(remote);
    updateWriteLocalState();
}

void TapewrightConfig::updateWriteLocalState()
{
    if (writeLocalScriptFileBox_)
        writeLocalScriptFileBox_->setEnabled(mode_ == ExecutionMode::Recording && remoteControlBox_->isChecked());
}

void TapewrightConfig::slotSelectAll()
{
    for (AdapterBox* box : adapterBoxes_)
        box->setChecked(true);
}

void TapewrightConfig::slotSelectNone()
{
    for (AdapterBox* box : adapterBoxes_)
        box->setChecked(false);
}

void TapewrightConfig::slotChangeFont()
{
    bool ok = false;
    const QFont chosen = QFontDialog::getFont(&ok, font_, this);
    if (ok) {
        font_ = chosen;
        fontChosen_ = true;
        changeFontButton_->setFont(font_);
    }
}

void TapewrightConfig::slotOK()
{
    TapewrightSettings& settings = TapewrightSettings::instance();
    settings.setCompressTime(compressTimeBox_->isChecked());
    settings.setIgnoreMouseMovement(ignoreMouseMovementBox_->isChecked());
    settings.setDisplayMouseMovement(displayMouseMovementBox_->isChecked());
    settings.setMoveToplevels(moveToplevelsBox_->isChecked());
    settings.setResizeToplevels(resizeToplevelsBox_->isChecked());
    settings.setShowRecorderConnectionClosed(connectionClosedBox_->isChecked());
    settings.setAbsoluteTimeStamps(absoluteTimeStampsBox_->isChecked());
    settings.setEndPlayBackDialog(endPlayBackDialogBox_->isChecked());
    settings.setCreationTimeOut(creationTimeOutSpin_->value());
    settings.setShowRecorderDialog(showRecorderDialogBox_->isChecked());
    settings.setRecorderView(qMax(0, recorderViewCombo_->currentIndex()));
    settings.setCloseRecorderDialog(closeRecorderDialogBox_->isChecked());
    settings.setErrorMessageLocation(consoleRadio_->isChecked() ? 0 : 1);
    // By index, not by translated text: no text can fail to match.
    settings.setMissingWidget(missingWidgetValue(missingCombo_->currentIndex()));
    for (AdapterBox* box : adapterBoxes_)
        box->adapter()->setEnabled(nullptr, box->isChecked());
    if (changeFontButton_ && fontChosen_)
        QApplication::setFont(font_);
    for (const KeyBinding& binding : keyBindings_)
        settings.setKeyBinding(binding.action, QKeySequence(binding.button->keyCode()));
    createUnit();
}

// ----- units

int TapewrightConfig::exec()
{
    int result = 1;
    if (showDialog_)
        result = QDialog::exec();
    else
        slotOK();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    return result;
}

void TapewrightConfig::createUnit()
{
    // A unit made by an earlier OK is ended and replaced; only one recorder may exist at a time.
    delete recorder_;
    delete playBackUnit_;
    if (!createUnits_)
        return;
    if (mode_ == ExecutionMode::Recording) {
        recorder_ = new Recorder(this);
        recorder_->setObjectName(QStringLiteral("d->recorder"));
    } else if (mode_ == ExecutionMode::PlayBack) {
        playBackUnit_ = new PlayBack(this);
        playBackUnit_->setObjectName(QStringLiteral("d->playback"));
    }
}

Recorder* TapewrightConfig::recorder() const { return recorder_; }

PlayBack* TapewrightConfig::playBackUnit() const { return playBackUnit_; }

void TapewrightConfig::startWithDevice(QWidget* mainWidget, QIODevice* device) { start(mainWidget, device, true); }

void TapewrightConfig::startWithFile(QWidget* mainWidget) { start(mainWidget, nullptr, false); }

void TapewrightConfig::start(QWidget* mainWidget, QIODevice* device, bool withDevice)
{
    const auto show = [mainWidget] {
        if (mainWidget)
            mainWidget->show();
    };
    const bool remote = remoteControlBox_->isChecked();
    if (mode_ == ExecutionMode::Recording) {
        if (!recorder_) {
            // Continuable: a cancelled test configuration must not end the host program.
            reportError(true, tr("No Recorder created. Did you remember to create the TapewrightConfig instance with true as third argument?"));
            show();
            return;
        }
        if (remote) {
            // The host's device stays the local copy, so keystrokes never reach the disk in plain text.
            if (withDevice)
                localCopy_ = device;
            if (linkStarted_) {
                if (withDevice && recorder_->isLinked())
                    recorder_->setLocalCopy(device);
                show();
            } else {
                startRemoteConnection(mainWidget);
            }
            return;
        }
        if (withDevice)
            recorder_->start(device, outputFileName());
        else
            recorder_->start(scriptFile(), outputFileName());
        show();
        return;
    }
    if (mode_ == ExecutionMode::PlayBack) {
        if (!playBackUnit_) {
            reportError(true, tr("No PlayBack created. Did you remember to create the TapewrightConfig instance with true as third argument?"));
            show();
            return;
        }
        if (remote) {
            if (linkStarted_)
                show();
            else
                startRemoteConnection(mainWidget);
            return;
        }
        show();
        if (playBackUnit_->isPlaying()) {
            qWarning("TapewrightConfig: playback is running already; the new start is ignored");
            return;
        }
        if (withDevice)
            playBackUnit_->start(device, outputFileName());
        else
            playBackUnit_->start(scriptFile(), outputFileName());
        return;
    }
    show();
}

void TapewrightConfig::endRecording()
{
    if (recorder_)
        recorder_->stop();
}

bool TapewrightConfig::holdsDevice() const { return recorder_ && recorder_->writerOut(); }

void TapewrightConfig::startRemoteConnection(QWidget* mainWidget)
{
    if (linkStarted_)
        return;
    linkStarted_ = true;
    pendingWidget_ = mainWidget;
    if (serverBox_->isChecked()) {
        auto* listener = new Listener(port(), this);
        connect(listener, &Listener::connected, this, &TapewrightConfig::slotGotConnection);
    } else {
        auto* connector = new Connector(host(), port(), this, "Tapewright Connector");
        connect(connector, &Connector::connected, this, &TapewrightConfig::slotGotConnection);
    }
}

void TapewrightConfig::slotGotConnection(QTcpSocket* socket)
{
    if (mode_ == ExecutionMode::Recording) {
        if (recorder_)
            recorder_->setSocket(socket, localCopy_, scriptFile(), outputFileName());
        else {
            qWarning("ASSERT: \"d->recorder\" in %s (%d)", __FILE__, __LINE__);
        }
    } else if (playBackUnit_) {
        playBackUnit_->setSocket(socket, outputFileName());
    } else {
        qWarning("ASSERT: \"d->playBackUnit\" in %s (%d)", __FILE__, __LINE__);
    }
    if (pendingWidget_)
        pendingWidget_->show();
}

ExecutionMode TapewrightConfig::mode() const { return mode_; }

QString TapewrightConfig::scriptFile() const
{
    if (remoteControlBox_->isChecked() && !writeLocalScriptFileBox_->isChecked())
        return QString();
    return scriptFile_->fileName();
}

QString TapewrightConfig::outputFileName() const
{
    return toFileRadio_->isChecked() ? outputFile_->fileName() : QString();
}

QString TapewrightConfig::host() const { return hostEdit_->text(); }

bool TapewrightConfig::isRemoteControl() const { return remoteControlBox_->isChecked(); }

int TapewrightConfig::port() const { return portSpin_->value(); }

QSize TapewrightConfig::sizeHint() const
{
    QSize size = QDialog::sizeHint();
    size.setWidth(qBound(600, size.width(), 1000));
    return size;
}

// ----- command line

void TapewrightConfig::parseOptions(int& argc, char** argv, const QString& prefix, bool usageWithApplication)
{
    QString pending;
    int index = 1;
    while (index < argc) {
        const QString argument = QString::fromLocal8Bit(argv[index]);
        bool used = false;
        if (!pending.isNull()) {
            applyOption(pending, argument);
            pending = QString();
            used = true;
        } else if (argument.startsWith(QLatin1Char('-')) && argument.mid(1).startsWith(prefix)) {
            const QString name = argument.mid(1 + prefix.size());
            used = true;
            if (name == QLatin1String("help")) {
                printHelp(argv[0], prefix, usageWithApplication);
                std::exit(-1);
            } else if (name == QLatin1String("record")) {
                recordingRadio_->setChecked(true);
                slotModeChange(int(ExecutionMode::Recording));
            } else if (name == QLatin1String("playback")) {
                playBackRadio_->setChecked(true);
                slotModeChange(int(ExecutionMode::PlayBack));
            } else if (name == QLatin1String("noconfig")) {
                showDialog_ = false;
            } else if (name == QLatin1String("config")) {
                showDialog_ = true;
            } else if (name == QLatin1String("server")) {
                remoteControlBox_->setChecked(true);
                serverBox_->setChecked(true);
                slotUpdateRemoteControlStates();
            } else if (name == QLatin1String("allowcommands")) {
                TapewrightSettings::instance().setAllowCommands(true);
            } else if (name == QLatin1String("script") || name == QLatin1String("output") || name == QLatin1String("host")
                       || name == QLatin1String("port") || name == QLatin1String("configfile")) {
                pending = name;
            } else {
                used = false;
            }
        }
        if (used) {
            for (int i = index; i + 1 < argc; ++i)
                argv[i] = argv[i + 1];
            --argc;
            argv[argc] = nullptr;
        } else {
            ++index;
        }
    }
}

void TapewrightConfig::applyOption(const QString& option, const QString& value)
{
    if (option == QLatin1String("script")) {
        scriptFile_->setFileName(value);
    } else if (option == QLatin1String("output")) {
        outputFile_->setFileName(value);
        toFileRadio_->setChecked(true);
    } else if (option == QLatin1String("host")) {
        hostEdit_->setText(value);
        remoteControlBox_->setChecked(true);
        slotUpdateRemoteControlStates();
    } else if (option == QLatin1String("port")) {
        bool ok = false;
        const int port = value.toInt(&ok);
        if (ok && port >= portSpin_->minimum() && port <= portSpin_->maximum())
            portSpin_->setValue(port);
        else
            std::fprintf(stderr, "%s\n", qPrintable(tr("Port '%1' is no port number; the port stays %2").arg(value).arg(portSpin_->value())));
        remoteControlBox_->setChecked(true);
        slotUpdateRemoteControlStates();
    } else if (option == QLatin1String("configfile")) {
        loadConfig(value);
    }
}

void TapewrightConfig::printHelp(const char* program, const QString& prefix, bool usageWithApplication)
{
    const QStringList lines = {
        tr("%1%2").arg(QString::fromLocal8Bit(program),
                       usageWithApplication ? tr(" [<application>] [<application-args-or-tapewright-args>]") : QString()),
        tr("  -%1help Show this help screen").arg(prefix),
        tr("  -%1record Automation mode should be recording").arg(prefix),
        tr("  -%1playback Automation mode should be playback").arg(prefix),
        tr("  -%1script Save or load script from the specified file").arg(prefix),
        tr("  -%1noconfig Do not show configuration dialog, but start recording or playback right away.").arg(prefix),
        tr("            This requires that either -record or -playback is specified"),
        tr("  -%1config Show the config dialog").arg(prefix),
        tr("  -%1configfile <file> Specifies a configuration file previously saved from Tapewright").arg(prefix),
        tr("  -%1output <file> Specify the file that output from the property picket goes").arg(prefix),
        tr("  -%1server This tells Tapewright that this is a server for remote control").arg(prefix),
        tr("  -%1host <address> This tells Tapewright to connect to remote program on the address given.").arg(prefix),
        tr("  -%1port <port> Tells Tapewright to use the given port for remote communication").arg(prefix),
        tr("  -%1allowcommands Let played scripts run external commands").arg(prefix),
    };
    for (const QString& line : lines)
        std::printf("%s\n", line.toLocal8Bit().constData());
    std::fflush(stdout);
}

// ----- configuration file

void TapewrightConfig::saveConfig(const QString& fileName)
{
    QDomDocument document;
    document.appendChild(document.createProcessingInstruction(QStringLiteral("xml"), QStringLiteral("version=\"1.0\" encoding=\"UTF-8\"")));
    QDomElement root = document.createElement(QStringLiteral("TapewrightConfig"));
    document.appendChild(root);
    root.setAttribute(QStringLiteral("errorMessageLocation"), consoleRadio_->isChecked() ? QStringLiteral("stdout") : QStringLiteral("dialog"));
    root.setAttribute(QStringLiteral("compressTime"), flag(compressTimeBox_->isChecked()));
    root.setAttribute(QStringLiteral("ignoreMouseMovement"), flag(ignoreMouseMovementBox_->isChecked()));
    root.setAttribute(QStringLiteral("outputLocation"), toFileRadio_->isChecked() ? QStringLiteral("file") : QStringLiteral("stdout"));
    if (toFileRadio_->isChecked())
        root.setAttribute(QStringLiteral("outputFileName"), outputFile_->fileName());
    root.setAttribute(QStringLiteral("showRecorderConnectionClosed"), flag(connectionClosedBox_->isChecked()));
    root.setAttribute(QStringLiteral("absoluteTimeStamps"), flag(absoluteTimeStampsBox_->isChecked()));
    root.setAttribute(QStringLiteral("showRecorderDialog"), flag(showRecorderDialogBox_->isChecked()));
    root.setAttribute(QStringLiteral("recorderView"), QString::number(recorderViewCombo_->currentIndex()));
    root.setAttribute(QStringLiteral("closeRecorderDialog"), flag(closeRecorderDialogBox_->isChecked()));
    QDomElement adapters = document.createElement(QStringLiteral("Adapters"));
    root.appendChild(adapters);
    for (AdapterBox* box : adapterBoxes_) {
        QDomElement adapter = document.createElement(QStringLiteral("Adapter"));
        adapter.setAttribute(QStringLiteral("id"), box->adapter()->info().name);
        adapter.setAttribute(QStringLiteral("on"), flag(box->isChecked()));
        adapters.appendChild(adapter);
    }
    QDomElement bindings = document.createElement(QStringLiteral("KeyBindings"));
    root.appendChild(bindings);
    for (const KeyBinding& binding : keyBindings_) {
        QDomElement element = document.createElement(QStringLiteral("KeyBinding"));
        element.setAttribute(QStringLiteral("action"), QString::number(binding.action));
        element.setAttribute(QStringLiteral("keycode"), QString::number(binding.button->keyCode()));
        bindings.appendChild(element);
    }
    root.setAttribute(QStringLiteral("endPlayBackDialog"), flag(endPlayBackDialogBox_->isChecked()));
    root.setAttribute(QStringLiteral("moveToplevels"), flag(moveToplevelsBox_->isChecked()));
    root.setAttribute(QStringLiteral("resizeToplevels"), flag(resizeToplevelsBox_->isChecked()));
    root.setAttribute(QStringLiteral("displayMouseMovement"), flag(displayMouseMovementBox_->isChecked()));
    root.setAttribute(QStringLiteral("creationTimeOut"), QString::number(creationTimeOutSpin_->value()));
    root.setAttribute(QStringLiteral("missingWidget"), QString::number(missingCombo_->currentIndex()));
    root.setAttribute(QStringLiteral("writeLocalScriptFile"), flag(writeLocalScriptFileBox_->isChecked()));

    // Whole or not at all: a configuration that cannot be written leaves the old one as it was.
    QString why;
    if (!TapewrightUtil::writeRegularFile(fileName, document.toByteArray(1), &why))
        warn(tr("Unable to save config"), tr("Unabled to write configuration to file."),
             tr("Could not write %1: %2").arg(fileName, why));
}

void TapewrightConfig::loadConfig(const QString& fileName)
{
    QFile file;
    bool opened = false;
    QString refusal = openRegularFile(fileName, &file, &opened);
    // Missing or unreadable: the box of old, which now says which file and why.
    if (!opened) {
        warn(tr("Unable to load config"), tr("Unabled to load configuration file."),
             tr("Configuration file '%1' %2; it is not read").arg(fileName, refusal));
        return;
    }
    // A file that is no regular file or is past the bounds is refused with its name and why;
    // reported as the component's errors are, so that a run without an operator goes on.
    QByteArray text;
    if (refusal.isNull())
        refusal = readConfigText(file, &text);
    file.close();
    QDomDocument document;
    QString parseError;
    int line = 0;
    bool wellFormed = false;
    if (refusal.isNull()) {
        try {
            wellFormed = document.setContent(text, false, &parseError, &line);
        } catch (const std::bad_alloc&) {
            refusal = tr("could not be read: there is not enough memory");
        }
    }
    // Another program's XML, or another file of ours, is no configuration to take values from.
    static const QString rootName = QStringLiteral("TapewrightConfig");
    const QString rootTag = document.documentElement().tagName();
    if (refusal.isNull() && !rootTag.isEmpty() && rootTag.compare(rootName, Qt::CaseInsensitive) != 0)
        refusal = tr("is no Tapewright configuration: its root element is '%1', not '%2'").arg(rootTag, rootName);
    if (!refusal.isNull()) {
        reportError(true, tr("Configuration file '%1' %2; it is not read").arg(fileName, refusal));
        return;
    }
    const auto warnAt = [this, &fileName](const QString& text, int lineNumber) {
        warn(tr("Error reading configuration"), text,
             tr("Configuration file '%1', line %2: %3").arg(fileName).arg(lineNumber).arg(plainText(text)));
    };
    if (!wellFormed)
        warnAt(tr("<qt>The configuration file is not well-formed (line %1: %2); what could be read is used.</qt>").arg(line).arg(parseError), line);
    const QDomElement root = document.documentElement();
    const QString errorLocation = QStringLiteral("errorMessageLocation");
    if (root.hasAttribute(errorLocation)) {
        const bool console = root.attribute(errorLocation) == QLatin1String("stdout");
        (console ? consoleRadio_ : dialogRadio_)->setChecked(true);
    }
    readFlag(root, "compressTime", compressTimeBox_);
    readFlag(root, "ignoreMouseMovement", ignoreMouseMovementBox_);
    if (root.hasAttribute(QStringLiteral("outputLocation"))) {
        if (root.attribute(QStringLiteral("outputLocation")) == QLatin1String("file")) {
            toFileRadio_->setChecked(true);
            outputFile_->setFileName(root.attribute(QStringLiteral("outputFileName")));
        } else {
            stdoutRadio_->setChecked(true);
        }
    }
    readFlag(root, "showRecorderConnectionClosed", connectionClosedBox_);
    readFlag(root, "absoluteTimeStamps", absoluteTimeStampsBox_);
    readFlag(root, "showRecorderDialog", showRecorderDialogBox_);
    // Indexes outside a combo would leave it without a current item: refused, the combo stays.
    const auto readIndex = [&](const char* name, QComboBox* combo) {
        const QString attribute = QString::fromLatin1(name);
        if (!root.hasAttribute(attribute))
            return;
        const int index = number(root.attribute(attribute));
        if (index >= 0 && index < combo->count())
            combo->setCurrentIndex(index);
        else
            warnAt(tr("<qt>The value %1 of %2 names no choice; it is ignored.</qt>").arg(root.attribute(attribute), attribute), root.lineNumber());
    };
    readIndex("recorderView", recorderViewCombo_);
    readFlag(root, "closeRecorderDialog", closeRecorderDialogBox_);

    for (QDomNode node = root.firstChild(); !node.isNull(); node = node.nextSibling()) {
        if (!node.isElement())
            continue;
        const QDomElement section = node.toElement();
        const QString tag = section.tagName().toLower();
        if (tag == QLatin1String("adapters")) {
            for (QDomNode child = section.firstChild(); !child.isNull(); child = child.nextSibling()) {
                const QDomElement element = child.toElement();
                if (element.isNull() || element.tagName() != QLatin1String("Adapter"))
                    warnAt(tr("<qt>While reading Adapters sections in the configuration file, Tapewright expected an Adapter element.</qt>"),
                           child.lineNumber());
                const QString id = element.attribute(QStringLiteral("id"));
                const bool on = number(element.attribute(QStringLiteral("on"))) != 0;
                for (AdapterBox* box : adapterBoxes_) {
                    if (box->adapter()->info().name == id)
                        box->setChecked(on);
                }
            }
        } else if (tag == QLatin1String("keybindings")) {
            for (QDomNode child = section.firstChild(); !child.isNull(); child = child.nextSibling()) {
                const QDomElement element = child.toElement();
                if (element.isNull() || element.tagName().toLower() != QLatin1String("keybinding"))
                    warnAt(tr("<qt>While reading Keybindings sections in the configuration file, Tapewright expected a Keybinding element.</qt>"),
                           child.lineNumber());
                const int action = number(element.attribute(QStringLiteral("action")));
                const int keyCode = number(element.attribute(QStringLiteral("keycode")));
                for (const KeyBinding& binding : keyBindings_) {
                    if (binding.action == action)
                        binding.button->setKeyCode(keyCode);
                }
            }
            checkKeyBindings();
        } else {
            warnAt(tr("<qt>Tapewright read an unknown element %1 from the configuration file</qt>").arg(section.tagName()),
                   section.lineNumber());
        }
    }

    readFlag(root, "endPlayBackDialog", endPlayBackDialogBox_);
    readFlag(root, "moveToplevels", moveToplevelsBox_);
    readFlag(root, "resizeToplevels", resizeToplevelsBox_);
    readFlag(root, "displayMouseMovement", displayMouseMovementBox_);
    if (root.hasAttribute(QStringLiteral("creationTimeOut")))
        creationTimeOutSpin_->setValue(number(root.attribute(QStringLiteral("creationTimeOut"))));
    readIndex("missingWidget", missingCombo_);
    readFlag(root, "writeLocalScriptFile", writeLocalScriptFileBox_);
    updateStates();
}

void TapewrightConfig::slotLoadConfig()
{
    const QString name = QFileDialog::getOpenFileName(nullptr, QString(), QString(), QString(), nullptr, QFileDialog::DontUseNativeDialog);
    if (!name.isEmpty())
        loadConfig(name);
}

void TapewrightConfig::slotSaveConfig()
{
    const QString name = QFileDialog::getSaveFileName(nullptr, QString(), QString(), QString(), nullptr, QFileDialog::DontUseNativeDialog);
    if (!name.isEmpty())
        saveConfig(name);
}
