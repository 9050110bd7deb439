#pragma once
// The list of saved plannings: every ".srl" file below the patient folders (symbolic links are
// not followed), newest first, with patient, birthday, jaw, implant count and the imaging device
// of the planning's first DICOM file. Ok or a double click chooses a row.
//
// A planning of a newer format is left out. A damaged planning (a file that cannot be read, lacks
// a key or holds a value the reader refuses, a DICOM file that is missing, lies outside the
// planning's folder or no importer reads) is left out too, with a record on the exception trail,
// and the dialog names it with the reason, one line each, below the list (which grows the
// dialog); the other plannings are still listed.
#include "shell/dialogs/Dialog.h"

#include <QString>
#include <QStringList>
#include <string>
#include <utility>
#include <vector>

class QDir;
class QLabel;
class QPushButton;
class QScrollArea;
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

    // The row of one planning file; false for a newer format. Throws for a damaged planning:
    // "The planning file <file> <fault>."
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
    QStringList leftOut_; // "<folder>: <reason>", in scan order
    QScrollArea* leftOutArea_ = nullptr;
    QLabel* leftOutLabel_ = nullptr;
};
