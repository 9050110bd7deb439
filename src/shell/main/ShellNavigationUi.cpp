#include "shell/main/ShellNavigationUi.h"

#include "platform/Sound.h"
#include "shell/dialogs/CalibrationAcceptanceDialog.h"
#include "shell/dialogs/JawSelectionDialog.h"
#include "shell/dialogs/NoticeBox.h"

ShellNavigationUi::~ShellNavigationUi()
{
    delete acceptance_.data();
}

int ShellNavigationUi::chooseJaw()
{
    JawSelectionDialog dialog(parent_);
    dialog.exec();
    return dialog.getResult() == 1 ? 1 : 0;
}

void ShellNavigationUi::showCalibrationQuality(std::shared_ptr<ICalibrationAcceptor> acceptor, const Accuracy& before,
                                               const Accuracy& during, const Accuracy& after)
{
    if (acceptance_ && acceptance_->isVisible())
        return;
    if (!acceptance_ || acceptor != acceptor_) {
        delete acceptance_.data();
        acceptor_ = std::move(acceptor);
        acceptance_ = new CalibrationAcceptanceDialog(acceptor_.get(), parent_);
    }
    acceptance_->showQuality(before, during, after);
}

void ShellNavigationUi::playSound(const std::string& wavFile)
{
    Platform::playSound(wavFile);
}

void ShellNavigationUi::showError(const std::string& text)
{
    // Over the navigation views, where a treatment log's failure may stand already.
    NoticeBox::show("Morvanta", QString::fromStdString(text));
}
