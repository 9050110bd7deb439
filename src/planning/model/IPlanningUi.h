#pragma once
// What the planning commands ask of the user interface: questions, messages, jobs under a
// progress dialog, the implant choice and the segmentation threshold. The application shell
// installs its implementation at start-up; tests install their own.
#include <QString>
#include <memory>
#include <optional>
#include <string>

class Implant;
class QWidget;

namespace Vexa {
class IAlgorithmProgressState;
template<class T> class VolumeData;
}

class IPlanningUi
{
public:
    struct ImplantChoice
    {
        std::shared_ptr<Implant> implant;
        bool mandible = true; // the jaw chosen in the dialog
    };

    virtual ~IPlanningUi() = default;

    // A Yes/No question; true for Yes.
    virtual bool askYesNo(const QString& caption, const QString& text) = 0;
    // The question before something drawn in a view is deleted: Yes, No and Cancel, standing
    // over the view; true only for Yes.
    virtual bool askBeforeDeleting(QWidget* view, const QString& caption, const QString& text) = 0;
    // A message with an OK button.
    virtual void showMessage(const QString& caption, const QString& text) = 0;
    // A message that comes unasked (while navigating): it joins one of these still open rather
    // than opening another box over it. `failure` false: it tells of something done (a log made
    // from a killed program's journal), which an interface that counts failures leaves out.
    virtual void showNotice(const QString& caption, const QString& text, bool failure = true)
    {
        (void)failure;
        showMessage(caption, text);
    }
    // Runs the job under a modal progress dialog (label empty: the job's title); true when the
    // dialog ended accepted (the job completed), false when it failed or was cancelled.
    virtual bool runJob(Vexa::IAlgorithmProgressState& job, const QString& label) = 0;
    // The implant selection dialog on the implant database folder, preset to the mandible or
    // the maxilla; nothing when cancelled.
    virtual std::optional<ImplantChoice> chooseImplant(const std::string& databaseFolder, bool mandible) = 0;
    // The segmentation dialog on the volume with the initial threshold; nothing when rejected.
    virtual std::optional<int>
    chooseSegmentationThreshold(std::shared_ptr<const Vexa::VolumeData<unsigned short>> volume, QWidget* parent,
                                int initialThreshold) = 0;

    // The process-wide implementation (empty until one is installed).
    static void install(std::shared_ptr<IPlanningUi> ui);
    static std::shared_ptr<IPlanningUi> get();
    // The installed implementation; throws std::runtime_error when there is none.
    static std::shared_ptr<IPlanningUi> require();
};
