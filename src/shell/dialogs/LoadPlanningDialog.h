#pragma once
// The list of saved plannings: every ".srl" file below the patient folders (symbolic links are
// not followed), newest first, with patient, birthday, jaw, implant count and the imaging device
// of the planning's first DICOM file. Ok or a double click chooses a row.
//
// Each patient folder is listed in a thread of its own while the dialog shows: a folder's rows come
// in as that folder answers, whatever another one waits for; a line below the list says where it
// looks and, for a folder that has given no sign for a few seconds, since when. Cancel, Escape and
// Ctrl+W close the dialog at once, whatever a file server makes the search wait for (a thread held
// in a file call is then left to end by itself: threadsOut). Each planning costs a bounded number
// of looks: its file, its folders' listings, the first slice and the implant files; that every
// slice is whole the load checks (PlanningReader).
//
// Rows never move under the user: a row found once the dialog shows goes below the rows in view
// (and below the selected one), newest first among those not yet seen. The whole list settles
// newest first when it is whole, unless a row is selected or the pointer moved onto the list; then
// it settles when the pointer leaves the list with no row selected. A patient folder that is
// missing, empty or holds no planning is said so below the list.
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

    // Called in the thread of a base path before it looks into it (the threads of several base
    // paths at once), with a flag that the dialog's end sets (and then `wake`): waits for what must
    // be done there first (the start's walk of that patient folder); false leaves the folder out.
    using FolderWait = std::function<bool(const std::string& folder, const std::atomic<bool>* cancelled)>;
    void setFolderWait(FolderWait wait, std::function<void()> wake);

    void setBasePaths(const std::vector<std::string>& paths);
    // Shows the dialog and lists the base paths' plannings into it as they are found; 1 when a
    // planning was chosen, 0 on Cancel.
    int exec() override;
    ~LoadPlanningDialog() override;

    // Whether the list is still being made.
    bool isListing() const { return poll_ != 0; }

    // Threads of lists made by dialogs that are gone, still held in a file call: the process ends
    // without waiting for them.
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
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Scan;
    // Lists the base path at `index`, in its thread.
    static void scan(const std::shared_ptr<Scan>& scan, std::size_t index);
    // False when the walk was stopped.
    static bool scanDirectory(Scan& scan, std::size_t index, const QDir& folder);
    // Takes what the list's threads found since into the dialog.
    void takeFound();
    // The line below the list: what is still looked for, and where no sign came for a while.
    void showState(bool done);
    // Ends the list's threads, leaving those a file call holds.
    void endScan();
    // Adds the rows of the sets from `first` on, below the rows the user may have seen.
    void displayStudySetContainer(std::size_t first);
    // How many rows from the top the user may have seen or chosen: they stay where they are.
    int rowsInSight() const;
    // Puts the rows from `from` on newest first.
    void sortRowsFrom(int from);
    // The whole list newest first, once the list is whole and the user is not at it.
    void settle();
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
    std::vector<std::thread> threads_;
    int poll_ = 0;
    QStringList unreadLines_; // "<folder>: <reason>", folders that could not be read
    QStringList emptyLines_;  // "<folder>: <what>", patient folders without plannings
    bool unsettled_ = false;  // the list is whole but not yet newest first
    bool pointerAtList_ = false; // moved over the list and not gone from it
    static inline std::atomic<int> threadsOut_{0};
};
