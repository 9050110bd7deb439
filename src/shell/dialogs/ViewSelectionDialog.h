#pragma once
// The borderless menu that picks the view of a view frame: one large button per view name, in
// the order given, then "Cancel". The choice is made by position: only the last button cancels,
// whatever the names say.
#include "shell/dialogs/Dialog.h"

#include <QString>
#include <QStringList>
#include <vector>

class ViewSelectionDialog : public Dialog
{
    Q_OBJECT

public:
    ViewSelectionDialog(const QStringList& views, QWidget* parent, const char* name = nullptr);

    // The pressed view's name; empty until one is pressed. Read it when `exec` gave 1.
    QString getChosenView() const { return chosenView_; }

private slots:
    void viewChosen(int id);

private:
    std::vector<QString> buttonTexts_;
    QString chosenView_;
};
