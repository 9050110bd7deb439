#pragma once
// The recorder sidebar: one tool button per recorder action, in action order, and a "What's This"
// button. It talks to the recorder only through its signals.
#include <QDialog>

class RecorderDialog : public QDialog
{
    Q_OBJECT
public:
    explicit RecorderDialog(QWidget* parent = nullptr, const char* name = "recorderDialog");

signals:
    void stop();
    void showMessageBox();
    void showPropertyPicker();
    void includeScript();
    void screenDumpDialog();
    void screenDumpWidget();
    void sleep();
    void sleepAsLast();
    void runExernalCommand();

protected slots:
    void enterWhatsThisMode();
};
