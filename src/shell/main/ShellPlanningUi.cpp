#include "shell/main/ShellPlanningUi.h"

#include "shell/dialogs/AlgorithmProgressDialog.h"
#include "shell/dialogs/HierachyImplantSelectionDialog.h"
#include "shell/dialogs/MessageDialog.h"
#include "shell/dialogs/NoticeBox.h"
#include "shell/segmentation/SegmentationDialog.h"

bool ShellPlanningUi::askYesNo(const QString& caption, const QString& text)
{
    MessageDialog dialog(nullptr, caption, text, MessageDialog::Yes | MessageDialog::No);
    return dialog.exec() == 1 && dialog.getResult() == MessageDialog::Yes;
}

bool ShellPlanningUi::askBeforeDeleting(QWidget* view, const QString& caption, const QString& text)
{
    MessageDialog dialog(view, caption, text, MessageDialog::Yes | MessageDialog::No | MessageDialog::Cancel);
    dialog.standOver(view);
    return dialog.exec() == 1 && dialog.getResult() == MessageDialog::Yes;
}

void ShellPlanningUi::showMessage(const QString& caption, const QString& text)
{
    MessageDialog dialog(nullptr, caption, text, MessageDialog::Ok);
    dialog.exec();
}

void ShellPlanningUi::showNotice(const QString& caption, const QString& text, bool)
{
    NoticeBox::show(caption, text);
}

bool ShellPlanningUi::runJob(Vexa::IAlgorithmProgressState& job, const QString& label)
{
    AlgorithmProgressDialog dialog(&job, label, 0, nullptr);
    return dialog.exec() == 1 && !dialog.getException();
}

std::optional<IPlanningUi::ImplantChoice> ShellPlanningUi::chooseImplant(const std::string& databaseFolder,
                                                                         bool mandible)
{
    HierachyImplantSelectionDialog dialog(QString::fromStdString(databaseFolder), mandible, nullptr);
    if (dialog.exec() != 1 || !dialog.getSelectedImplant())
        return std::nullopt;
    return ImplantChoice{dialog.getSelectedImplant(), dialog.isMandibleSelected()};
}

std::optional<int>
ShellPlanningUi::chooseSegmentationThreshold(std::shared_ptr<const Vexa::VolumeData<unsigned short>> volume,
                                             QWidget* parent, int initialThreshold)
{
    SegmentationDialog dialog(std::move(volume), parent, static_cast<unsigned short>(initialThreshold));
    if (dialog.exec() != 1)
        return std::nullopt;
    return dialog.getSegmentationThreshold();
}
