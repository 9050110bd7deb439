#include "shell/dialogs/AboutDialog.h"

#include "planning/model/Constants.h"
#include "platform/ApplicationFolder.h"
#include "shell/widgets/Fonts.h"
#include "shell/widgets/WindowFlags.h"
#include "vexa/core/Version.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QSpacerItem>
#include <QVBoxLayout>

namespace {

void whiteBackground(QLabel* label)
{
    QPalette palette = label->palette();
    palette.setColor(QPalette::Window, Qt::white);
    label->setPalette(palette);
    label->setAutoFillBackground(true);
}

}

AboutDialog::AboutDialog(const QString& componentName)
    : Dialog(nullptr, "AboutDialog", true, WindowFlags::Customize | WindowFlags::NoBorder)
{
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setFixedSize(640, 480);
    setFont(Fonts::dialogFont());
    setSizeGripEnabled(false);
    background_.load(QString::fromStdString(
        Platform::applicationPath(std::string(Constants::imagesFolder) + "Morvanta.bmp")));

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(10, 10, 10, 10);
    layout->addItem(new QSpacerItem(640, 400, QSizePolicy::Minimum, QSizePolicy::Minimum));
    auto* row = new QHBoxLayout;
    row->setSpacing(20);
    layout->addLayout(row);

    const QString versionText = tr("Version ") + QString::fromStdString(Vexa::getProgramVersion().toString(".")) + "\n" +
                   componentName;
    auto* version = new QLabel(versionText, this);
    version->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    version->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
    whiteBackground(version);
    row->addWidget(version);

    Fonts::installSubstitutions();
    auto* information = new QLabel(tr("Planning of dental implants from CT and DVT data\n"
                                      "and computer-guided implant surgery."),
                                   this);
    information->setAlignment(Qt::AlignLeft);
    information->setFont(QFont("Arial", 8, QFont::Normal, false));
    whiteBackground(information);
    row->addWidget(information);

    auto* ok = new QPushButton(tr("Ok"), this);
    ok->setFixedSize(120, 63);
    ok->setFocus();
    row->addWidget(ok);
    connect(ok, &QPushButton::clicked, this, &AboutDialog::accept);
}

void AboutDialog::paintEvent(QPaintEvent* event)
{
    if (background_.isNull())
        return Dialog::paintEvent(event);
    QPainter painter(this);
    painter.drawPixmap(rect(), background_);
}
