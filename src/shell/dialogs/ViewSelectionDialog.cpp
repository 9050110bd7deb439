#include "shell/dialogs/ViewSelectionDialog.h"

#include "shell/widgets/WindowFlags.h"

#include <QButtonGroup>
#include <QPushButton>
#include <QVBoxLayout>

ViewSelectionDialog::ViewSelectionDialog(const QStringList& views, QWidget* parent, const char* name)
    : Dialog(parent, name, true, WindowFlags::frameless)
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(3, 3, 3, 3);
    auto* group = new QButtonGroup(this);
    QStringList texts = views;
    texts.append(tr("Cancel"));
    QFont buttonFont = font();
    buttonFont.setPointSize(14);
    for (const QString& text : texts)
    {
        auto* button = new QPushButton(text, this);
        button->setFont(buttonFont);
        button->setFocusPolicy(Qt::NoFocus);
        layout->addWidget(button);
        group->addButton(button, int(buttonTexts_.size()));
        buttonTexts_.push_back(text);
    }
    connect(group, &QButtonGroup::idClicked, this, &ViewSelectionDialog::viewChosen);
}

void ViewSelectionDialog::viewChosen(int id)
{
    if (id == int(buttonTexts_.size()) - 1)
    {
        reject();
        return;
    }
    if (id < 0 || id >= int(buttonTexts_.size()))
        return;
    chosenView_ = buttonTexts_[std::size_t(id)];
    accept();
}
