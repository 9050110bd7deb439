#pragma once
// The one object through which a host switches recording or playback on: a modal configuration
// dialog that also owns the execution mode, the recording or playback unit and the start of the
// remote link. The host constructs it with its command line (recognised options are removed),
// calls exec(), starts the unit with its main window and ends a recording when it shuts down.
// Starting again is safe: a recording in progress is closed and a new one begins on the new
// device, a running playback is left alone, and the remote link is set up once.
#include <QDialog>
#include <QFont>
#include <QList>
#include <QPointer>
#include <functional>

class AdapterBox;
class FileChooser;
class KeyButton;
class PlayBack;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QIODevice;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QTabWidget;
class QTcpSocket;
class Recorder;
class TapewrightSettings;

enum class ExecutionMode { Normal = 0, Recording = 1, PlayBack = 2 };

class TapewrightConfig : public QDialog
{
    Q_OBJECT
public:
    TapewrightConfig(int& argc, char** argv, bool createUnits, QString prefix = QString(),
                     bool usageWithApplication = false);
    ~TapewrightConfig() override;

    int exec() override;
    virtual void startWithDevice(QWidget* mainWidget, QIODevice* device);
    virtual void startWithFile(QWidget* mainWidget);
    virtual void endRecording();
    bool holdsDevice() const;

    ExecutionMode mode() const;
    QString scriptFile() const;
    QString outputFileName() const;
    QString host() const;
    // Whether the units start on the remote link (once connected) rather than at once.
    bool isRemoteControl() const;
    int port() const;

    void createUnit();
    void startRemoteConnection(QWidget* mainWidget);
    // A configuration file is read within the bounds of every XML text the component reads
    // (XmlGuard) and at most maxConfigBytes long; one past them is reported and changes nothing.
    // What Save Config writes takes some hundred bytes an adapter.
    static constexpr qint64 maxConfigBytes = 1024 * 1024;
    void saveConfig(const QString& fileName);
    void loadConfig(const QString& fileName);
    QSize sizeHint() const override;

    Recorder* recorder() const;
    PlayBack* playBackUnit() const;

    // Where the dialog's warnings go (title, text) instead of a message box while set; for hosts
    // and tests that run without an operator. Without it, an unattended run (TapewrightSettings)
    // reports them as errors that name the file, its line and the reason.
    static void setWarningSink(std::function<void(const QString&, const QString&)> sink);

    // The stored value of the missing-widget policy for an item of the combo, and back.
    static int missingWidgetValue(int item);
    static int missingWidgetItem(int value);

signals:
    void modeChange(ExecutionMode mode);

protected slots:
    void showHelp();
    void slotModeChange(int mode);
    void slotOK();
    void slotSelectAll();
    void slotSelectNone();
    void slotUpdateRemoteControlStates();
    void slotGotConnection(QTcpSocket* socket);
    void slotChangeFont();
    void slotLoadConfig();
    void slotSaveConfig();
    void updateStates();
    void checkKeyBindings();

private:
    struct KeyBinding
    {
        int action = 0;
        QString name;
        QString whatsThis;
        KeyButton* button = nullptr;
    };

    QWidget* createGeneralPage(TapewrightSettings* settings);
    QWidget* createRecordingPage(TapewrightSettings* settings);
    QWidget* createAdaptersPage();
    QWidget* createKeyBindingsPage();
    QWidget* createPlayBackPage(TapewrightSettings* settings);
    QWidget* createRemoteControlPage(TapewrightSettings* settings);
    void updateWriteLocalState();
    void parseOptions(int& argc, char** argv, const QString& prefix, bool usageWithApplication);
    void applyOption(const QString& option, const QString& value);
    void printHelp(const char* program, const QString& prefix, bool usageWithApplication);
    // A warning box (title, text; `detail`, naming the file and the reason, as its informative
    // text), or in an unattended run the error `detail`.
    void warn(const QString& title, const QString& text, const QString& detail = QString());
    void start(QWidget* mainWidget, QIODevice* device, bool withDevice);

    QTabWidget* tabs_ = nullptr;
    ExecutionMode mode_ = ExecutionMode::Normal;
    QWidget* adaptersPage_ = nullptr;
    QWidget* recordingPage_ = nullptr;
    QWidget* playBackPage_ = nullptr;
    QWidget* keyBindingsPage_ = nullptr;
    QWidget* remoteControlPage_ = nullptr;

    QButtonGroup* modeGroup_ = nullptr;
    QRadioButton* normalRadio_ = nullptr;
    QRadioButton* recordingRadio_ = nullptr;
    QRadioButton* playBackRadio_ = nullptr;
    QGroupBox* errorLocationGroup_ = nullptr;
    QRadioButton* consoleRadio_ = nullptr;
    QRadioButton* dialogRadio_ = nullptr;
    QCheckBox* compressTimeBox_ = nullptr;
    QCheckBox* ignoreMouseMovementBox_ = nullptr;
    FileChooser* scriptFile_ = nullptr;
    QRadioButton* stdoutRadio_ = nullptr;
    QRadioButton* toFileRadio_ = nullptr;
    FileChooser* outputFile_ = nullptr;
    QPushButton* changeFontButton_ = nullptr;

    QCheckBox* connectionClosedBox_ = nullptr;
    QCheckBox* absoluteTimeStampsBox_ = nullptr;
    QCheckBox* showRecorderDialogBox_ = nullptr;
    QComboBox* recorderViewCombo_ = nullptr;
    QCheckBox* closeRecorderDialogBox_ = nullptr;

    QCheckBox* endPlayBackDialogBox_ = nullptr;
    QSpinBox* creationTimeOutSpin_ = nullptr;
    QComboBox* missingCombo_ = nullptr;
    QCheckBox* moveToplevelsBox_ = nullptr;
    QCheckBox* resizeToplevelsBox_ = nullptr;
    QCheckBox* displayMouseMovementBox_ = nullptr;

    QCheckBox* remoteControlBox_ = nullptr;
    QCheckBox* serverBox_ = nullptr;
    QLabel* hostLabel_ = nullptr;
    QLineEdit* hostEdit_ = nullptr;
    QLabel* portLabel_ = nullptr;
    QSpinBox* portSpin_ = nullptr;
    QCheckBox* writeLocalScriptFileBox_ = nullptr;

    QLabel* bindingWarning_ = nullptr;

    bool showDialog_ = false;
    bool createUnits_ = false;
    QPointer<Recorder> recorder_;
    QPointer<PlayBack> playBackUnit_;
    QPointer<QWidget> pendingWidget_;
    QPointer<QIODevice> localCopy_;     // the host's device, the local copy of a remote recording
    bool linkStarted_ = false;
    QList<AdapterBox*> adapterBoxes_;
    QFont font_;
    bool fontChosen_ = false; // only a font the user chose replaces the host's
    QList<KeyBinding> keyBindings_;
};
