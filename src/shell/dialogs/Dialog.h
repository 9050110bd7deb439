#pragma once
// The common base of the application's dialogs: `exec` lets the event queue drain once after the
// dialog closes, so the window below repaints before the caller goes on with long work.
#include <QDialog>

class Dialog : public QDialog
{
    Q_OBJECT

public:
    // `styles` are the classic window-style bits (see WindowFlags).
    Dialog(QWidget* parent, const char* name, bool modal, int styles);
    ~Dialog() override;

public slots:
    // QDialog::exec, then one round of pending events; 1 accepted, 0 rejected.
    int exec() override;
};
