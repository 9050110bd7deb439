#pragma once
// The full-screen main window: owns the settings, the Model and the DICOM manager of a run,
// builds the button row, the main widget with its view frames, the mini display and the status
// bar, and hosts the flows that load, import and save plannings, screenshots and the 3D-mouse
// buttons, and switches between planning and navigation: while navigating, a 50 ms timer tick
// hands the tracker samples to the navigation controller.
#include "dicom/import/DicomIOManager.h"
#include "planning/model/Constants.h"
#include "shell/main/Application.h"
#include "shell/main/StartWalk.h"
#include "vexa/core/IObserver.h"
#include "vexa/core/TimerBase.h"

#include <QMainWindow>
#include <QStringList>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace Vexa {
class DetachableCall;
class EncFile;
class IAlgorithmProgressState;
class NavigationCamera;
class Tracker;
}
class IMorvantaComponent;
class IRecordPlayback;
class ImageFolder;
class MainWidget;
class Model;
class NavigationAdjustView;
class NavigationButtonView;
class NavigationController;
class PlanningButtonView;
class QStackedWidget;
class QToolButton;
class QVBoxLayout;
class Settings;
class StatusBarView;
class VideoCapture;

class MainWindow : public QMainWindow, public Vexa::IObserver, public Vexa::TimerBase
{
    Q_OBJECT

public:
    // recorder may be null (nothing is recorded or played).
    MainWindow(IRecordPlayback* recorder, Constants::ExecMode mode, QWidget* parent = nullptr);
    ~MainWindow() override;

    void update() override;
    void hideAndShowViews(bool planning);
    static QToolButton* createButton(QWidget* parent, const QString& picture, const QString& greyedPicture,
                                     const QString& text);
    Vexa::DicomIOManager& getDicomIOManager() { return dicomManager_; }

    std::shared_ptr<Model> getModel() const { return model_; }
    std::shared_ptr<Settings> getSettings() const { return settings_; }
    MainWidget* getMainWidget() const { return mainWidget_; }
    IMorvantaComponent& getComponent() const { return *component_; }
    const ImageFolder& getImageFolder() const { return *images_; }
    // The screen video recorder; null without capture support.
    VideoCapture* getVideoCapture() const { return video_.get(); }
    // The open recording file ("" when none).
    QString recordingFileName() const;

    // Flows (the slots below call them).
    void importPatientData();
    bool importVolumeData(const std::vector<std::string>& files);
    void choosePlanning();
    bool loadPlanning(const std::string& planningFile);
    bool requestPlanningSave(const QString& withoutSaveLabel);
    bool savePlanning(bool overwrite);
    // Waits, under a progress bar, for the start's walk of the patient folders, which finishes
    // what earlier sessions left there (it starts with the window's event loop): for its part
    // that `folder` needs (the patient folder that holds it), or, with none given, for all of it.
    // Whether it went through: not when the program is ending, nor when the user cancelled.
    bool waitForEarlierSessions(const std::string& folder = {});
    // Ends the running recording, its end written and its file closed, without the window's
    // thread waiting on a patient folder that does not answer (see `settleRecordingFile`).
    // `programEnds`: after the event loop, where no box can be answered any more.
    void endRecording(bool programEnds = false);

public slots:
    void loadData();
    void saveData();
    void enableNavigation(bool on);
    void evaluateSpaceballButtons(Quorvane::Application::SpaceballButton button);
    void makeScreenshot();
    void toggleVideoCapture();
    void logCurrentState();
    void about();

signals:
    // The start's walk went through and what it has to tell is told (or on its way, as a box).
    void earlierSessionsFinished();

public:
    bool isNavigating() const { return camera_ != nullptr; }
    // The 3D-mouse sequence that forces the handpiece calibration, oldest first.
    static constexpr int calibrationSequence[4] = {5, 1, 7, 2};

protected:
    void closeEvent(QCloseEvent* event) override;
    // Watches the application's dialogs closing (see `takeKeyboardBack`).
    bool eventFilter(QObject* watched, QEvent* event) override;
    // The tick, in the timer thread: the used trackers' samples to the navigation controller.
    void onTimeExecution() override;

private:
    void setupUsedDicomImporter();
    void setupButtons();
    void setupMainWidgetStack();
    void setupMiniDisplayArea();
    void setupStatusBar();
    void setupConnections();
    // Navigation on and off; they throw, enableNavigation catches.
    void startNavigation();
    void stopNavigation();
    // Springs the navigation button back (which switches off), or switches off directly.
    void switchNavigationOff();
    void startRecordPlayback();
    void closeRecordingFile();
    // Before the recording's file is written to its end and closed: its sync is made off the
    // window's thread and waited for as any call on a patient folder (with the box unless the
    // program is ending, then for a moment). Where it does not return, the recording is let go
    // as it stands: its descriptor is pointed at /dev/null, so that its end and its close write
    // nowhere and the window never waits on that folder. Whether the file answered.
    bool settleRecordingFile();
    // The patient folder of the settings that holds `path` (`path` itself where none does).
    std::string patientFolderOf(const std::string& path) const;
    // Runs `work`, file calls below the patient folder that holds `path`, off the window's thread
    // (FolderCall): returns at once when it returns within a moment, else waits for it under the
    // progress dialog, whose Cancel leaves it. Whether it returned; what it threw is thrown here.
    // Not made once the program is ending or the user asked to quit in a wait, nor while a call
    // left on that folder is still out.
    bool callOnFolder(const std::string& path, const std::string& doing, std::function<void()> work);
    // Whether a call on the patient folder that holds `path` was left while it did not answer and
    // has not returned since.
    bool knownSilent(const std::string& path);
    // Shows the wait for `job` under the progress dialog; Ctrl+W in it leaves the wait and then
    // quits as Ctrl+W does.
    void showWait(Vexa::IAlgorithmProgressState& job);
    void stopVideoCapture();
    // Tells the user that a screen video ended on an error, and what of it was kept.
    void reportVideoFailure();
    // The start's walk of the patient folders (StartWalk), begun once the window shows, with its
    // progress bar in the status bar.
    void beginEarlierSessions();
    // Once it went through: tells the user what must be known, once.
    void earlierSessionsWalked(const StartWalk::Result& result);
    // The items a start has to tell that the last start did not tell (remembered in the
    // application folder, where a file of the program's can be read and written).
    static QStringList notToldBefore(const std::vector<std::string>& items);
    // The first entry of "PatientPath": where new plannings and the recordings go.
    std::string firstPatientPath() const;
    // After a dialog closed: the modal dialog still open, or else this window, gets the keyboard.
    // Without a window manager nobody else gives it back, and the keys go to the root window.
    void takeKeyboardBack();
    void showError(const QString& caption, const QString& text);

    QWidget* central_ = nullptr;
    QVBoxLayout* mainLayout_ = nullptr;
    MainWidget* mainWidget_ = nullptr;
    QStackedWidget* miniDisplay_ = nullptr;
    QStackedWidget* buttonStack_ = nullptr;
    PlanningButtonView* planningButtons_ = nullptr;
    NavigationButtonView* navigationButtons_ = nullptr;
    QToolButton* navigationButton_ = nullptr;
    QToolButton* versionButton_ = nullptr;
    QWidget* logo_ = nullptr;
    NavigationAdjustView* navigationPages_ = nullptr;
    Vexa::DicomIOManager dicomManager_;
    std::shared_ptr<IMorvantaComponent> component_;
    std::shared_ptr<Settings> settings_;
    std::shared_ptr<Model> model_;
    StatusBarView* statusBarView_ = nullptr;
    IRecordPlayback* recorder_;
    Constants::ExecMode mode_;
    // Shared with the start's walk, which may outlive the window in a file call.
    std::shared_ptr<ImageFolder> images_;
    std::unique_ptr<StartWalk> startWalk_;
    QWidget* startWalkBar_ = nullptr;
    // The screen video recorder; null without capture support.
    std::unique_ptr<VideoCapture> video_;
    std::unique_ptr<Vexa::EncFile> recordingFile_;
    // Every recording of the session since the planning was loaded or last saved: the next save
    // takes them all, also those a failed save had closed.
    QStringList sessionRecordings_;
    // What was told of recordings that could not go where they belong: each once a run.
    QStringList recordingPlacesTold_;
    bool playbackStarted_ = false;
    std::shared_ptr<NavigationController> navigation_;
    // Set while navigating; the tick reads both, set before the timer starts, cleared after it stopped.
    std::shared_ptr<Vexa::NavigationCamera> camera_;
    std::vector<std::shared_ptr<Vexa::Tracker>> usedTrackers_;
    std::vector<int> buttonHistory_; // the last four logical buttons while navigating
    // The wait shown now, which closing the window ends; whether the window was closed (the
    // program ends: no file call on a patient folder is waited for any more); whether Ctrl+W was
    // pressed in a wait, and the quit it asks for is on its way.
    Vexa::IAlgorithmProgressState* waitShown_ = nullptr;
    bool ending_ = false;
    bool quitAfterWait_ = false;
    QString cutRecording_; // the recording file last cut short where its folder did not answer
    // Calls on patient folders left while they did not answer, with the folder each was made in;
    // let go of (and not waited for by the process's end) with the window.
    std::vector<std::pair<std::string, std::shared_ptr<Vexa::DetachableCall>>> leftCalls_;
};
