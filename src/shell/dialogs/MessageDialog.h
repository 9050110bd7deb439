#pragma once
// The application's message and question box: one centred text over a row of up to four large
// buttons. The pressed button is the result, as one bit: 1 Cancel, 2 No, 4 Yes, 8 Ok. Escape
// leaves the result at 1, also without a Cancel button.
#include "shell/dialogs/Dialog.h"

#include <QString>

class QHBoxLayout;
class QScrollArea;
class WrappingLabel;

class MessageDialog : public Dialog
{
    Q_OBJECT

public:
    enum Button : int { Cancel = 1, No = 2, Yes = 4, Ok = 8 };

    // `buttons` is an OR of the codes (other bits are ignored); a null `yesCaption` gives "Yes",
    // an empty one an empty caption.
    MessageDialog(QWidget* parent, const QString& caption, const QString& text, int buttons,
                  const QString& yesCaption = QString());

    int getResult() const { return result_; }
    // Places the box centred over the part of the widget in sight (Qt centres a dialog over its
    // parent's window), inside the widget's screen.
    void standOver(const QWidget* widget);
    // Adds a paragraph below the text; the box grows to show it (about its centre, when shown).
    void addText(const QString& text);

protected slots:
    virtual void doCancel();
    virtual void doNo();
    virtual void doYes();
    virtual void doOk();

private:
    void fit();

    int result_ = Cancel;
    QScrollArea* scroll_ = nullptr;
    WrappingLabel* label_ = nullptr;
    QHBoxLayout* row_ = nullptr;
};
