#pragma once
// The shell's answers to the planning commands: message dialogs, the progress dialog, the implant
// selection dialog. Installed at start-up.
#include "planning/model/IPlanningUi.h"

class ShellPlanningUi : public IPlanningUi
{
public:
    bool askYesNo(const QString& caption, const QString& text) override;
    bool askBeforeDeleting(QWidget* view, const QString& caption, const QString& text) override;
    void showMessage(const QString& caption, const QString& text) override;
    void showNotice(const QString& caption, const QString& text, bool failure) override;
    bool runJob(Vexa::IAlgorithmProgressState& job, const QString& label) override;
    std::optional<ImplantChoice> chooseImplant(const std::string& databaseFolder, bool mandible) override;
    std::optional<int> chooseSegmentationThreshold(std::shared_ptr<const Vexa::VolumeData<unsigned short>> volume,
                                                   QWidget* parent, int initialThreshold) override;
};
