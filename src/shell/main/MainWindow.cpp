#include "shell/main/MainWindow.h"

#include "dicom/import/DVT9000Importer.h"
#include "dicom/import/UniversalImporter.h"
#include "navigation/CameraSearchJob.h"
#include "navigation/NavigationCamera.h"
#include "navigation/NavigationController.h"
#include "navigation/TrackerData.h"
#include "planning/io/DicomImport.h"
#include "planning/io/LoadedPlanning.h"
#include "planning/io/PlanningReader.h"
#include "planning/io/PlanningWriter.h"
#include "planning/io/saving/FolderHandle.h"
#include "planning/io/saving/PlanningFinder.h"
#include "planning/io/saving/StartRecovery.h"
#include "planning/model/Model.h"
#include "planning/model/Settings.h"
#include "planning/model/Utilities.h"
#include "platform/ApplicationFolder.h"
#include "platform/DebugOutput.h"
#include "platform/Sound.h"
#include "shell/dialogs/AboutDialog.h"
#include "shell/dialogs/AlgorithmProgressDialog.h"
#include "shell/dialogs/DicomImportDialog.h"
#include "shell/dialogs/LoadDialog.h"
#include "shell/dialogs/LoadPlanningDialog.h"
#include "shell/dialogs/MessageDialog.h"
#include "shell/dialogs/SaveDialog.h"
#include "shell/main/FolderCall.h"
#include "shell/main/IRecordPlayback.h"
#include "shell/main/ImageFolder.h"
#include "shell/main/LogFileKey.h"
#include "shell/main/ShellNavigationUi.h"
#include "shell/main/TreatmentLogWaitJob.h"
#include "shell/main/VideoCapture.h"
#include "shell/modes/IMorvantaComponent.h"
#include "shell/modes/ViewFactory.h"
#include "shell/widgets/Appearance.h"
#include "shell/widgets/Fonts.h"
#include "shell/widgets/MainWidget.h"
#include "shell/widgets/PlanningButtonView.h"
#include "shell/widgets/ViewFrame.h"
#include "vexa/core/DetachableCall.h"
#include "vexa/core/ExceptionStack.h"
#include "vexa/core/IniFileManager.h"
#include "vexa/core/Version.h"
#include "vexa/io/AtomicFile.h"
#include "vexa/io/EncFile.h"
#include "vexa/io/Rijndael.h"
#include "views/navigation/NavigationAdjustView.h"
#include "views/navigation/NavigationButtonView.h"
#include "views/navigation/StatusBarView.h"

#include <QCryptographicHash>
#include <QFile>
#include <QSet>
#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <exception>
#include <filesystem>
#include <functional>
#include <iterator>
#include <memory>
#include <set>
#include <tuple>
#include <utility>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QMetaObject>
#include <QProgressBar>
#include <QScreen>
#include <QShortcut>
#include <QStackedWidget>
#include <QStatusBar>
#include <QThread>
#include <QToolButton>
#include <QVBoxLayout>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The mode of the installation: key "Mode" of group "Morvanta", 1 (Surgical) when missing.
short installedMode(const std::string& iniFile)
{
    const Vexa::IniFileManager ini(iniFile, Vexa::IniFileManager::ReadOnly);
    const std::string text = ini.getValue("Morvanta", "Mode", std::string());
    return text.empty() ? 1 : ini.getValue<short>("Morvanta", "Mode", short(0));
}

// A planning save that reserves the planning's new folder itself, in its worker thread: a save
// whose thread cannot start (the program ends then) has reserved nothing, and so leaves no empty
// folder in the patient folder.
class ReservingSave : public Vexa::IAlgorithmProgressState
{
public:
    using MakeWriter = std::function<std::unique_ptr<PlanningWriter>(const std::string& file)>;

    // `unchanged`: where the planning loaded is, for the text of a failed reservation.
    ReservingSave(std::string parent, const std::string& unchanged, MakeWriter makeWriter)
        : parent_(std::move(parent)), unchanged_(unchanged), makeWriter_(std::move(makeWriter)),
          error_(PlanningWriter::failureText("An unknown error has occurred during saving the planning data.", unchanged))
    {
    }

    bool start() override
    {
        try {
            file_ = PlanningWriter::reserveFile(parent_);
        } catch (const std::exception& e) {
            error_ = PlanningWriter::failureText(e.what(), unchanged_);
            return false;
        }
        try {
            writer_ = makeWriter_(file_);
        } catch (const std::exception& e) {
            error_ = PlanningWriter::failureText(e.what(), unchanged_);
            std::error_code ignored;
            std::filesystem::remove(std::filesystem::path(file_).parent_path(), ignored);
            return false;
        }
        running_.store(writer_.get(), std::memory_order_release);
        return writer_->start();
    }
    void cancel() override {}
    double getProgressState() const override
    {
        const PlanningWriter* writer = running_.load(std::memory_order_acquire);
        return writer ? writer->getProgressState() : 0.0;
    }
    std::string getShortDescription() const override
    {
        const PlanningWriter* writer = running_.load(std::memory_order_acquire);
        return writer ? writer->getShortDescription() : "Saving planning data";
    }
    bool isCancelable() const override { return false; }

    // Once the job has ended: the planning file, the writer that saved into it (null when no
    // folder could be reserved) and why the save failed (empty when it did not).
    const std::string& file() const { return file_; }
    const PlanningWriter* writer() const { return writer_.get(); }
    const std::string& errorMessage() const { return writer_ ? writer_->getErrorMessage() : error_; }

private:
    std::string parent_, unchanged_;
    MakeWriter makeWriter_;
    std::string error_, file_;
    std::unique_ptr<PlanningWriter> writer_;
    std::atomic<const PlanningWriter*> running_{nullptr};
};

}

MainWindow::MainWindow(IRecordPlayback* recorder, Constants::ExecMode mode, QWidget* parent)
try : QMainWindow(parent), Vexa::TimerBase(50, Vexa::TimerBase::periodic), recorder_(recorder), mode_(mode)
{
    setObjectName("pName");
    Fonts::installSubstitutions();
    setWindowTitle("Morvanta");
    settings_ = std::make_shared<Settings>(Platform::applicationPath("Morvanta.ini"));
    // A caller may have installed a controller of its own (tools and tests do).
    if (!Model::hasNavigationControllerFactory())
        NavigationController::installModelFactory();
    model_ = std::make_shared<Model>(settings_);
    navigation_ = std::dynamic_pointer_cast<NavigationController>(model_->getNavigationController());
    if (navigation_)
        navigation_->setUi(std::make_shared<ShellNavigationUi>(this));
    // A recording whose disk filled up is told where the user sees it, once per cause, after the
    // recorder's own report.
    if (recorder_)
        recorder_->onRecordingFailure([this](const QString& message) {
            QTimer::singleShot(0, this, [this, message] {
                // A program on its way out shows no box that nobody may be there to close, nor
                // one of a recording the window has already cut short where its folder did not
                // answer (it says where the session goes on): the recorder has put it on
                // standard error.
                if (ending_ || quitAfterWait_ || (!cutRecording_.isEmpty() && message.contains(cutRecording_)))
                    return;
                const QString text = tr("The recording of this session is incomplete:\n%1").arg(message);
                if (!recordingPlacesTold_.contains(text)) {
                    recordingPlacesTold_ << text;
                    showError(tr("Session recording"), text);
                }
            });
        });
    setupUsedDicomImporter();
    central_ = new QWidget(this);
    central_->setObjectName("CentralWidget");
    setCentralWidget(central_);
    mainLayout_ = new QVBoxLayout(central_);
    mainLayout_->setObjectName("MainWindowLayout");
    mainLayout_->setContentsMargins(5, 5, 5, 5);
    mainLayout_->setSpacing(6);
    component_ = createComponent(installedMode(settings_->getIniFile()));
    setupButtons();
    setupMainWidgetStack();
    setupMiniDisplayArea();
    setupStatusBar();
    setupConnections();
    images_ = std::make_shared<ImageFolder>();
    // Saves a crash cut off are finished (or undone) before any planning is listed, and the
    // pictures they were carrying are found; another instance running might be in the middle of
    // one. A program folder that takes no session lock (an installation, a read-only share)
    // keeps only the pictures in Images/ where they are: the marks in the patient folders tell
    // who is at work there. The journals of a program that ended without storing its treatment
    // log become logs in any case. One walk of the patient folders does it all, once the window
    // shows; what the user must know is told when it is through.
    startWalk_ = std::make_unique<StartWalk>(model_, images_, settings_->getPatientPaths(),
                                             images_->isOnlyInstance() || !images_->hasSessionLock(),
                                             model_->loadedPlanningLogFolder(),
                                             [this](const StartWalk::Result& result) { earlierSessionsWalked(result); });
    if (settings_->getCaptureSupport()) {
        video_ = std::make_unique<VideoCapture>(this);
        // Queued: the recorder has finished its own stop when the user is told.
        connect(video_.get(), &VideoCapture::failed, this, [this] {
            model_->setCapturing(false);
            model_->notify();
            reportVideoFailure();
        }, Qt::QueuedConnection);
    }
    // Without a window manager (bare Xvfb) full screen alone leaves the default size.
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        setGeometry(screen->geometry());
    showFullScreen();
    model_->attach(static_cast<Vexa::IObserver*>(this));
    QCoreApplication::instance()->installEventFilter(this);
    update();
    QTimer::singleShot(0, this, &MainWindow::beginEarlierSessions);
}
VEXA_RETHROW

MainWindow::~MainWindow()
{
    // The walk ends after the planning at hand; the program does not wait for the rest, nor for a
    // patient folder that does not answer.
    startWalk_.reset();
    QCoreApplication::instance()->removeEventFilter(this);
    if (recorder_)
        recorder_->onRecordingFailure({});
    // Navigation off first: it stores the treatment log and stops the camera threads.
    switchNavigationOff();
    stop();
    model_->detach(static_cast<Vexa::IObserver*>(this));
    video_.reset();
    if (recordingFile_)
        endRecording();
    closeRecordingFile();
    // The views detach themselves as the widget tree goes; the mini display is a window of its own.
    delete miniDisplay_;
}

void MainWindow::setupUsedDicomImporter()
{
    dicomManager_.insertImporter(new Vexa::UniversalImporter());
    dicomManager_.insertImporter(new Vexa::DVT9000Importer());
}

QToolButton* MainWindow::createButton(QWidget* parent, const QString& picture, const QString& greyedPicture,
                                      const QString& text)
{
    auto* button = new QToolButton(parent);
    button->setObjectName(text + "Button");
    button->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    QFont font("System", 12);
    font.setBold(true);
    button->setFont(font);
    if (!picture.isEmpty()) {
        QIcon icon;
        const QPixmap normal = Appearance::picture(picture);
        icon.addPixmap(normal, QIcon::Normal);
        if (!greyedPicture.isEmpty())
            icon.addPixmap(Appearance::picture(greyedPicture), QIcon::Disabled);
        button->setIcon(icon);
        if (!normal.isNull())
            button->setIconSize(normal.size());
        button->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    }
    button->setText(text);
    return button;
}

void MainWindow::setupButtons()
try {
    auto* row = new QHBoxLayout();
    row->setObjectName("ButtonLayout");
    row->setSpacing(6);
    mainLayout_->addLayout(row);
    buttonStack_ = new QStackedWidget(central_);
    buttonStack_->setObjectName("ButtonWidgetStack");
    row->addWidget(buttonStack_);
    planningButtons_ = new PlanningButtonView(model_, buttonStack_, "PlanningButtonView");
    buttonStack_->addWidget(planningButtons_);
    navigationButtons_ = new NavigationButtonView(model_, buttonStack_, "NavigationButtonView");
    buttonStack_->addWidget(navigationButtons_);
    navigationButton_ = createButton(central_, "Navigation.bmp", "NavigationGreyed.bmp", tr("Navigation"));
    navigationButton_->setCheckable(true);
    navigationButton_->setEnabled(false);
    row->addWidget(navigationButton_, 0);
    versionButton_ = createButton(central_, "Company.bmp", QString(),
                                  tr("Version ") + QString::fromStdString(Vexa::getProgramVersion().toString(".")) +
                                      component_->getLetter());
    row->addWidget(versionButton_, 0);
    row->addSpacerItem(new QSpacerItem(61, 31, QSizePolicy::Expanding, QSizePolicy::Minimum));
}
VEXA_RETHROW

void MainWindow::setupMainWidgetStack()
try {
    mainWidget_ = new MainWidget(model_, component_->createViews(model_), central_, "MainWidget");
    mainWidget_->setFrameShape(QFrame::StyledPanel);
    mainWidget_->setFrameShadow(QFrame::Sunken);
    mainLayout_->addWidget(mainWidget_, 1);
    hideAndShowViews(true);
}
VEXA_RETHROW

void MainWindow::setupMiniDisplayArea()
try {
    // A window of its own outside the primary screen (left of and below it), for a second monitor.
    const QRect screen = QGuiApplication::primaryScreen() ? QGuiApplication::primaryScreen()->geometry() : QRect();
    miniDisplay_ = new QStackedWidget(nullptr);
    miniDisplay_->setObjectName("MiniDisplay WidgetStack");
    miniDisplay_->setWindowFlags(Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    miniDisplay_->setGeometry(-640, screen.height(), 640, 480);
    navigationPages_ = new NavigationAdjustView(model_, navigation_, miniDisplay_, "NavigationAdjustView");
    miniDisplay_->addWidget(navigationPages_);
    logo_ = new QLabel(miniDisplay_);
    logo_->setObjectName("Logo");
    static_cast<QLabel*>(logo_)->setPixmap(Appearance::picture("Morvanta.bmp"));
    miniDisplay_->addWidget(logo_);
    miniDisplay_->setCurrentWidget(logo_);
    miniDisplay_->show();
}
VEXA_RETHROW

void MainWindow::setupStatusBar()
{
    statusBar()->setSizeGripEnabled(false);
    statusBar()->setFont(QFont("System", 12));
    statusBarView_ = new StatusBarView(statusBar(), "StatusBarView");
    statusBarView_->setModel(model_);
    statusBarView_->setNavigationController(navigation_);
    statusBar()->addPermanentWidget(statusBarView_, 1);
}

void MainWindow::setupConnections()
{
    connect(planningButtons_, &PlanningButtonView::loadPatientData, this, &MainWindow::loadData);
    connect(new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_O), this), &QShortcut::activated, this,
            &MainWindow::loadData);
    connect(planningButtons_, &PlanningButtonView::generate3DModel, mainWidget_, &MainWidget::generate3DModel);
    connect(navigationButton_, &QToolButton::toggled, this, &MainWindow::enableNavigation);
    connect(planningButtons_, &PlanningButtonView::closeApp, this, &MainWindow::saveData);
    connect(navigationButtons_, &NavigationButtonView::doClinicalStudy, this, &MainWindow::logCurrentState);
    connect(new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_W), this), &QShortcut::activated, this,
            &MainWindow::saveData);
    connect(versionButton_, &QToolButton::clicked, this, &MainWindow::about);
    if (auto* app = qobject_cast<Quorvane::Application*>(QCoreApplication::instance()))
        connect(app, &Quorvane::Application::spaceballButtonPressed, this, &MainWindow::evaluateSpaceballButtons);
    // The platform's own undo and redo keys; not while navigating, when the planning is fixed.
    connect(new QShortcut(QKeySequence::Undo, this), &QShortcut::activated, this, [this] {
        if (!isNavigating())
            mainWidget_->undo();
    });
    connect(new QShortcut(QKeySequence::Redo, this), &QShortcut::activated, this, [this] {
        if (!isNavigating())
            mainWidget_->redo();
    });
    connect(new QShortcut(QKeySequence(Qt::Key_P), this), &QShortcut::activated, this, &MainWindow::makeScreenshot);
    connect(new QShortcut(QKeySequence(Qt::Key_R), this), &QShortcut::activated, this,
            &MainWindow::toggleVideoCapture);
}

namespace {
// Set in the navigation tick's thread while a tick runs.
thread_local bool inNavigationTick = false;
}

void MainWindow::update()
{
    // The tick hands its results to the Model without notifying: every observer is a widget.
    Q_ASSERT_X(!inNavigationTick, "MainWindow::update", "the navigation tick notified the Model's observers");
    // Other worker threads (the progress dialog's jobs) may notify.
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(this, [this] { update(); }, Qt::QueuedConnection);
        return;
    }
    navigationButton_->setEnabled(component_->isNavigationAvailable()
                                  && (camera_ != nullptr || model_->isReadyForNavigation()));
}

void MainWindow::hideAndShowViews(bool planning)
try {
    mainWidget_->setUpdatesEnabled(false);
    const auto frames = mainWidget_->findChildren<ViewFrame*>();
    component_->showWidgets(planning, QList<QObject*>(frames.begin(), frames.end()));
    if (auto* control = mainWidget_->findChild<QWidget*>("ControlView"))
        control->setVisible(planning);
    mainWidget_->setUpdatesEnabled(true);
}
VEXA_RETHROW

void MainWindow::closeEvent(QCloseEvent* event)
{
    // The program ends (quitting, a signal): a wait for a patient folder ends at once, and no
    // file call on one is waited for any more.
    ending_ = true;
    if (waitShown_)
        waitShown_->cancel();
    // Quitting leaves what the start's walk has not reached for the next start.
    startWalk_->stop();
    switchNavigationOff();
    // A treatment log still being stored is waited for, saying what it waits for (another
    // instance's save of the planning may hold it up).
    if (model_->isStoringTreatmentLog()) {
        TreatmentLogWaitJob job(model_);
        AlgorithmProgressDialog progress(&job, QString(), 0, this);
        progress.exec();
    }
    miniDisplay_->close();
    QMainWindow::closeEvent(event);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::Hide && !event->spontaneous() && qobject_cast<QDialog*>(watched)
        && static_cast<QWidget*>(watched)->isWindow() && static_cast<QWidget*>(watched)->isModal())
        // Once the dialog is gone from the modal windows and its own exec has returned.
        QTimer::singleShot(0, this, &MainWindow::takeKeyboardBack);
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::takeKeyboardBack()
{
    if (!isVisible() || isMinimized())
        return;
    QWidget* next = QApplication::activeModalWidget();
    if (!next || !next->isVisible())
        next = this;
    next->activateWindow();
}

void MainWindow::about()
{
    AboutDialog dialog(component_->getName());
    dialog.exec();
}

void MainWindow::logCurrentState()
{
    if (model_)
        model_->logUserDefinedState();
}

void MainWindow::switchNavigationOff()
{
    if (navigationButton_ && navigationButton_->isChecked())
        navigationButton_->setChecked(false); // toggled(false) switches off
    else if (camera_)
        enableNavigation(false);
}

void MainWindow::enableNavigation(bool on)
{
    try {
        if (on)
            startNavigation();
        else
            stopNavigation();
    } catch (const std::exception& e) {
        Vexa::ExceptionStack::getInstance()->push(__PRETTY_FUNCTION__, __FILE__, __LINE__);
        navigationButton_->setChecked(false);
        if (camera_) {
            try {
                stopNavigation();
            } catch (const std::exception&) {
                Vexa::ExceptionStack::getInstance()->push(__PRETTY_FUNCTION__, __FILE__, __LINE__);
            }
        }
        showError("Morvanta", QString::fromLocal8Bit(e.what()));
    }
    model_->notify();
}

void MainWindow::startNavigation()
try {
    if (camera_)
        return;
    // What earlier sessions left in the planning's patient folder is finished before this
    // navigation begins; the journals beside the planning become logs as navigation begins.
    const std::string planningFile = settings_->getPlanningFile();
    if (!waitForEarlierSessions(planningFile.empty() ? std::string() : std::filesystem::path(planningFile).parent_path().string())) {
        navigationButton_->setChecked(false);
        return;
    }
    if (model_->hasChanged()) {
        if (!requestPlanningSave(QString())) {
            navigationButton_->setChecked(false);
            return;
        }
        // The question ended the recording: the navigation session is recorded as well, into
        // the planning that is now current, as after a load.
        if (mode_ != Constants::TestMode && recorder_)
            startRecordPlayback();
    }
    // Key "SerialPort" of group "Morvanta": "COM1" (the first serial device) when missing.
    const Vexa::IniFileManager ini(Platform::applicationPath("Morvanta.ini"), Vexa::IniFileManager::ReadOnly);
    // The search takes seconds with nothing on the port: a job under the progress dialog.
    Vexa::CameraSearchJob search(ini.getValue("Morvanta", "SerialPort", "COM1"));
    {
        AlgorithmProgressDialog progress(&search, QString(), 0, this);
        progress.exec();
        if (const std::exception_ptr failure = progress.getException())
            std::rethrow_exception(failure);
    }
    const std::shared_ptr<Vexa::NavigationCamera> camera = search.getCamera();
    if (!camera || !navigation_) {
        navigationButton_->setChecked(false);
        showError("Morvanta", tr("Error initializing navigation camera."));
        return;
    }
    usedTrackers_ = navigation_->getUsedTracker();
    camera_ = camera;
    buttonHistory_.clear();
    // Set before anything may throw, so that the switch-off the button's spring-back causes
    // stops the camera again.
    camera_->setTracker(usedTrackers_);
    camera_->startReporting();
    navigation_->enableNavigation(camera_);
    buttonStack_->setCurrentWidget(navigationButtons_);
    miniDisplay_->setCurrentWidget(navigationPages_);
    hideAndShowViews(false);
    start();
}
VEXA_RETHROW

void MainWindow::stopNavigation()
try {
    if (!camera_)
        return;
    stop(); // waits for a running tick
    const auto camera = std::move(camera_);
    usedTrackers_.clear();
    // A camera failing to stop still leaves navigation off and the planning layout back.
    std::exception_ptr failure;
    try {
        camera->stopReporting();
    } catch (...) {
        failure = std::current_exception();
    }
    if (navigation_)
        navigation_->disableNavigation(); // stores the treatment log
    buttonStack_->setCurrentWidget(planningButtons_);
    miniDisplay_->setCurrentWidget(logo_);
    hideAndShowViews(true);
    if (failure)
        std::rethrow_exception(failure);
}
VEXA_RETHROW

void MainWindow::onTimeExecution()
{
    inNavigationTick = true;
    struct TickEnd
    {
        ~TickEnd() { inNavigationTick = false; }
    } tickEnd;
    try {
        navigation_->setTrackerData(Vexa::collectTrackerData(*camera_, usedTrackers_));
    } catch (const std::exception& e) {
        // Never ends the process: the user is told and navigation goes off in the GUI thread.
        Vexa::ExceptionStack::getInstance()->push(__PRETTY_FUNCTION__, __FILE__, __LINE__);
        Vexa::TimerBase::stop();
        const QString text = QString::fromLocal8Bit(e.what());
        QMetaObject::invokeMethod(
            this,
            [this, text] {
                switchNavigationOff();
                showError("Morvanta", text);
            },
            Qt::QueuedConnection);
    }
}

void MainWindow::evaluateSpaceballButtons(Quorvane::Application::SpaceballButton button)
try {
    if (button == Quorvane::Application::Button11) {
        makeScreenshot();
        return;
    }
    if (button == Quorvane::Application::Button12) {
        toggleVideoCapture();
        return;
    }
    if (!camera_)
        return;
    buttonHistory_.push_back(int(button));
    if (buttonHistory_.size() > std::size(calibrationSequence))
        buttonHistory_.erase(buttonHistory_.begin());
    if (std::equal(buttonHistory_.begin(), buttonHistory_.end(), std::begin(calibrationSequence),
                   std::end(calibrationSequence))
        && navigation_)
        navigation_->enforceCalibration();
}
VEXA_RETHROW

void MainWindow::makeScreenshot()
try {
    const QImage picture = VideoCapture::shownPicture(*this);
    QString error;
    try {
        images_->saveScreenshot(picture);
    } catch (const std::exception& e) {
        error = QString::fromLocal8Bit(e.what());
    }
    // The shutter sounds only for a picture that is on the disk.
    if (error.isEmpty())
        Platform::playSound(Platform::applicationPath("Data/Sounds/Screenshot.wav"));
    else
        showError(tr("Screenshot error"), tr("The screenshot could not be saved: %1").arg(error));
}
VEXA_RETHROW

void MainWindow::toggleVideoCapture()
try {
    if (!video_)
        return;
    if (video_->getState() == VideoCapture::Idle) {
        QString error;
        try {
            const QString file = QString::fromStdString(images_->reserveFile(".avi"));
            if (!video_->setFileName(file) || !video_->start()) {
                error = video_->errorText().isEmpty() ? tr("%1 cannot be written.").arg(file) : video_->errorText();
                if (video_->files().isEmpty())
                    images_->discard(file.toStdString());
            }
        } catch (const std::exception& e) {
            error = QString::fromLocal8Bit(e.what());
        }
        if (!error.isEmpty())
            showError(tr("Video error"), tr("The screen video could not be started: %1").arg(error));
    } else if (video_->getState() == VideoCapture::Capturing) {
        if (!video_->stop())
            reportVideoFailure();
    }
    model_->setCapturing(video_->getState() == VideoCapture::Capturing);
    model_->notify();
}
VEXA_RETHROW

void MainWindow::stopVideoCapture()
{
    if (video_ && video_->getState() != VideoCapture::Idle) {
        const bool ok = video_->stop();
        model_->setCapturing(false);
        if (!ok)
            reportVideoFailure();
    }
}

void MainWindow::reportVideoFailure()
{
    const QStringList kept = video_->files();
    const QString what = kept.isEmpty() ? tr("Nothing of it could be kept.")
                                        : tr("What was recorded until then is kept in %1.").arg(kept.join(", "));
    showError(tr("Video error"), tr("The screen video was stopped: %1\n%2").arg(video_->errorText(), what));
}

void MainWindow::showError(const QString& caption, const QString& text)
{
    // Also in the debug output, where a run's messages can be read afterwards.
    Platform::outputDebugString((caption + ": " + text).toStdString() + "\n");
    MessageDialog dialog(nullptr, caption, text, MessageDialog::Ok);
    dialog.exec();
}

void MainWindow::beginEarlierSessions()
{
    startWalk_->start();
    if (!startWalk_->isRunning())
        return;
    // What the walk does, while it goes on, beside the status.
    startWalkBar_ = new QWidget(statusBar());
    startWalkBar_->setObjectName("StartWalkBar");
    auto* row = new QHBoxLayout(startWalkBar_);
    row->setContentsMargins(0, 0, 0, 0);
    auto* label = new QLabel(QString::fromStdString(startWalk_->description()), startWalkBar_);
    label->setObjectName("StartWalkText");
    auto* bar = new QProgressBar(startWalkBar_);
    bar->setObjectName("StartWalkProgress");
    bar->setRange(0, 1000);
    bar->setTextVisible(false);
    bar->setFixedWidth(200);
    row->addWidget(label);
    row->addWidget(bar);
    statusBar()->addPermanentWidget(startWalkBar_);
    auto* poll = new QTimer(startWalkBar_);
    connect(poll, &QTimer::timeout, startWalkBar_, [this, label, bar] {
        label->setText(QString::fromStdString(startWalk_->description()));
        bar->setValue(int(startWalk_->part() * 1000.0));
    });
    poll->start(100);
}

bool MainWindow::waitForEarlierSessions(const std::string& folder)
{
    if (startWalk_->completed() && !startWalk_->isRunning())
        return true;
    // What is through already needs no dialog.
    const std::atomic<bool> now{true};
    if (startWalk_->wait(folder, &now))
        return true;
    if (ending_ || quitAfterWait_)
        return false;
    StartWalk::WaitJob job(*startWalk_, folder);
    showWait(job);
    return !job.wasCancelled() && startWalk_->wait(folder, &now);
}

void MainWindow::showWait(Vexa::IAlgorithmProgressState& job)
{
    AlgorithmProgressDialog progress(&job, QString(), 0, this);
    progress.setWindowTitle(tr("Waiting for a patient folder"));
    // The window's own Ctrl+W does not reach it behind the box.
    auto* quit = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_W), &progress);
    connect(quit, &QShortcut::activated, &progress, [this, &job] {
        quitAfterWait_ = true;
        job.cancel();
    });
    Vexa::IAlgorithmProgressState* const outer = std::exchange(waitShown_, &job);
    progress.exec();
    waitShown_ = outer;
    // The quit comes once the flow that waited has given up: from the window's own loop, never
    // from within the box's.
    if (quitAfterWait_ && !outer)
        QTimer::singleShot(0, this, [this] {
            quitAfterWait_ = false;
            if (!ending_)
                saveData();
        });
}

std::string MainWindow::patientFolderOf(const std::string& path) const
{
    const std::filesystem::path plain = std::filesystem::path(path).lexically_normal();
    for (const std::string& folder : settings_->getPatientPaths()) {
        const std::filesystem::path relative = plain.lexically_relative(std::filesystem::path(folder).lexically_normal());
        if (!relative.empty() && *relative.begin() != "..")
            return folder;
    }
    return path;
}

bool MainWindow::callOnFolder(const std::string& path, const std::string& doing, std::function<void()> work)
{
    if (ending_ || quitAfterWait_)
        return false;
    // A call on that folder still out says it has not answered since: no second wait behind it.
    if (knownSilent(path)) {
        Platform::outputDebugString("the patient folder " + patientFolderOf(path) + " has not answered since a wait for it was left (" +
                                    doing + ")\n");
        return false;
    }
    FolderCall call(patientFolderOf(path), doing, std::move(work));
    // A folder that answers shows no box: the step looks as it always did.
    if (!call.returnedWithin(std::chrono::milliseconds(300))) {
        showWait(call);
        if (!call.returned()) {
            leftCalls_.emplace_back(call.folder(), call.call());
            Platform::outputDebugString("the patient folder " + call.folder() + " did not answer (" + doing +
                                        "): the wait for it was left\n");
            return false;
        }
    }
    call.rethrow();
    return true;
}

bool MainWindow::knownSilent(const std::string& path)
{
    leftCalls_.erase(std::remove_if(leftCalls_.begin(), leftCalls_.end(),
                                    [](const auto& left) { return left.second->returned(); }),
                     leftCalls_.end());
    const std::string folder = patientFolderOf(path);
    return std::any_of(leftCalls_.begin(), leftCalls_.end(), [&](const auto& left) { return left.first == folder; });
}

void MainWindow::earlierSessionsWalked(const StartWalk::Result& result)
{
    delete startWalkBar_;
    startWalkBar_ = nullptr;
    const StartRecovery::Report& report = result.report;
    // A setting that names no folder is what the user must mend; told at every start.
    QStringList noFolders;
    for (const std::string& path : report.noFolders) {
        noFolders << tr("The setting PatientPath in Morvanta.ini names no folder: %1").arg(QString::fromStdString(path));
        Platform::outputDebugString(noFolders.back().toStdString() + "\n");
    }
    // Everything on standard error, what the user must know marked as such.
    const QString caption = tr("Earlier sessions");
    const std::set<std::string> toTell(report.toTell.begin(), report.toTell.end());
    for (const std::string& line : report.lines)
        if (!toTell.count(line))
            Platform::outputDebugString(line + "\n");
    for (const std::string& item : report.toTell)
        Platform::outputDebugString(caption.toStdString() + ": " + item + "\n");
    Platform::outputDebugString("the patient folders were looked through at this start: " +
                                std::to_string(result.plannings) + " plannings\n");
    // A test run has nobody to close the box, and its replay needs the window the box would take.
    const QStringList told = mode_ == Constants::TestMode ? QStringList() : notToldBefore(report.toTell);
    if (mode_ != Constants::TestMode && (!told.isEmpty() || !noFolders.isEmpty()))
        QTimer::singleShot(0, this, [caption, told, noFolders] {
            if (!noFolders.isEmpty()) {
                MessageDialog dialog(nullptr, tr("Patient folder"), noFolders.join("\n\n"), MessageDialog::Ok);
                dialog.exec();
            }
            if (!told.isEmpty()) {
                MessageDialog dialog(nullptr, caption, told.join("\n\n"), MessageDialog::Ok);
                dialog.exec();
            }
        });
    emit earlierSessionsFinished();
}

QStringList MainWindow::notToldBefore(const std::vector<std::string>& items)
{
    // What the last start told, one digest a line: a thing is told again only once it changed
    // (or went and came back).
    const std::filesystem::path memory = Platform::applicationPath(".earlier-sessions-told");
    const FolderHandle folder = FolderHandle::open(memory.parent_path().string(), true);
    const std::string name = memory.filename().string();
    // Read without ever blocking (a pipe put there); what is no file of the program's is left as
    // it is, and everything is told again at every start.
    const auto kind = folder ? folder.kind(name) : Answer<FolderHandle::Kind>(Failure{folder.error()});
    const bool isMemory = kind.ok() && (*kind == FolderHandle::Kind::file || *kind == FolderHandle::Kind::none);
    const auto text = isMemory ? folder.read(name) : Answer<std::optional<std::string>>(std::nullopt);
    if (!kind.ok() || !text.ok())
        Platform::outputDebugString(memory.string() + " could not be read (" +
                                    std::strerror(kind.ok() ? text.error() : kind.error()) + ")\n");
    else if (!isMemory)
        Platform::outputDebugString(memory.string() + " is not a regular file: it is left as it is, and what a "
                                    "start has to tell is told at every start\n");
    QSet<QByteArray> before;
    if (text.ok() && *text)
        for (const QByteArray& line : QByteArray::fromStdString(**text).split('\n'))
            before.insert(line.trimmed());
    QStringList fresh;
    QByteArray now;
    for (const std::string& item : items) {
        const QByteArray digest =
            QCryptographicHash::hash(QByteArray::fromStdString(item), QCryptographicHash::Sha256).toHex();
        if (!before.contains(digest))
            fresh << QString::fromStdString(item);
        now += digest + '\n';
    }
    // Not remembered, it is told again next time: better than never.
    if (const int error = isMemory ? folder.writeWhole(name, now.toStdString()).error() : 0)
        Platform::outputDebugString(Vexa::AtomicFile::failureText(memory.string(), error) + "\n");
    return fresh;
}

std::string MainWindow::firstPatientPath() const
{
    const auto paths = settings_->getPatientPaths();
    return paths.empty() ? std::string() : paths.front();
}

QString MainWindow::recordingFileName() const
{
    return recordingFile_ ? recordingFile_->fileName() : QString();
}

// ---- planning flows ----

void MainWindow::loadData()
try {
    bool recordingEnded = false;
    if (settings_->getPlanningState() != 0) {
        if (!requestPlanningSave(tr("New planning\nwithout save")))
            return;
        recordingEnded = recorder_ && mode_ != Constants::TestMode;
    }
    LoadDialog dialog(this);
    if (dialog.exec() != 1) {
        // The planning goes on: so does the recording the save question ended.
        if (recordingEnded)
            startRecordPlayback();
        return;
    }
    model_->clear();
    settings_->reset();
    sessionRecordings_.clear();
    model_->resetAll();
    model_->notify();
    if (dialog.getResult() == 0)
        importPatientData();
    else if (dialog.getResult() == 1)
        choosePlanning();
}
VEXA_RETHROW

void MainWindow::importPatientData()
try {
    Vexa::DicomImportDialog dialog(this, &dicomManager_);
    dialog.setBasePath(settings_->getCdpath());
    if (dialog.exec() != 1)
        return;
    try {
        importVolumeData(dialog.getFileNamesOfSelectedStudySet());
    } catch (const std::exception&) {
        QMessageBox::critical(this, tr("Error"), tr("Error importing patient data!"));
    }
    startRecordPlayback();
}
VEXA_RETHROW

bool MainWindow::importVolumeData(const std::vector<std::string>& files)
try {
    DicomImport job(files, model_, settings_, dicomManager_);
    AlgorithmProgressDialog progress(&job, QString(), 0, nullptr);
    progress.exec();
    if (!job.getErrorMessage().empty()) {
        showError(tr("Importing error"), QString::fromStdString(job.getErrorMessage()));
        return false;
    }
    model_->clearChangedState();
    model_->setStateAndUpdate(2);
    // Every observer, the button bar among them, shows the curve state the import ends in.
    model_->notify();
    return true;
}
VEXA_RETHROW

void MainWindow::choosePlanning()
try {
    // Each patient folder is listed once the start's walk is through it: a folder that does not
    // answer holds up only its own plannings, and the dialog stays the user's.
    LoadPlanningDialog dialog(this, &dicomManager_);
    StartWalk& walk = *startWalk_;
    dialog.setFolderWait([&walk](const std::string& folder, const std::atomic<bool>* cancelled) {
        return walk.wait(folder, cancelled);
    }, [&walk] { walk.wake(); });
    dialog.setBasePaths(settings_->getPatientPaths());
    if (dialog.exec() != 1)
        return;
    try {
        const std::string file = dialog.getSelectedPlanningFileName();
        // The planning's file and its series' header are read off the window's thread, by
        // importers of the call's own: a folder that stops answering holds only that call.
        const bool read = callOnFolder(file, "Reading the planning chosen", [file] {
            const Vexa::IniFileManager ini(file, Vexa::IniFileManager::ReadOnly);
            const Vexa::Version version(ini.getValue("Planningdata", "version", std::string()));
            const std::string group = version >= Vexa::Version(1, 9, 0) ? "ImageData" : "Planningdata";
            Vexa::DicomIOManager headers;
            headers.insertImporter(new Vexa::UniversalImporter());
            headers.insertImporter(new Vexa::DVT9000Importer());
            headers.readInformation(ini.getPath() + ini.getValue(group, "dicomFile0", std::string()));
        });
        // Left while the folder did not answer: nothing is loaded, as when the list is cancelled.
        if (!read)
            return;
        loadPlanning(file);
    } catch (const std::exception&) {
        QMessageBox::critical(this, tr("Error"), tr("Error loading planning data!"));
    }
    startRecordPlayback();
}
VEXA_RETHROW

bool MainWindow::loadPlanning(const std::string& planningFile)
try {
    if (!waitForEarlierSessions(std::filesystem::path(planningFile).parent_path().string()))
        return false;
    model_->setStateAndUpdate(1);
    PlanningReader job(planningFile, model_, settings_, dicomManager_);
    AlgorithmProgressDialog progress(&job, QString(), 0, nullptr);
    progress.exec();
    const bool ok = job.getErrorMessage().empty();
    if (!ok)
        showError("Loading error", QString::fromStdString(job.getErrorMessage()));
    model_->notify();
    if (!job.hasDeterminedJaw())
        model_->clearChangedState();
    return ok;
}
VEXA_RETHROW

void MainWindow::closeRecordingFile()
{
    if (recordingFile_ && recorder_ && recorder_->holdsDevice()) {
        // The recorder's writer is still in a call on it: the file is left to the process's end.
        [[maybe_unused]] Vexa::EncFile* left = recordingFile_.release();
        return;
    }
    if (recordingFile_) {
        settleRecordingFile();
        recordingFile_->close();
        recordingFile_.reset();
    }
}

void MainWindow::endRecording(bool programEnds)
{
    ending_ = ending_ || programEnds;
    if (!recorder_)
        return;
    settleRecordingFile();
    recorder_->endRecording();
}

bool MainWindow::settleRecordingFile()
{
    if (!recordingFile_ || !recordingFile_->isOpen() || !(recordingFile_->openMode() & QIODevice::WriteOnly) ||
        recordingFile_->handle() < 0)
        return true;
    const int fd = recordingFile_->handle();
    const std::string file = recordingFile_->fileName().toStdString();
    // A descriptor of the call's own: the file's may be closed while the call is still out.
    const int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (own < 0)
        return true;
    // A look by the name as well: a server that stopped answering holds both.
    const auto sync = [own, file] {
        struct stat status;
        [[maybe_unused]] const int looked = ::stat(file.c_str(), &status);
        [[maybe_unused]] const int synced = ::fsync(own);
        ::close(own);
    };
    bool answered = false;
    if (ending_ || quitAfterWait_) {
        // Nobody may be there to cancel a box: a moment is all the end gets.
        FolderCall call(patientFolderOf(file), std::string(), sync);
        answered = call.returnedWithin(std::chrono::seconds(2));
        if (!answered)
            leftCalls_.emplace_back(call.folder(), call.call());
    } else
        answered = callOnFolder(file, "Ending the recording of this session", sync);
    if (answered)
        return true;
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0)
        return false;
    // dup3 puts /dev/null in the descriptor's place before it lets go of the old file, which is
    // what may hang (its last data for the server): the swap is seen in /proc, not waited for.
    FolderCall swap(patientFolderOf(file), std::string(), [null, fd] {
        [[maybe_unused]] const int swapped = ::dup3(null, fd, O_CLOEXEC);
        ::close(null);
    });
    swap.begin();
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    for (int i = 0; i < 500 && !swap.returnedWithin(std::chrono::milliseconds(10)); ++i) {
        char target[32] = {};
        if (::readlink(link.c_str(), target, sizeof target - 1) > 0 && std::strcmp(target, "/dev/null") == 0)
            break;
    }
    if (!swap.returned())
        leftCalls_.emplace_back(swap.folder(), swap.call());
    cutRecording_ = QString::fromStdString(file);
    Platform::outputDebugString("the recording " + file + " ends where it stands, without its last lines: " +
                                patientFolderOf(file) + " did not answer\n");
    return false;
}

void MainWindow::startRecordPlayback()
try {
    if (mode_ == Constants::TestMode || !recorder_ || ending_ || quitAfterWait_)
        return;
    const bool playback = recorder_->mode() == 2;
    QString file;
    if (playback) {
        // A script plays once per run, and only one that exists. Its name is taken as given,
        // relative to the working folder, as in a test run.
        if (playbackStarted_)
            return;
        file = recorder_->scriptFile();
        if (!QFileInfo(file).isFile()) {
            showError(tr("Playback error"), tr("The script %1 does not exist.").arg(file));
            return;
        }
        QMessageBox::information(this, QString(), "playback mode starting");
    }
    // A recording goes into the patient folder's MorvantaStudyDummy/System, or, where this user
    // may not make it there (another member's folder the group may not write), into the program's
    // own, as without a patient folder. The file is made here, so that the step that failed and
    // its cause can be told; the unit writes into the file made, never into what may stand at
    // its name later.
    QStringList failures;
    int made = -1;
    if (!playback) {
        // What making the file found; a file made after its wait was left is closed with it.
        struct Made
        {
            int fd = -1, error = 0;
            bool notMade = false;
            std::string name;
            ~Made()
            {
                if (fd >= 0)
                    ::close(fd);
            }
        };
        const auto makeIn = [](const std::string& folder, const std::shared_ptr<Made>& made) {
            std::error_code notMade;
            std::filesystem::create_directories(folder, notMade);
            made->notMade = bool(notMade);
            made->error = notMade.value();
            // A disk that cannot take the recording's first blocks is no place for it: the file
            // would stay empty while the session is said to be recorded there.
            if (!notMade)
                made->fd = Utilities::createRecordFile(folder, ".log", made->name, made->error, 1 << 16);
        };
        const std::string own = Platform::applicationFolder() + "/MorvantaStudyDummy/System";
        std::vector<std::string> places{own};
        if (!firstPatientPath().empty() && firstPatientPath() + "/MorvantaStudyDummy/System" != places.front())
            places.insert(places.begin(), firstPatientPath() + "/MorvantaStudyDummy/System");
        for (const std::string& folder : places) {
            auto result = std::make_shared<Made>();
            // The patient folder's place is made off the window's thread.
            bool answered = true;
            if (folder == own)
                makeIn(folder, result);
            else
                answered = callOnFolder(folder, "Making the file that records this session",
                                        [makeIn, folder, result] { makeIn(folder, result); });
            if (ending_ || quitAfterWait_)
                return;
            const bool full = result->fd < 0 && (result->error == ENOSPC || result->error == EDQUOT);
            if (result->fd >= 0) {
                made = std::exchange(result->fd, -1);
                file = QString::fromStdString(result->name);
                break;
            }
            const QString cause = QString::fromLocal8Bit(std::strerror(result->error));
            failures << QString::fromStdString(folder)
                     << (!answered ? tr("the patient folder does not answer")
                         : result->notMade ? tr("the folder cannot be made (%1)").arg(cause)
                         : full ? tr("the disk cannot take it (%1)").arg(cause)
                                : tr("no file can be created in that folder (%1)").arg(cause));
        }
    }
    // The running recording ends ("</Events>") while its file still exists.
    if (recordingFile_)
        endRecording();
    closeRecordingFile();
    if (playback) {
        // Probe: a script is only read, so it need not be writable; one that cannot be opened
        // plays nothing.
        QFile probe(file);
        if (!probe.open(QIODevice::ReadOnly))
            return;
    } else if (!failures.isEmpty()) {
        // Each thing told once a run, and while nothing is being recorded: no recording holds
        // the box, so none waits for it when replayed.
        QString text = tr("This session cannot be recorded in %1: %2.").arg(failures[0], failures[1]);
        if (failures.size() > 2)
            text += "\n" + tr("Nor can it be recorded beside the program, in %1: %2.").arg(failures[2], failures[3]);
        text += "\n" + (file.isEmpty() ? tr("Nothing of it is recorded.")
                                       : tr("It is recorded beside the program instead, in %1.").arg(QFileInfo(file).path()));
        if (!recordingPlacesTold_.contains(text)) {
            recordingPlacesTold_ << text;
            showError(tr("Session recording"), text);
        }
    }
    if (file.isEmpty())
        return;
    recordingFile_ = std::make_unique<Vexa::EncFile>(file, Vexa::Rijndael(128, Quorvane::logFileKey()));
    if (made >= 0)
        recordingFile_->adopt(made);
    if (!playback)
        sessionRecordings_ << file;
    playbackStarted_ = playbackStarted_ || playback;
    recorder_->startWithDevice(this, recordingFile_.get());
}
VEXA_RETHROW

bool MainWindow::requestPlanningSave(const QString& withoutSaveLabel)
try {
    SaveDialog dialog(this, model_, withoutSaveLabel);
    if (dialog.exec() != 1)
        return false;
    // No jaw chosen keeps the jaw the planning has.
    if (dialog.getJaw() != 0)
        model_->setJaw(dialog.getJaw());
    if (mode_ != Constants::TestMode && recorder_)
        endRecording();
    const int choice = dialog.getResult();
    bool saved = true;
    if (choice == 0 || choice == 1) {
        // A running video is completed first: it goes into the planning with the other pictures.
        stopVideoCapture();
        saved = savePlanning(choice == 0);
        if (saved)
            model_->clearChangedState();
        else if (mode_ != Constants::TestMode && recorder_)
            // The planning stays open, and so the program goes on being recorded.
            startRecordPlayback();
    }
    // The jaw and a saved planning decide whether navigation can start: the Navigation button
    // and every other observer show it at once, not at the next change.
    model_->notify();
    return saved;
}
VEXA_RETHROW

bool MainWindow::savePlanning(bool overwrite)
try {
    // What earlier sessions left in the patient folder saved into is finished first; a patient
    // folder that does not answer holds up only saves into it.
    const std::string loadedFile = settings_->getPlanningFile();
    const std::string into = overwrite && !loadedFile.empty()
                                 ? std::filesystem::path(loadedFile).parent_path().parent_path().string()
                                 : firstPatientPath();
    // A wait left: the planning stays open as it was, and the user is told it is not saved.
    const auto notSaved = [this](const std::string& folder) {
        if (!ending_ && !quitAfterWait_)
            showError(tr("Not saved"),
                      (settings_->getPlanningState() == 1 ? tr("The imported series is not saved as a planning")
                                                          : tr("The planning is not saved"))
                          + tr(": the patient folder %1 did not answer, and the wait for it was left. It stays open as "
                               "it was.").arg(QString::fromStdString(patientFolderOf(folder))));
        return false;
    };
    if (!waitForEarlierSessions(into.empty() ? std::string("/") : into))
        return notSaved(into);
    // Where the planning loaded is now, looked at off the window's thread. Saved as new, it is
    // only named should the save fail: it is not waited for, the place it was loaded from named
    // where it does not answer at once.
    const auto where = std::make_shared<std::pair<std::string, std::string>>(); // now, loaded
    const auto look = [snapshot = settings_->snapshot(), where] {
        const LoadedPlanning loaded(*snapshot);
        *where = {loaded.folder(), loaded.loadedFolder()};
    };
    std::string parent, unchanged;
    if (overwrite) {
        // The writer builds the new planning beside the one loaded, where that is now, and only
        // then replaces it.
        if (!callOnFolder(loadedFile, "Looking where the planning loaded is now", look))
            return notSaved(loadedFile);
        const std::string folder = where->first.empty() ? where->second : where->first;
        parent = std::filesystem::path(folder).parent_path().string();
        unchanged = where->first;
    } else if (!loadedFile.empty()) {
        FolderCall call(patientFolderOf(loadedFile), std::string(), look);
        if (call.returnedWithin(std::chrono::seconds(1))) {
            call.rethrow();
            unchanged = where->first;
        } else {
            leftCalls_.emplace_back(call.folder(), call.call());
            unchanged = std::filesystem::absolute(loadedFile).lexically_normal().parent_path().string();
        }
    }
    if (!overwrite) {
        parent = firstPatientPath();
        if (parent.empty()) {
            showError("Saving error", tr("No patient folder is set (\"PatientPath\" in Morvanta.ini); "
                                         "the planning cannot be saved as new."));
            return false;
        }
    }
    // The pictures this session took and its recordings since the planning was loaded (the
    // running one closed, so that the copy holds all of it) go in with the planning, before
    // anyone can list it: no file is put into a planning folder after it is published.
    std::vector<std::tuple<std::string, std::string, bool>> carried;
    for (const std::string& picture : images_->ownFiles())
        carried.emplace_back(picture, "images/" + std::filesystem::path(picture).filename().string(), true);
    QStringList recordings = sessionRecordings_;
    if (recordingFile_ && !recordings.contains(recordingFile_->fileName()))
        recordings << recordingFile_->fileName(); // a script being played
    // The folder saved into and the recordings (in the first patient folder, or beside the
    // program) are looked at off the window's thread before the save begins.
    const auto present = std::make_shared<QStringList>();
    if (!callOnFolder(parent, "Looking at the patient folder saved into and the recordings of this session",
                      [parent, recordings, present] {
                          struct stat status;
                          [[maybe_unused]] const int looked = ::stat(parent.c_str(), &status);
                          for (const QString& recording : recordings)
                              if (QFileInfo::exists(recording))
                                  *present << recording;
                      }))
        return notSaved(parent);
    closeRecordingFile();
    for (const QString& recording : *present)
        carried.emplace_back(recording.toStdString(), "system/" + QFileInfo(recording).fileName().toStdString(), false);
    // The folder is reserved as an empty one, so that another instance saving in the same
    // millisecond takes the next name; the planning appears in it when it is whole, and a save
    // that fails leaves none behind.
    ReservingSave job(parent, unchanged,
                      [model = model_, settings = settings_, overwrite, carried](const std::string& file) {
                          auto writer = std::make_unique<PlanningWriter>(file, model, settings, overwrite);
                          for (const auto& [source, into, move] : carried)
                              writer->carryIn(source, into, move);
                          return writer;
                      });
    AlgorithmProgressDialog progress(&job, QString(), 0, nullptr);
    progress.exec();
    if (!job.errorMessage().empty()) {
        showError("Saving error", QString::fromStdString(job.errorMessage()));
        return false;
    }
    const PlanningWriter& writer = *job.writer();
    const std::string& file = job.file();
    // What stayed where it was is told; the planning is saved.
    const QString folder = QFileInfo(QString::fromStdString(file)).absolutePath();
    QStringList pictures, left;
    for (const auto& [source, reason] : writer.getNotCarried()) {
        const QString name = QString::fromStdString(source);
        if (recordings.contains(name))
            left << tr("The recording could not be copied into %1 (%2); it stays in %3.")
                        .arg(folder + "/system", QString::fromLocal8Bit(reason.c_str()), name);
        else
            pictures << QFileInfo(name).fileName() + ": " + QString::fromLocal8Bit(reason.c_str());
    }
    sessionRecordings_.clear();
    if (!pictures.isEmpty())
        showError(tr("Pictures not moved"),
                  tr("The planning was saved, but these pictures could not be moved into %1/images and stay in %2:\n%3")
                      .arg(folder, QString::fromStdString(images_->path()), pictures.join("\n")));
    for (const std::string& note : writer.getNotes())
        left << QString::fromStdString(note);
    if (!left.isEmpty())
        showError("Saving error", tr("The planning is saved in %1.").arg(folder) + "\n" + left.join("\n"));
    if (!writer.getReplacement().empty())
        showError(tr("Saved as new planning"),
                  tr("The planning was saved again meanwhile, by another instance of the program: it is now in %1.\n"
                     "This planning is saved beside it, in %2.")
                      .arg(QString::fromStdString(writer.getReplacement()), folder));
    return true;
}
catch (const std::exception& e) {
    // Whatever fails around the job is a failed save, not a crash.
    Vexa::ExceptionStack::getInstance()->push(__PRETTY_FUNCTION__, __FILE__, __LINE__);
    // Named where it was loaded from: no file call here.
    const std::string loaded = settings_->getPlanningFile();
    const std::string unchanged =
        loaded.empty() ? std::string() : std::filesystem::absolute(loaded).lexically_normal().parent_path().string();
    showError("Saving error", QString::fromLocal8Bit(PlanningWriter::failureText(e.what(), unchanged).c_str()));
    return false;
}

void MainWindow::saveData()
try {
    // Navigation off first: it stores the treatment log before the save question and the close.
    switchNavigationOff();
    stopVideoCapture();
    if (settings_->getPlanningState() != 0 && !requestPlanningSave(tr("Quit\nwithout save")))
        return;
    close();
}
VEXA_RETHROW
