#pragma once
// The question before a planning is saved: who the patient is; "Overwrite" (result 0, only for a
// loaded or saved planning inside the first patient folder), "Save as new" (1), "Cancel" (rejects,
// result 1), an optional fourth button (2, to go on without saving); and the jaw.
#include "shell/dialogs/Dialog.h"

#include <memory>

class Model;
class QLabel;
class QPushButton;
class QRadioButton;

class SaveDialog : public Dialog
{
    Q_OBJECT

public:
    // An empty `quitText` means no fourth button.
    SaveDialog(QWidget* parent, std::shared_ptr<Model> model, const QString& quitText);

    int getResult() const { return result_; }
    // 0 none, 1 maxilla, 2 mandible: the model's jaw until a radio button is clicked.
    int getJaw() const { return jaw_; }

    // The patient line: name, "   (*", birth date as DD/MM/YYYY (as it stands when it is not
    // eight digits), ")   id:", id.
    QString patientLine() const;
    bool isOverwriteEnabled() const;

    // Whether "Overwrite" may replace the planning of these settings.
    static bool mayOverwrite(int planningState, const QString& planningFile, const QString& firstPatientPath);
    static QString birthDateText(const QString& dicomDate);

protected slots:
    void doOverwriteExisting();
    void doSaveAsNew();
    void doCancel();
    void doQuitWithoutSaveNew();
    void doSelectMaxilla();
    void doSelectMandible();

private:
    int result_ = 1;
    int jaw_ = 0;
    QLabel* patient_ = nullptr;
    QPushButton* overwrite_ = nullptr;
    QRadioButton* maxilla_ = nullptr;
    QRadioButton* mandible_ = nullptr;
};
