#include "tapewright/RecorderDialog.h"

#include "tapewright/KeyButton.h"
#include "tapewright/TapewrightSettings.h"

#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWhatsThis>

namespace {

// The built-in image of each action, and of "What's This" last.
constexpr QStyle::StandardPixmap images[TapewrightSettings::actionCount + 1] = {
    QStyle::SP_MediaStop,        QStyle::SP_MessageBoxInformation, QStyle::SP_FileDialogContentsView,
    QStyle::SP_FileDialogStart,  QStyle::SP_ComputerIcon,          QStyle::SP_DesktopIcon,
    QStyle::SP_MediaPause,       QStyle::SP_BrowserReload,         QStyle::SP_CommandLink,
    QStyle::SP_TitleBarContextHelpButton};

constexpr Qt::ToolButtonStyle faces[] = {Qt::ToolButtonIconOnly, Qt::ToolButtonTextOnly, Qt::ToolButtonTextBesideIcon};

}

RecorderDialog::RecorderDialog(QWidget* parent, const char* name) : QDialog(parent)
{
    setObjectName(QString::fromLatin1(name));
    setModal(false);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    const auto& settings = TapewrightSettings::instance();
    const Qt::ToolButtonStyle face = faces[qBound(0, settings.recorderView(), 2)];
    const auto addButton = [&](int image, const QString& text) {
        auto* button = new QToolButton(this);
        button->setIcon(style()->standardIcon(images[image]));
        button->setText(text);
        button->setToolButtonStyle(face);
        button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        layout->addWidget(button);
        return button;
    };
    using Signal = void (RecorderDialog::*)();
    static constexpr Signal signals_[TapewrightSettings::actionCount] = {
        &RecorderDialog::stop,           &RecorderDialog::showMessageBox,   &RecorderDialog::showPropertyPicker,
        &RecorderDialog::includeScript,  &RecorderDialog::screenDumpDialog, &RecorderDialog::screenDumpWidget,
        &RecorderDialog::sleep,          &RecorderDialog::sleepAsLast,      &RecorderDialog::runExernalCommand};
    for (int action = 0; action < TapewrightSettings::actionCount; ++action) {
        const QString name = TapewrightSettings::actionName(action);
        const QString help = TapewrightSettings::actionWhatsThis(action);
        const QString key = settings.keyBinding(action) ? KeyButton::keyCodeText(settings.keyBinding(action)) : QString();
        QToolButton* button = addButton(action, name);
        if (!key.isEmpty()) {
            button->setWhatsThis(tr("<qt><p><center>%1 (%2)</center></p><p>%3</p></qt>").arg(name, key, help));
            button->setToolTip(tr("%1 (%2)").arg(name, key));
        } else {
            button->setWhatsThis(tr("<qt><p><center>%1</center></p>%2</qt>").arg(name, help));
            button->setToolTip(name);
        }
        connect(button, &QToolButton::clicked, this, signals_[action]);
    }
    connect(addButton(TapewrightSettings::actionCount, tr("What's This")), &QToolButton::clicked, this,
            &RecorderDialog::enterWhatsThisMode);
}

void RecorderDialog::enterWhatsThisMode() { QWhatsThis::enterWhatsThisMode(); }
