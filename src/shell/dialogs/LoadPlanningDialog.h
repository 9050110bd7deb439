#pragma once
// The list of saved plannings: every ".srl" file below the patient folders (symbolic links are
// not followed), newest first, with patient, birthday, jaw, implant count and the imaging device
// of the planning's first DICOM file. Ok or a double click chooses a row.
//
// The list is made in a thread of its own while the dialog shows: rows come in as plannings are
// found, a line below the list says where it looks, and Cancel, Escape and Ctrl+W close the
// dialog at once, whatever a file server makes the search wait for (the thread is then left to
// end by itself: threadsOut). Each planning costs a bounded number of looks: its file, its
// folders' listings, the first slice and the implant files; that every slice is whole the load
// checks (PlanningReader).
//
// A planning that cannot be loaded (a newer format; a file that cannot be read, is empty, holds
// binary data, lacks a key or holds a value the reader refuses; a DICOM file that is not in its
// folder or lies outside it; a first one that is empty, no importer reads, or is shorter than the
// pixels its header gives a slice; an implant description, its surface or the 3D model missing,
// empty or unreadable) is left out, with a record on the exception trail, and the dialog names
// it with the reason, one line each (wrapped when long), below the list (which grows the
// dialog); the other plannings are still listed. A folder that cannot be read is named there
// with the reason. The program's own study file is no planning and is passed over. Rows that
// would look alike (copies of one planning) name their folders; every row shows its folder as a
// tool tip.
#include "shell/dialogs/Dialog.h"

#include <QString>
#include <QStringList>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

class QDir;
class QLabel;
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

    // Called in the list's thread before it looks into a base path, with a flag that the dialog's
    // end sets (and then `wake`): waits for what must be done there first (the start's walk of that
    // patient folder); false leaves the folder out.
    using FolderWait = std::function<bool(const std::string& folder, const std::atomic<bool>* cancelled)>;
    void setFolderWait(FolderWait wait, std::function<void()> wake);

    void setBasePaths(const std::vector<std::string>& paths);
    // Shows the dialog and lists the base paths' plannings into it as they are found; 1 when a
    // planning was chosen, 0 on Cancel.
    int exec() override;
    ~LoadPlanningDialog() override;

    // Whether the list is still being made.
    bool isListing() const { return poll_ != 0; }

    // Lists made by dialogs that are gone, still held in a file call: the process ends without
    // waiting for them.
    static int threadsOut() { return threadsOut_.load(); }
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

signals:
    // The list is whole.
    void listed();

public slots:
    // Closes at once: the list's thread is told to end and not waited for.
    void reject() override;

protected:
    void timerEvent(QTimerEvent* event) override;

private:
    struct Scan;
    static void scan(const std::shared_ptr<Scan>& scan);
    static void scanDirectory(Scan& scan, const QDir& folder);
    // Takes what the list's thread found since into the dialog.
    void takeFound();
    // Ends the list's thread, leaving it where a file call holds it.
    void endScan();
    // Adds the rows of the sets from `first` on.
    void displayStudySetContainer(std::size_t first);
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
    QLabel* state_ = nullptr;
    FolderWait folderWait_;
    std::function<void()> wake_;
    std::shared_ptr<Scan> scan_;
    std::thread thread_;
    int poll_ = 0;
    QStringList unreadLines_; // "<folder>: <reason>", folders that could not be read
    static inline std::atomic<int> threadsOut_{0};
};
