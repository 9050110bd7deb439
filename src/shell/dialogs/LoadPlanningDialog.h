#pragma once
// The list of saved plannings: every ".srl" file below the patient folders (symbolic links are
// not followed), newest first, with patient, birthday, jaw, implant count and the imaging device
// of the planning's first DICOM file. Ok or a double click chooses a row.
//
// A planning that cannot be loaded (a newer format; a file that cannot be read, is empty, holds
// binary data, lacks a key or holds a value the reader refuses; a DICOM file that is missing,
// empty, lies outside the planning's folder, no importer reads, or is shorter than the pixels the
// first file's header gives each slice; an implant description, its surface or the 3D model
// missing, empty or unreadable) is left out, with a record on the exception
// trail, and the dialog names it with the reason, one line each (wrapped when long), below the
// list (which grows the dialog); the other plannings are still listed. The program's own study
// file is no planning and is passed over. Rows that would look alike (copies of one planning)
// name their folders; every row shows its folder as a tool tip.
#include "shell/dialogs/Dialog.h"

#include <QString>
#include <QStringList>
#include <string>
#include <utility>
#include <vector>

class QDir;
class QPushButton;
class QTextEdit;
class QTreeWidget;
class QTreeWidgetItem;

namespace Vexa {
class DicomIOManager;
}

class LoadPlanningDialog : public Dialog
{
    Q_OBJECT

public:
    struct StudySet
    {
        QString lastModified; // as stored: "MM/dd/yyyy hh:mm:ss"
        QString name;
        QString birthday; // "dd/MM/yyyy", or as stored when that is not eight digits
        QString jaw;      // "Maxilla", "Mandible" or "Unknown"
        int implants = 0;
        QString imageDevice;
        QString shownTime; // "yyyy/MM/dd hh:mm:ss", sorts as text
        QTreeWidgetItem* item = nullptr;
        std::string file; // absolute path
    };

    // The manager reads the DICOM headers; it is not owned and may be null (no device shown).
    LoadPlanningDialog(QWidget* parent, Vexa::DicomIOManager* manager);

    void setBasePaths(const std::vector<std::string>& paths);
    // Scans the base paths (under the wait cursor), then shows the list; 1 when a planning was
    // chosen, 0 on Cancel.
    int exec() override;
    // The chosen planning's file, empty when none is selected.
    const std::string getSelectedPlanningFileName() const;

    // The row of one planning file; false for the study file. Throws for a planning that cannot
    // be loaded: "The planning file <file> <fault>."
    static std::pair<StudySet, bool> readFromFile(const QString& file, Vexa::DicomIOManager* manager);

protected slots:
    virtual void doOk();
    virtual void doCancel();
    virtual void findSelectedItem(QTreeWidgetItem* item);
    void findAndLoadSelectedItem(QTreeWidgetItem* item);

private:
    void scanDirectory(const QDir& folder);
    void displayStudySetContainer();
    // The lines on the plannings left out, below the list; the buttons and the dialog's height follow.
    void showLeftOut();

    Vexa::DicomIOManager* manager_;
    QPushButton* ok_ = nullptr;
    QPushButton* cancel_ = nullptr;
    QTreeWidget* list_ = nullptr;
    int selected_ = -1;
    std::vector<std::string> basePaths_;
    std::vector<StudySet> studySets_;
    QStringList leftOutLines_; // "<folder>: <reason>", in scan order
    QTextEdit* leftOut_ = nullptr;
};
