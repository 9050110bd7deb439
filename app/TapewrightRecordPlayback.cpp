#include "TapewrightRecordPlayback.h"

#include "ViewPointerAdapter.h"
#include "shell/dialogs/AlgorithmProgressDialog.h"
#include "shell/dialogs/LoadPlanningDialog.h"
#include "shell/dialogs/MessageDialog.h"
#include "shell/main/StartWalk.h"
#include "tapewright/AdapterRegistry.h"
#include "tapewright/ErrorReport.h"
#include "tapewright/PlayBack.h"
#include "tapewright/Recorder.h"
#include "tapewright/TapewrightConfig.h"
#include "tapewright/TapewrightSettings.h"

#include <QApplication>
#include <QCoreApplication>
#include <QKeySequence>
#include <QObject>
#include <QTimer>

TapewrightRecordPlayback::TapewrightRecordPlayback(int& argc, char** argv, bool testMode)
    : testMode_(testMode)
{
    TapewrightSettings& settings = TapewrightSettings::instance();
    settings.setShowRecorderDialog(false);
    settings.setShowConfigDialog(false);
    settings.setErrorMessageLocation(0);
    // A test run has nobody to answer a box, whatever a configuration file says.
    settings.setUnattended(testMode);
    if (testMode)
        settings.setKeyBinding(2, QKeySequence(Qt::CTRL | Qt::Key_F3));
    else
        settings.setKeyBinding(1, QKeySequence(Qt::Key_Meta));
    // The views' own adapter, listed with the built-in ones.
    adapterRegistry().registerAdapter(std::make_unique<ViewPointerAdapter>());
    // A replayed click must not land while a job's results are still being taken in.
    // Only while the job's progress is what stands in front: a box in front of it (the job's
    // error) is no work that a replay waits for. The start's walk of the patient folders runs
    // beside the window, its bar in the status bar: a replay waits for it too, and for the list of
    // plannings, which fills while its dialog shows.
    PlayBack::setBusyCheck([] {
        const QWidget* inFront = QApplication::activeModalWidget();
        if (const auto* list = qobject_cast<const LoadPlanningDialog*>(inFront); list && list->isListing())
            return true;
        return (AlgorithmProgressDialog::liveCount() > 0 || StartWalk::running() > 0) &&
               (!inFront || qobject_cast<const AlgorithmProgressDialog*>(inFront));
    });
    config_ = new TapewrightConfig(argc, argv, true);
    config_->exec();
    // A test run that meets a widget its script does not fit ends at once, rather than waiting
    // for every later widget in turn.
    if (testMode)
        settings.setMissingWidget(settings.missingWidget() | TapewrightSettings::quitOnMissing);
}

TapewrightRecordPlayback::~TapewrightRecordPlayback()
{
    PlayBack::setBusyCheck({});
    setErrorSink({});
    delete config_;
}

RecordPlaybackHook TapewrightRecordPlayback::hook()
{
    RecordPlaybackHook hook;
    // The component reads its option prefix from the environment when the program gives none.
    hook.recordOption = "-" + qgetenv("TAPEWRIGHTPREFIX") + "record";
    hook.create = [](int& argc, char** argv, bool testMode) -> std::unique_ptr<IRecordPlayback> {
        return std::make_unique<TapewrightRecordPlayback>(argc, argv, testMode);
    };
    return hook;
}

int TapewrightRecordPlayback::mode() const
{
    return int(config_->mode());
}

QString TapewrightRecordPlayback::scriptFile() const
{
    return config_->scriptFile();
}

void TapewrightRecordPlayback::startWithDevice(QWidget* mainWindow, QIODevice* device)
{
    if (testMode_ || config_->mode() != ExecutionMode::PlayBack) {
        config_->startWithDevice(mainWindow, device);
        // A box of the unit's own says it already; standard error alone reaches nobody at the window.
        Recorder* recorder = config_->recorder();
        if (recorder && recorder != heard_ && recordingFailed_) {
            heard_ = recorder;
            QObject::connect(recorder, &Recorder::scriptFailure, recorder, [this](const QString& message) {
                if (TapewrightSettings::instance().errorMessageLocation() != 1 && recordingFailed_)
                    recordingFailed_(message);
            });
        }
        return;
    }
    // A log that cannot be played is told where a user who started playback from the desktop
    // sees it, as the program tells its other errors; standard error still gets it.
    QStringList reports;
    setErrorSink([&reports](bool canContinue, const QString& message) {
        reports << message;
        reportToStandardError(canContinue, message);
    });
    config_->startWithDevice(mainWindow, device);
    setErrorSink({});
    const PlayBack* player = config_->playBackUnit();
    if (!reports.isEmpty() && (!player || !player->isPlaying())) {
        MessageDialog dialog(nullptr, QObject::tr("Playback error"), reports.join(QLatin1Char('\n')), MessageDialog::Ok);
        dialog.exec();
    }
}

void TapewrightRecordPlayback::startWithFile(QWidget* mainWindow, std::function<void(int exitCode)> ended)
{
    // Exit codes reach the event loop only once it runs. Every report of the run counts, also
    // those made before the player started (a refused configuration file).
    const auto finish = [this, ended](bool failed) {
        const int code = failed || errorsReported() ? -1 : 0;
        QTimer::singleShot(0, qApp, [ended, code] { ended(code); });
    };
    // A test run that neither plays nor records would wait for a person.
    if (testMode_ && config_->mode() == ExecutionMode::Normal) {
        const QString option = QStringLiteral("-") + QString::fromLocal8Bit(qgetenv("TAPEWRIGHTPREFIX"));
        reportToStandardError(true, QObject::tr("Test mode has no script to play: neither %1playback nor %1record was given; the run ends")
                                        .arg(option));
        finish(true);
        return;
    }
    const bool playback = config_->mode() == ExecutionMode::PlayBack;
    // Reports reach standard error whatever a configuration file chose, and a fatal one still
    // ends the program.
    if (playback)
        setErrorSink(reportToStandardError);
    config_->startWithFile(mainWindow);
    PlayBack* player = config_->playBackUnit();
    if (!playback || !player)
        return;
    // Over the remote link the player starts once the peer is there; a connection that fails
    // says so and ends the run itself.
    if (!player->isPlaying() && !config_->isRemoteControl()) {
        finish(true);
        return;
    }
    QObject::connect(player, &PlayBack::playbackDone, player, [finish] { finish(false); }, Qt::SingleShotConnection);
}

void TapewrightRecordPlayback::onRecordingFailure(std::function<void(const QString& message)> failed)
{
    recordingFailed_ = std::move(failed);
}

bool TapewrightRecordPlayback::errorsReported() const
{
    return reportedErrors() > 0;
}

void TapewrightRecordPlayback::endRecording()
{
    if (config_)
        config_->endRecording();
}

bool TapewrightRecordPlayback::holdsDevice() const
{
    return config_ && config_->holdsDevice();
}
