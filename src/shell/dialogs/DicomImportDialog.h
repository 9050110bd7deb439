#pragma once
// The first step of a new planning: a worker thread searches a folder tree for DICOM files,
// groups them into study sets (one series of one study in one folder), and the list offers the
// sets newest first. Import or a double click chooses one.
//
// Files are grouped by patient ID, study ID, pixel spacing, orientation, series number, folder
// and (when the headers have one) the series instance UID, each compared on its own. A set of a
// single file is never offered: a single image is no series. Files that look like DICOM files (by
// their header, or by their name when they have none) but cannot be read (a slice whose pixel data
// run past the file's end among them) are named under the list with the reason, and the single
// images after them; in the message, when nothing can be listed. So are the folders that could not
// be looked into, with the reason: a folder that cannot be read is never taken for an empty CD.
// Cancel and Escape close the dialog at once: the scan stops at its next folder or entry and ends
// on its own, and nothing it finds reaches the closed dialog.
#include "shell/dialogs/Dialog.h"

#include <QDir>
#include <QThread>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class QLabel;
class QLineEdit;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace Vexa {

class DicomIOManager;

class DicomImportDialog : public Dialog
{
    Q_OBJECT

public:
    struct MinimalDicomInformation
    {
        // Name, patient ID, study ID, birth date, (empty), sex, study date, study time, pixel
        // spacing, orientation, series number, folder, device name.
        std::vector<std::string> values = std::vector<std::string>(13);
        std::string seriesInstanceUid;
    };

    struct StudySet
    {
        MinimalDicomInformation record;
        std::vector<std::string> files;
        QTreeWidgetItem* item = nullptr;
    };

    struct KeyLess
    {
        bool operator()(const MinimalDicomInformation& a, const MinimalDicomInformation& b) const;
    };
    using ScanResult = std::multimap<MinimalDicomInformation, std::string, KeyLess>;

    // A file of the scanned tree that looks like DICOM but could not be read, or a folder of it
    // that could not be opened, and why.
    struct UnreadableFile
    {
        std::string file;
        std::string reason;
    };

    // Walks the tree and reads the headers. It holds what it finds itself and never its dialog: a
    // scan whose dialog has gone (stopped in a slow folder) ends on its own without touching it.
    class DirectoryScanner : public QThread
    {
    public:
        explicit DirectoryScanner(DicomIOManager* manager) : manager_(manager) {}
        // Starts the one scan of this object, of that folder; false when it was started or
        // stopped before.
        bool scan(const QDir& folder);
        void stop() { stop_ = true; }
        bool isStopped() const { return stop_; }
        // Stops the scan and lets go of the DICOM manager, whose owner may delete it next: waits
        // for the header read in progress, never for the rest of the walk.
        void release();
        // The status text since the last call (empty when none), and, once the scan has ended,
        // what it found (moved into `result`); true then.
        bool take(QString& status, ScanResult& result);
        // Once the scan has ended: the files it could not read (moved out).
        std::vector<UnreadableFile> unreadableFiles();
        // Once the scan has ended: the folders below the scanned one it could not open (moved
        // out), and the error number of opening the scanned folder itself (0: it opened).
        std::vector<UnreadableFile> unreadFolders();
        int baseFolderError();
        // Deletes the scanner now if its thread is done, else once it is (in the GUI thread).
        static void dispose(std::unique_ptr<DirectoryScanner> scanner);
        // Waits for the scans that closed dialogs left behind; the application's end does so too.
        static void waitForDisposed();

    protected:
        void run() override;

    private:
        void scanDirectory(const QDir& folder);
        void setStatus(const QString& text);
        static void deleteEnded();

        QDir folder_;
        std::mutex managerMutex_; // held while the manager is in use
        DicomIOManager* manager_;
        std::atomic<bool> stop_{false};
        bool started_ = false;        // GUI thread only
        std::atomic<bool> ran_{false}; // run() has returned
        std::mutex mutex_;             // guards the six below
        ScanResult result_;
        std::vector<UnreadableFile> unreadable_;
        std::vector<UnreadableFile> unreadFolders_;
        int baseError_ = 0;
        QString pendingStatus_;
        bool ended_ = false;
    };

    // The posted event that reports the scan's end.
    static constexpr int scanCompleteEvent = 1000;

    DicomImportDialog(QWidget* parent, DicomIOManager* manager);
    // Stops the scan; does not wait for it to end.
    ~DicomImportDialog() override;

    void setBasePath(const std::string& path);
    // Scans in the background while the dialog shows; 1 after Import, else 0.
    int exec() override;
    const std::vector<std::string> getFileNamesOfSelectedStudySet() const;
    // The files of the scanned folder that could not be read, once the scan has ended.
    const std::vector<UnreadableFile>& getUnreadableFiles() const { return unreadable_; }
    // "dd/MM/yyyy" and "hh:mm:ss" from the DICOM forms; other texts as they stand.
    static QString dateText(const std::string& dicomDate);
    static QString timeText(const std::string& dicomTime);

    bool event(QEvent* event) override;
    void reject() override;

protected:
    // Brings the scanner's status and its end into the GUI thread.
    void timerEvent(QTimerEvent* event) override;

protected slots:
    virtual void languageChange();
    virtual void findSelectedItem();
    void findAndImportSelectedItem();
    void import();
    void cancel();

private:
    void generateStudySetContainer();
    void displayStudySetContainer();
    // Under the list: the folders not looked into and why, how many files could not be read,
    // which, and why; then the single images.
    void displayNotListedFiles();
    QString notListedText(int mostNamed, const QString& separator) const;
    // The message when no study set can be listed.
    QString nothingListedText() const;

    // What the scan found, taken over from the scanner when it ended; GUI thread only.
    ScanResult scanResult_;
    std::vector<UnreadableFile> unreadable_;
    std::vector<UnreadableFile> unreadFolders_;
    int baseError_ = 0;
    int pollTimer_ = 0;
    std::vector<StudySet> studySets_;
    std::vector<std::string> singleImages_; // readable files that make no study set
    int selected_ = -1;
    QDir baseFolder_;
    std::unique_ptr<DirectoryScanner> scanner_;
    QLineEdit* status_ = nullptr;
    QLabel* unreadableLabel_ = nullptr;
    QPushButton* import_ = nullptr;
    QPushButton* cancel_ = nullptr;
    QTreeWidget* list_ = nullptr;
};

}
