#include "shell/dialogs/DicomImportDialog.h"

#include "dicom/core/DicomException.h"
#include "dicom/import/DicomIOManager.h"
#include "dicom/import/DicomInformation.h"
#include "platform/ApplicationFolder.h"
#include "shell/dialogs/MessageDialog.h"
#include "shell/widgets/Fonts.h"
#include "shell/widgets/FolderWalk.h"
#include "shell/widgets/ListViewItem.h"
#include "shell/widgets/PatientTable.h"
#include "shell/widgets/WindowFlags.h"
#include "vexa/core/ExceptionStack.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTreeWidget>
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <system_error>
#include <tuple>
#include <unistd.h>
#include <utility>

namespace Vexa {

namespace {

// (group, element) as the header's tag word.
constexpr unsigned tag(unsigned group, unsigned element)
{
    return element << 16 | group;
}

// Record slot -> tag; slots 4, 11 and 12 are filled otherwise.
constexpr std::pair<int, unsigned> recordTags[] = {
    {0, tag(0x0010, 0x0010)}, {1, tag(0x0010, 0x0020)}, {2, tag(0x0020, 0x0010)}, {3, tag(0x0010, 0x0030)},
    {5, tag(0x0010, 0x0040)}, {6, tag(0x0008, 0x0020)}, {7, tag(0x0008, 0x0030)}, {8, tag(0x0028, 0x0030)},
    {9, tag(0x0020, 0x0037)}, {10, tag(0x0020, 0x0011)},
};
constexpr unsigned seriesInstanceUidTag = tag(0x0020, 0x000E);

// Whether a file that no importer takes was still meant as a DICOM file (and is damaged).
bool namedAsDicom(const QFileInfo& entry)
{
    const QString suffix = entry.suffix().toLower();
    return suffix == "dcm" || suffix == "dicom";
}

// Scanners whose dialog closed before their thread ended; GUI thread only. Never destroyed: a
// scan still running at the program's end must not be deleted under it.
std::vector<std::unique_ptr<DicomImportDialog::DirectoryScanner>>& disposedScanners()
{
    static auto* scanners = new std::vector<std::unique_ptr<DicomImportDialog::DirectoryScanner>>;
    return *scanners;
}

}

bool DicomImportDialog::KeyLess::operator()(const MinimalDicomInformation& a, const MinimalDicomInformation& b) const
{
    // Field by field: joined texts would merge patient "12" study "3" with patient "1" study "23".
    const auto key = [](const MinimalDicomInformation& r) {
        const auto& v = r.values;
        return std::tie(v[1], v[2], v[8], v[9], v[10], v[11], r.seriesInstanceUid);
    };
    return key(a) < key(b);
}

DicomImportDialog::DicomImportDialog(QWidget* parent, DicomIOManager* manager)
    : Dialog(parent, "DicomImportDialog", true, WindowFlags::titled),
      baseFolder_(QString::fromStdString(Platform::applicationFolder())),
      scanner_(std::make_unique<DirectoryScanner>(manager))
{
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setFixedSize(904, 441);
    setFont(Fonts::fixedFont(font(), 9));
    setSizeGripEnabled(false);
    status_ = new QLineEdit(this);
    status_->setObjectName("m_Status");
    status_->setEnabled(false);
    status_->setGeometry(10, 390, 640, 30);
    // Under the list, which makes room for it when there is something to say.
    unreadableLabel_ = new QLabel(this);
    unreadableLabel_->setObjectName("m_Unreadable");
    unreadableLabel_->setGeometry(10, 326, 880, 52);
    unreadableLabel_->setWordWrap(true);
    unreadableLabel_->setTextFormat(Qt::PlainText);
    unreadableLabel_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    unreadableLabel_->hide();
    std::tie(import_, cancel_) = PatientTable::addButtons(this, QString(), "m_buttonImport", QString());
    list_ = new PatientTable(this, QStringList(9, QString()), {170, 220, 85, 35, 100, 50, 110});

    languageChange();
    connect(import_, &QPushButton::clicked, this, &DicomImportDialog::import);
    connect(cancel_, &QPushButton::clicked, this, &DicomImportDialog::cancel);
    connect(list_, &QTreeWidget::itemSelectionChanged, this, &DicomImportDialog::findSelectedItem);
    connect(list_, &QTreeWidget::itemDoubleClicked, this, &DicomImportDialog::findAndImportSelectedItem);
}

DicomImportDialog::~DicomImportDialog()
{
    DirectoryScanner::dispose(std::move(scanner_));
}

void DicomImportDialog::languageChange()
{
    setWindowTitle(tr("DICOM Data Import"));
    status_->setText(tr("Waiting for cd-rom"));
    import_->setText(tr("&Import"));
    cancel_->setText(tr("&Cancel"));
    list_->setHeaderLabels({tr("Study Data/Time"), tr("Patient"), tr("Birthday"), tr("Sex"), tr("Study ID"),
                            tr("Files"), tr("Patient ID"), tr("ImageDevice"), tr("ID")});
    for (int c : {3, 5})
        list_->headerItem()->setTextAlignment(c, Qt::AlignCenter);
}

void DicomImportDialog::setBasePath(const std::string& path)
{
    baseFolder_ = QDir(QString::fromStdString(path));
}

int DicomImportDialog::exec()
{
    if (scanner_->scan(baseFolder_))
        pollTimer_ = startTimer(20);
    return Dialog::exec();
}

void DicomImportDialog::timerEvent(QTimerEvent* e)
{
    if (e->timerId() != pollTimer_)
        return Dialog::timerEvent(e);
    QString status;
    const bool ended = scanner_->take(status, scanResult_);
    if (!status.isEmpty())
        status_->setText(status);
    if (ended)
    {
        unreadable_ = scanner_->unreadableFiles();
        std::sort(unreadable_.begin(), unreadable_.end(),
                  [](const UnreadableFile& a, const UnreadableFile& b) { return a.file < b.file; });
        unreadFolders_ = scanner_->unreadFolders();
        baseError_ = scanner_->baseFolderError();
        status_->setText(tr("Ready"));
        killTimer(pollTimer_);
        pollTimer_ = 0;
        QApplication::postEvent(this, new QEvent(QEvent::Type(scanCompleteEvent)));
    }
}

const std::vector<std::string> DicomImportDialog::getFileNamesOfSelectedStudySet() const
{
    return selected_ < 0 ? std::vector<std::string>() : studySets_[std::size_t(selected_)].files;
}

bool DicomImportDialog::DirectoryScanner::scan(const QDir& folder)
{
    if (started_ || stop_)
        return false;
    started_ = true;
    folder_ = QDir(folder.absolutePath());
    // Deletes the scanner once its thread is done, should its dialog have gone before.
    connect(this, &QThread::finished, QCoreApplication::instance(), &DirectoryScanner::deleteEnded,
            Qt::QueuedConnection);
    start(QThread::LowPriority);
    return true;
}

void DicomImportDialog::DirectoryScanner::release()
{
    stop_ = true;
    std::lock_guard lock(managerMutex_);
    manager_ = nullptr;
}

bool DicomImportDialog::DirectoryScanner::take(QString& status, ScanResult& result)
{
    std::lock_guard lock(mutex_);
    status = std::exchange(pendingStatus_, QString());
    if (!ended_)
        return false;
    ended_ = false;
    result = std::move(result_);
    return true;
}

std::vector<DicomImportDialog::UnreadableFile> DicomImportDialog::DirectoryScanner::unreadableFiles()
{
    std::lock_guard lock(mutex_);
    return std::move(unreadable_);
}

std::vector<DicomImportDialog::UnreadableFile> DicomImportDialog::DirectoryScanner::unreadFolders()
{
    std::lock_guard lock(mutex_);
    return std::move(unreadFolders_);
}

int DicomImportDialog::DirectoryScanner::baseFolderError()
{
    std::lock_guard lock(mutex_);
    return baseError_;
}

void DicomImportDialog::DirectoryScanner::setStatus(const QString& text)
{
    // Widgets are touched in the GUI thread only: the dialog takes the text (see timerEvent).
    std::lock_guard lock(mutex_);
    pendingStatus_ = text;
}

void DicomImportDialog::DirectoryScanner::dispose(std::unique_ptr<DirectoryScanner> scanner)
{
    scanner->release();
    if (!scanner->started_ || scanner->ran_)
    {
        scanner->wait(); // at most QThread's own last steps
        return;
    }
    // Still in the walk (a folder on a slow medium may take long to open): it ends on its own.
    static const bool waitsAtTheEnd = (qAddPostRoutine(&DirectoryScanner::waitForDisposed), true);
    (void)waitsAtTheEnd;
    disposedScanners().push_back(std::move(scanner));
}

void DicomImportDialog::DirectoryScanner::deleteEnded()
{
    auto& scanners = disposedScanners();
    for (auto it = scanners.begin(); it != scanners.end();)
    {
        if (!(*it)->ran_)
        {
            ++it;
            continue;
        }
        (*it)->wait();
        it = scanners.erase(it);
    }
}

void DicomImportDialog::DirectoryScanner::waitForDisposed()
{
    for (const auto& scanner : disposedScanners())
        scanner->wait();
    deleteEnded();
}

void DicomImportDialog::DirectoryScanner::run()
{
    try
    {
        scanDirectory(folder_);
    }
    catch (...)
    {
        // Nothing may leave the thread; the list stays as it is.
        ExceptionStack::getInstance()->push(__PRETTY_FUNCTION__, __FILE__, __LINE__);
    }
    {
        std::lock_guard lock(mutex_);
        ended_ = !stop_; // a stopped scan has nothing more to say
    }
    ran_ = true; // the thread's last touch of this object's own data
}

void DicomImportDialog::DirectoryScanner::scanDirectory(const QDir& folder)
{
    const auto enter = [this, &folder](const QDir& f) {
        setStatus(f.absolutePath());
        // The walk takes a folder it cannot open for an empty one: opened here first, one that
        // cannot be is told with the reason.
        const int fd = ::open(QFile::encodeName(f.absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const int error = fd < 0 ? errno : 0;
        if (fd >= 0)
            ::close(fd);
        std::lock_guard lock(mutex_);
        if (f.absolutePath() == folder.absolutePath())
            baseError_ = error;
        else if (error)
            unreadFolders_.push_back({f.absolutePath().toStdString(), std::generic_category().message(error)});
    };
    FolderWalk::walk(folder, [this](const QFileInfo& entry) {
        setStatus(entry.absoluteFilePath());
        try
        {
            std::shared_ptr<DicomInformation> information;
            {
                // After release the manager may be gone: no header is read once stopped.
                std::lock_guard lock(managerMutex_);
                if (stop_)
                    return false;
                if (manager_)
                    information = manager_->readInformation(entry.absoluteFilePath().toStdString());
            }
            if (!information)
                return true;
            // A slice cut short is told now, not by an import that fails on it.
            if (!information->damage().empty())
            {
                std::lock_guard lock(mutex_);
                unreadable_.push_back({entry.absoluteFilePath().toStdString(), information->damage()});
                return true;
            }
            MinimalDicomInformation record;
            for (const auto& [slot, tagWord] : recordTags)
                record.values[std::size_t(slot)] = information->getValue(tagWord).first;
            record.values[11] = entry.absolutePath().toStdString();
            record.values[12] = information->getImageDeviceName();
            record.seriesInstanceUid = information->getValue(seriesInstanceUidTag).first;
            std::lock_guard lock(mutex_);
            result_.emplace(std::move(record), entry.absoluteFilePath().toStdString());
        }
        catch (const std::exception& error)
        {
            // Files that are no DICOM files at all (a viewer, a text on the CD) are passed over in
            // silence; a DICOM file that cannot be read is told, or it would vanish unnoticed.
            const auto* dicomError = dynamic_cast<const DicomException*>(&error);
            if (dicomError && dicomError->code() == DicomException::NoImporter && !namedAsDicom(entry))
                return true;
            const std::string path = entry.absoluteFilePath().toStdString();
            std::lock_guard lock(mutex_);
            unreadable_.push_back({path, DicomIOManager::reasonOf(error, path)});
        }
        return true;
    }, enter, &stop_);
}

bool DicomImportDialog::event(QEvent* e)
{
    if (e->type() != QEvent::Type(scanCompleteEvent))
        return Dialog::event(e);
    // A scan stopped by Cancel or Escape has nothing more to say.
    if (scanner_->isStopped())
        return true;
    generateStudySetContainer();
    if (studySets_.empty())
    {
        QDialog::reject();
        MessageDialog message(nullptr, tr("Import error"), nothingListedText(), MessageDialog::Ok);
        message.exec();
    }
    displayStudySetContainer();
    displayNotListedFiles();
    return true;
}

QString DicomImportDialog::nothingListedText() const
{
    const QString folder = QDir::toNativeSeparators(baseFolder_.absolutePath());
    // Only a folder that is missing or holds no DICOM file asks for the CD: one that cannot be
    // read, and what the walk met (folders not looked into, damaged files, single images), are
    // what the user must hear of.
    if (baseError_ != 0 && baseError_ != ENOENT)
        return tr("The folder %1 cannot be read (%2).")
            .arg(folder, QString::fromStdString(std::generic_category().message(baseError_)));
    if (!unreadable_.empty() || !singleImages_.empty() || !unreadFolders_.empty())
        return notListedText(10, "\n");
    return (baseError_ == ENOENT ? tr("The folder %1 does not exist.") : tr("No DICOM files were found in %1.")).arg(folder) +
           "\n\n" + tr("Please insert cd with patient data and press \"patient\" again.");
}

QString DicomImportDialog::notListedText(int mostNamed, const QString& separator) const
{
    const int count = int(unreadable_.size());
    const int singles = int(singleImages_.size());
    const int found = count + int(scanResult_.size());
    // The list of a line runs on after the colon; that of a message starts below it.
    const QString first = separator.contains('\n') ? separator : QStringLiteral(" ");
    const auto named = [&](int total, const std::function<QString(int)>& name) {
        QString names;
        for (int i = 0; i < total && i < mostNamed; ++i)
            names += (i == 0 ? first : separator) + name(i);
        if (total > mostNamed)
            names += separator + tr("and %1 more").arg(total - mostNamed);
        return names;
    };
    // The kinds follow one another in a paragraph, or a sentence, each.
    QString text;
    const auto nextKind = [&] {
        if (!text.isEmpty())
            text += separator.contains('\n') ? QStringLiteral("\n\n") : QStringLiteral(". ");
    };
    if (!unreadFolders_.empty())
    {
        // As the list of plannings words it.
        text = tr("Folders not looked into, because they cannot be read:");
        text += named(int(unreadFolders_.size()), [&](int i) {
            const UnreadableFile& folder = unreadFolders_[std::size_t(i)];
            return baseFolder_.relativeFilePath(QString::fromStdString(folder.file)) + " (" +
                   QString::fromStdString(folder.reason) + ")";
        });
    }
    if (count > 0)
    {
        nextKind();
        text += count == found
                   ? (count == 1 ? tr("The one DICOM file found could not be read:")
                                 : tr("None of the %1 DICOM files found could be read:").arg(count))
                   : (count == 1 ? tr("1 of the %1 DICOM files found could not be read and is not listed:").arg(found)
                                 : tr("%1 of the %2 DICOM files found could not be read and are not listed:")
                                       .arg(count)
                                       .arg(found));
        text += named(count, [&](int i) {
            const UnreadableFile& file = unreadable_[std::size_t(i)];
            return baseFolder_.relativeFilePath(QString::fromStdString(file.file)) + " (" +
                   QString::fromStdString(file.reason) + ")";
        });
    }
    if (singles > 0)
    {
        nextKind();
        text += singles == found
                    ? (singles == 1 ? tr("The one DICOM file found is a single image, and a single image is no series:")
                                    : tr("Each of the %1 DICOM files found is a single image, and a single image is no "
                                         "series:")
                                          .arg(singles))
                    : (singles == 1
                           ? tr("1 of the %1 DICOM files found is a single image, no series, and is not listed:")
                                 .arg(found)
                           : tr("%1 of the %2 DICOM files found are single images, no series, and are not listed:")
                                 .arg(singles)
                                 .arg(found));
        text += named(singles, [&](int i) {
            return baseFolder_.relativeFilePath(QString::fromStdString(singleImages_[std::size_t(i)]));
        });
    }
    return text;
}

void DicomImportDialog::displayNotListedFiles()
{
    const int kinds = int(!unreadable_.empty()) + int(!singleImages_.empty()) + int(!unreadFolders_.empty());
    if (kinds == 0)
        return;
    // Several kinds share the label's lines: each names fewer then (the tool tip names all).
    unreadableLabel_->setText(notListedText(kinds == 1 ? 3 : 1, "; "));
    unreadableLabel_->setToolTip(
        notListedText(int(std::max({unreadable_.size(), singleImages_.size(), unreadFolders_.size()})), "\n"));
    list_->setGeometry(10, 10, 880, 310);
    unreadableLabel_->show();
}

void DicomImportDialog::generateStudySetContainer()
{
    studySets_.clear();
    singleImages_.clear();
    for (auto run = scanResult_.begin(); run != scanResult_.end();)
    {
        const auto end = scanResult_.upper_bound(run->first);
        if (std::next(run) != end)
        {
            StudySet set{run->first, {}, nullptr};
            for (auto it = run; it != end; ++it)
                set.files.push_back(it->second);
            studySets_.push_back(std::move(set));
        }
        else // a single image is never offered
        {
            singleImages_.push_back(run->second);
        }
        run = end;
    }
    std::sort(singleImages_.begin(), singleImages_.end());
}

QString DicomImportDialog::dateText(const std::string& dicomDate)
{
    static const QRegularExpression date("^[0-9]{8}$");
    const QString d = QString::fromStdString(dicomDate);
    return date.match(d).hasMatch() ? d.right(2) + "/" + d.mid(4, 2) + "/" + d.left(4) : d;
}

QString DicomImportDialog::timeText(const std::string& dicomTime)
{
    // hhmmss, possibly with a fraction (".123") the list does not show.
    static const QRegularExpression time("^([0-9]{2})([0-9]{2})([0-9]{2})(\\.[0-9]*)?$");
    const QString t = QString::fromStdString(dicomTime);
    const auto match = time.match(t);
    return match.hasMatch() ? match.captured(1) + ":" + match.captured(2) + ":" + match.captured(3) : t;
}

void DicomImportDialog::displayStudySetContainer()
{
    list_->clear();
    for (StudySet& set : studySets_)
    {
        const auto& v = set.record.values;
        auto* item = new ListViewItem(
            list_, {dateText(v[6]) + " " + timeText(v[7]), QString::fromStdString(v[0]), dateText(v[3]),
                    QString::fromStdString(v[5]), QString::fromStdString(v[2]), QString::number(set.files.size()),
                    QString::fromStdString(v[1]), QString::fromStdString(v[12]), QString::fromStdString(v[6] + v[7])});
        item->setTextAlignment(3, Qt::AlignCenter);
        item->setTextAlignment(5, Qt::AlignCenter);
        set.item = item;
    }
    list_->sortItems(8, Qt::DescendingOrder);
}

void DicomImportDialog::findSelectedItem()
{
    const auto selected = list_->selectedItems();
    selected_ = -1;
    for (std::size_t i = 0; !selected.isEmpty() && i < studySets_.size(); ++i)
        if (studySets_[i].item == selected.front())
            selected_ = int(i);
    import_->setEnabled(selected_ >= 0);
}

void DicomImportDialog::findAndImportSelectedItem()
{
    findSelectedItem();
    import();
}

void DicomImportDialog::import()
{
    if (selected_ != -1 && scanner_->isFinished())
        QDialog::accept();
}

void DicomImportDialog::cancel()
{
    if (pollTimer_)
        killTimer(pollTimer_);
    pollTimer_ = 0;
    // The window never waits for the walk: the scan stops at its next folder or entry, in its
    // own time when that is a slow folder, and tells the closed dialog nothing.
    scanner_->stop();
    QDialog::reject();
}

void DicomImportDialog::reject()
{
    // Escape: like Cancel, so no message or list can follow the closed dialog.
    cancel();
}

}
