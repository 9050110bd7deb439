#pragma once
// The first step of a new planning: a worker thread searches a folder tree for DICOM files,
// groups them into study sets (one series of one study in one folder), and the list offers the
// sets newest first. Import or a double click chooses one.
//
// Files are grouped by patient ID, study ID, pixel spacing, orientation, series number, folder
// and (when the headers have one) the series instance UID, each compared on its own. A set of a
// single file is never offered. Cancel and Escape stop the scan within one header read and wait
// for it; nothing arrives after that.
#include "shell/dialogs/Dialog.h"

#include <QDir>
#include <QThread>
#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

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

    class DirectoryScanner : public QThread
    {
    public:
        explicit DirectoryScanner(DicomImportDialog* owner) : owner_(owner) {}
        void stop() { stop_ = true; }
        bool isStopped() const { return stop_; }

    protected:
        void run() override;

    private:
        void scanDirectory(const QDir& folder, DicomIOManager* manager);

        DicomImportDialog* owner_;
        std::atomic<bool> stop_{false};
    };

    // The posted event that reports the scan's end.
    static constexpr int scanCompleteEvent = 1000;

    DicomImportDialog(QWidget* parent, DicomIOManager* manager);
    // Stops the scan and waits for it.
    ~DicomImportDialog() override;

    void setBasePath(const std::string& path);
    // Scans in the background while the dialog shows; 1 after Import, else 0.
    int exec() override;
    const std::vector<std::string> getFileNamesOfSelectedStudySet() const;
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
    void setStatus(const QString& text);
    void generateStudySetContainer();
    void displayStudySetContainer();

    struct KeyLess
    {
        bool operator()(const MinimalDicomInformation& a, const MinimalDicomInformation& b) const;
    };

    // The scanner's results and status, written by it and taken by the GUI thread's poll.
    std::mutex scanMutex_;
    std::multimap<MinimalDicomInformation, std::string, KeyLess> scanResult_;
    QString pendingStatus_;
    bool scanEnded_ = false;
    int pollTimer_ = 0;
    std::vector<StudySet> studySets_;
    int selected_ = -1;
    QDir baseFolder_;
    DirectoryScanner scanner_;
    QLineEdit* status_ = nullptr;
    QPushButton* import_ = nullptr;
    QPushButton* cancel_ = nullptr;
    QTreeWidget* list_ = nullptr;
    DicomIOManager* manager_;
};

}
