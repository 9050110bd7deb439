#pragma once
// The navigation display ("Target"): a stack of the four navigation pages that shows the one
// fitting the controller's state on every update (15 a second while navigating), and refreshes
// only that one while the stack is visible:
//   camera not running      -> message "Navigation camera\nis not responding!"
//   camera adjustment       -> AdjustWorkspaceView
//   drill registration      -> RegistrationView
//   no calibration on record-> message "Please calibrate\nthe instrument."
//   otherwise               -> TargetingView
// Nothing changes while navigation is off. Notifications from other threads are handed to
// the GUI thread; the stack detaches from the Model when it goes.
// Over whichever page shows, a strip at the bottom tells while the treatment log's journal has
// not taken its lines for some seconds (its folder on a file server does not answer): which
// folder, since when, that guidance goes on and the lines are kept. The page goes on being drawn.
#include "views/TimedView.h"

#include <QStackedWidget>
#include <memory>

class AdjustWorkspaceView;
class QLabel;
class MessageView;
class Model;
class NavigationController;
class RegistrationView;
class SnapshotDataSource;
class TargetingView;

class NavigationAdjustView : public QStackedWidget, public TimedView
{
public:
    NavigationAdjustView(std::shared_ptr<Model> model, std::shared_ptr<NavigationController> controller,
                         QWidget* parent, const char* name = nullptr);
    ~NavigationAdjustView() override;

    void update() override;
    std::shared_ptr<Model> getModel() const override { return model_; }

    Quorvane::IView* clone(QWidget* parent) const override;
    bool isEmpty() const override { return false; }
    bool isAvailableInPlanning() const override { return false; }
    bool isAvailableInNavigation() const override { return true; }
    void reset() override {}
    QSize sizeHint() const override { return QSize(-1, -1); }

    AdjustWorkspaceView* adjustPage() const { return adjust_; }
    TargetingView* targetingPage() const { return targeting_; }
    MessageView* messagePage() const { return message_; }
    RegistrationView* registrationPage() const { return registration_; }
    // The strip that tells of a journal whose folder does not answer; hidden otherwise.
    QLabel* journalNotice() const { return notice_; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void showJournalStall();
    void placeNotice();

    std::shared_ptr<Model> model_;
    std::shared_ptr<NavigationController> controller_;
    std::shared_ptr<SnapshotDataSource> source_; // the targeting page's; null without a Model
    AdjustWorkspaceView* adjust_;
    TargetingView* targeting_;
    MessageView* message_;
    RegistrationView* registration_;
    QLabel* notice_;
};
