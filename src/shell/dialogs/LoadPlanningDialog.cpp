#include "shell/dialogs/LoadPlanningDialog.h"

#include "dicom/import/DicomIOManager.h"
#include "dicom/import/DicomInformation.h"
#include "platform/DebugOutput.h"
#include "shell/widgets/Fonts.h"
#include "shell/widgets/FolderWalk.h"
#include "shell/widgets/ListViewItem.h"
#include "shell/widgets/PatientTable.h"
#include "shell/widgets/WaitCursor.h"
#include "shell/widgets/WindowFlags.h"
#include "planning/io/PlanningFile.h"
#include "planning/io/PlanningReader.h"
#include "planning/model/Constants.h"
#include "vexa/core/ExceptionStack.h"
#include "vexa/core/IniFileManager.h"
#include "vexa/core/Version.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QKeySequence>
#include <QLabel>
#include <QShortcut>
#include <QTimerEvent>
#include <QFileInfo>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>
#include <QTreeWidget>
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <map>
#include <cmath>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

namespace {

// "yyyyMMdd" as "dd/MM/yyyy"; anything else as it stands.
QString birthdayText(const QString& stored)
{
    static const QRegularExpression date("^[0-9]{8}$");
    if (!date.match(stored).hasMatch())
        return stored;
    return stored.right(2) + "/" + stored.mid(4, 2) + "/" + stored.left(4);
}

// "MM/dd/yyyy hh:mm:ss" as "yyyy/MM/dd hh:mm:ss"; anything else as it stands.
QString shownTimeText(const QString& stored)
{
    static const QRegularExpression time("^[0-9]{2}/[0-9]{2}/[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}$");
    if (!time.match(stored).hasMatch())
        return stored;
    return stored.mid(6, 4) + "/" + stored.left(2) + "/" + stored.mid(3, 2) + " " + stored.mid(11, 8);
}

// Lines on left-out plannings shown before the rest scrolls.
constexpr int leftOutVisibleLines = 12;

// A folder that has given no sign for this long is said not to answer.
constexpr std::chrono::seconds quiet(3);

// A message as one line without the file's path and without a closing full stop, to follow a name
// and a colon: "The planning file /p/x.srl holds ..." gives "the planning file holds ...".
QString oneLine(const std::exception& e, const QString& file)
{
    QString text = QString::fromLocal8Bit(e.what()).replace(" " + file, QString()).simplified();
    if (text.endsWith('.'))
        text.chop(1);
    if (!text.isEmpty())
        text[0] = text[0].toLower();
    return text;
}

// How a left-out planning is named: its folder below the scanned one, or the file in it when the
// file is not named after its folder (as a saved planning is).
QString shownName(const QFileInfo& planning, const QDir& base)
{
    if (planning.completeBaseName() != planning.dir().dirName())
        return base.relativeFilePath(planning.absoluteFilePath());
    const QString folder = base.relativeFilePath(planning.absolutePath());
    return folder == "." ? base.absolutePath() : folder;
}

// Why a file a planning needs cannot serve ("is missing", "is empty", ...), as the system tells
// it; empty when it can, and then its size.
std::string unusableFile(const std::string& path, std::uintmax_t& size)
{
    struct stat info;
    if (::stat(path.c_str(), &info) != 0)
        return errno == ENOENT ? "is missing" : "cannot be read (" + std::string(std::strerror(errno)) + ")";
    if (!S_ISREG(info.st_mode))
        return "is no file";
    if (::access(path.c_str(), R_OK) != 0)
        return "cannot be read (" + std::string(std::strerror(errno)) + ")";
    if (info.st_size == 0)
        return "is empty";
    size = std::uintmax_t(info.st_size);
    return {};
}

// The names in a folder, read in one listing; with the errno value where it cannot be read.
std::pair<std::set<std::string>, int> namesIn(const std::string& folder)
{
    std::set<std::string> names;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return {names, errno};
    errno = 0;
    while (const dirent* entry = ::readdir(dir))
        names.insert(entry->d_name);
    const int error = errno;
    ::closedir(dir);
    return {names, error};
}

// Every implant description the planning names, and the surface each names, are there and not
// empty: the load reads them all. A description named more than once is looked at once.
void checkImplantFiles(const PlanningFile& planning, const std::string& folder, const std::string& fault)
{
    std::set<std::string> seen;
    for (const PlanningFile::Implant& implant : planning.implants)
    {
        if (!seen.insert(implant.file).second)
            continue;
        const std::string description = folder + "/" + implant.file;
        std::uintmax_t size = 0;
        if (const std::string why = unusableFile(description, size); !why.empty())
            throw std::runtime_error(fault + "names the implant description " + implant.file + ", which " + why + ".");
        const Vexa::IniFileManager ini(description, Vexa::IniFileManager::ReadOnly);
        const std::string surface = ini.getValue("Implantdata", "surfacefile", std::string());
        const std::string named = fault + "names the implant description " + implant.file + ", ";
        if (!ini.isGroupExisting("Implantdata"))
            throw std::runtime_error(named + "which holds no group [Implantdata].");
        if (surface.empty())
            throw std::runtime_error(named + "which names no implant surface.");
        if (!PlanningFile::staysInFolder(surface))
            throw std::runtime_error(named + "which names its implant surface " + surface + " outside its folder.");
        if (const std::string why = unusableFile(ini.getPath() + surface, size); !why.empty())
            throw std::runtime_error(named + "whose implant surface " + surface + " " + why + ".");
    }
}

}

// What the list's threads found and not yet shown, and how each stands; shared with the threads,
// which may outlive the dialog.
struct LoadPlanningDialog::Scan
{
    enum Phase { Waiting, Looking, Done };
    // One base path, listed in a thread of its own.
    struct Part
    {
        std::string path; // as given
        QString folder;   // absolute
        Phase phase = Waiting;
        // The last sign of the folder: when its wait began, or an entry of it was read.
        std::chrono::steady_clock::time_point heard = std::chrono::steady_clock::now();
        std::time_t heardAt = std::time(nullptr);
        bool returned = false, left = false;
        bool missing = false, unreadable = false;
        int plannings = 0; // plannings met, listed or left out
    };

    Vexa::DicomIOManager* manager = nullptr;
    FolderWait wait;
    std::atomic<bool> cancelled{false};

    std::mutex mutex;
    std::condition_variable returnedChanged;
    std::vector<Part> parts; // not resized once the threads run
    std::vector<StudySet> found;
    QStringList leftOut, unread, empty;

    void heard(std::size_t index, Phase phase)
    {
        std::lock_guard lock(mutex);
        Part& part = parts[index];
        part.phase = phase;
        part.heard = std::chrono::steady_clock::now();
        part.heardAt = std::time(nullptr);
    }
    bool done() const
    {
        return std::all_of(parts.begin(), parts.end(), [](const Part& part) { return part.returned; });
    }
};

LoadPlanningDialog::LoadPlanningDialog(QWidget* parent, Vexa::DicomIOManager* manager)
    : Dialog(parent, "LoadPlanningDialog", true, WindowFlags::titled), manager_(manager)
{
    setWindowTitle(tr("Load planning"));
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setFixedSize(904, 441);
    setFont(Fonts::fixedFont(font(), 9));
    setSizeGripEnabled(false);
    std::tie(ok_, cancel_) = PatientTable::addButtons(this, tr("&Ok"), "m_buttonOk", tr("&Cancel"));
    list_ = new PatientTable(this,
                             {tr("Planning Data/Time"), tr("Patient"), tr("Birthday"), tr("Jaw"), tr("Implants"),
                              tr("ImageDevice"), tr("ID")},
                             {200, 270, 100, 80, 80});
    list_->headerItem()->setTextAlignment(4, Qt::AlignCenter);
    // A read-only text that wraps a long line anywhere rather than cutting it: a folder name
    // may be longer than the dialog is wide, and it must be read whole.
    leftOut_ = new QTextEdit(this);
    leftOut_->setObjectName("m_LeftOut");
    leftOut_->setReadOnly(true);
    leftOut_->setLineWrapMode(QTextEdit::WidgetWidth);
    leftOut_->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    leftOut_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    leftOut_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    leftOut_->hide();
    // Where the list looks, while it does.
    state_ = new QLabel(this);
    state_->setObjectName("m_ListState");
    state_->setTextFormat(Qt::PlainText);
    state_->hide();
    // Ctrl+W closes the dialog as Cancel does, as it quits the window below.
    connect(new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_W), this), &QShortcut::activated, this,
            &LoadPlanningDialog::doCancel);

    connect(ok_, &QPushButton::clicked, this, &LoadPlanningDialog::doOk);
    connect(cancel_, &QPushButton::clicked, this, &LoadPlanningDialog::doCancel);
    connect(list_, &QTreeWidget::itemSelectionChanged, this, [this] {
        const auto selected = list_->selectedItems();
        if (!selected.isEmpty())
            findSelectedItem(selected.front());
    });
    connect(list_, &QTreeWidget::itemDoubleClicked, this,
            [this](QTreeWidgetItem* item) { findAndLoadSelectedItem(item); });
    // Whether the user is at the list: the order then waits.
    list_->viewport()->setMouseTracking(true);
    list_->viewport()->installEventFilter(this);
}

LoadPlanningDialog::~LoadPlanningDialog()
{
    endScan();
}

void LoadPlanningDialog::setFolderWait(FolderWait wait, std::function<void()> wake)
{
    folderWait_ = std::move(wait);
    wake_ = std::move(wake);
}

void LoadPlanningDialog::setBasePaths(const std::vector<std::string>& paths)
{
    basePaths_ = paths;
}

int LoadPlanningDialog::exec()
{
    endScan();
    selected_ = -1;
    ok_->setEnabled(false);
    // A second exec lists the plannings once, as they are now.
    studySets_.clear();
    leftOutLines_.clear();
    unreadLines_.clear();
    emptyLines_.clear();
    unsettled_ = false;
    pointerAtList_ = false;
    list_->clear();
    showLeftOut();
    scan_ = std::make_shared<Scan>();
    scan_->manager = manager_;
    scan_->wait = folderWait_;
    for (const std::string& path : basePaths_)
    {
        Scan::Part part;
        part.path = path;
        part.folder = QDir(QString::fromStdString(path)).absolutePath();
        part.phase = folderWait_ ? Scan::Waiting : Scan::Looking;
        scan_->parts.push_back(std::move(part));
    }
    // A folder that does not answer holds up only its own rows.
    for (std::size_t i = 0; i < scan_->parts.size(); ++i)
        try
        {
            threads_.emplace_back([scan = scan_, i] { LoadPlanningDialog::scan(scan, i); });
        }
        catch (const std::system_error& e)
        {
            // Without a thread the folder is listed before the dialog shows.
            Platform::outputDebugString(std::string("no thread for the list of plannings: ") + e.what() + "\n");
            threads_.emplace_back();
            WaitCursor wait;
            LoadPlanningDialog::scan(scan_, i);
        }
    takeFound();
    poll_ = startTimer(50);
    const int result = Dialog::exec();
    endScan();
    return result;
}

const std::string LoadPlanningDialog::getSelectedPlanningFileName() const
{
    return selected_ < 0 ? std::string() : studySets_[std::size_t(selected_)].file;
}

void LoadPlanningDialog::reject()
{
    // At once, whatever the list's thread waits for.
    if (scan_)
        scan_->cancelled = true;
    if (wake_)
        wake_();
    Dialog::reject();
}

void LoadPlanningDialog::timerEvent(QTimerEvent* event)
{
    if (event->timerId() != poll_)
    {
        Dialog::timerEvent(event);
        return;
    }
    takeFound();
}

bool LoadPlanningDialog::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == list_->viewport())
    {
        // A pointer that merely lies where the list showed up is no user at the list: it must move.
        if (event->type() == QEvent::MouseMove)
            pointerAtList_ = true;
        else if (event->type() == QEvent::Leave)
        {
            pointerAtList_ = false;
            settle();
        }
    }
    return Dialog::eventFilter(watched, event);
}

void LoadPlanningDialog::takeFound()
{
    if (!scan_)
        return;
    std::vector<StudySet> found;
    QStringList leftOut, unread, empty;
    bool done = false;
    {
        std::lock_guard lock(scan_->mutex);
        found.swap(scan_->found);
        leftOut.swap(scan_->leftOut);
        unread.swap(scan_->unread);
        empty.swap(scan_->empty);
        done = scan_->done();
    }
    if (!found.empty())
    {
        const std::size_t first = studySets_.size();
        for (StudySet& set : found)
            studySets_.push_back(std::move(set));
        displayStudySetContainer(first);
    }
    if (!leftOut.isEmpty() || !unread.isEmpty() || !empty.isEmpty())
    {
        leftOutLines_ << leftOut;
        unreadLines_ << unread;
        emptyLines_ << empty;
        showLeftOut();
    }
    showState(done);
    if (done && poll_)
    {
        killTimer(poll_);
        poll_ = 0;
        unsettled_ = true;
        settle();
        emit listed();
    }
}

void LoadPlanningDialog::showState(bool done)
{
    QStringList lines;
    QString shown;
    if (!done)
    {
        const auto now = std::chrono::steady_clock::now();
        std::lock_guard lock(scan_->mutex);
        const Scan::Part* silent = nullptr;
        for (const Scan::Part& part : scan_->parts)
        {
            if (part.returned)
                continue;
            const bool quietLong = now - part.heard >= quiet;
            const QString since =
                tr("%1 (%2 s)")
                    .arg(QDateTime::fromSecsSinceEpoch(part.heardAt).toString("hh:mm:ss"))
                    .arg(std::chrono::duration_cast<std::chrono::seconds>(now - part.heard).count());
            QString line;
            if (part.phase == Scan::Waiting)
                line = quietLong ? tr("Waiting since %1 for the start to finish what earlier sessions left in %2")
                                       .arg(since, part.folder)
                                 : tr("Waiting for the start to finish what earlier sessions left in %1").arg(part.folder);
            else
                line = quietLong ? tr("No answer since %1 from the patient folder %2").arg(since, part.folder)
                                 : tr("Looking for plannings in %1").arg(part.folder);
            lines << line;
            // The line shows the folder silent longest; without one, the first still looked at.
            if (quietLong && (!silent || part.heard < silent->heard))
            {
                silent = &part;
                shown = line;
            }
            else if (!silent && shown.isEmpty())
                shown = line;
        }
        if (lines.size() == 2)
            shown += tr(" (and one more folder)");
        else if (lines.size() > 2)
            shown += tr(" (and %1 more folders)").arg(lines.size() - 1);
    }
    // A long path keeps both its ends in sight: the folder's own name is at the end of each line.
    // Every folder still looked at is in the tool tip.
    state_->setText(done ? QString() : state_->fontMetrics().elidedText(shown, Qt::ElideMiddle, state_->width()));
    state_->setToolTip(done ? QString() : lines.join('\n'));
    state_->setVisible(!done);
}

void LoadPlanningDialog::endScan()
{
    if (poll_)
    {
        killTimer(poll_);
        poll_ = 0;
    }
    if (!scan_)
        return;
    scan_->cancelled = true;
    if (wake_)
        wake_();
    // The planning at hand ends a thread; one a file call holds is left to itself.
    std::vector<bool> returned;
    {
        std::unique_lock lock(scan_->mutex);
        scan_->returnedChanged.wait_for(lock, std::chrono::milliseconds(500), [this] { return scan_->done(); });
        for (Scan::Part& part : scan_->parts)
        {
            returned.push_back(part.returned);
            if (!part.returned)
            {
                // Counted before the thread can see it: it uncounts itself when it returns.
                part.left = true;
                ++threadsOut_;
            }
        }
    }
    for (std::size_t i = 0; i < threads_.size(); ++i)
    {
        if (!threads_[i].joinable())
            continue;
        if (returned[i])
        {
            threads_[i].join();
            continue;
        }
        threads_[i].detach();
        Platform::outputDebugString("the list of the plannings in " + scan_->parts[i].path +
                                    " did not end at once: a file call holds it; it is not waited for\n");
    }
    threads_.clear();
    scan_.reset();
}

void LoadPlanningDialog::scan(const std::shared_ptr<Scan>& scan, std::size_t index)
{
    // Set before the threads start and not changed after.
    const std::string path = scan->parts[index].path;
    const QDir base(scan->parts[index].folder);
    bool through = !scan->cancelled.load();
    scan->heard(index, scan->wait ? Scan::Waiting : Scan::Looking);
    if (through && scan->wait)
        through = scan->wait(path, &scan->cancelled);
    if (through)
    {
        scan->heard(index, Scan::Looking);
        through = scanDirectory(*scan, index, base) && !scan->cancelled.load();
    }
    // An empty list must not look like lost plannings: a patient folder without any says why.
    QString empty;
    if (through)
    {
        Scan::Part part;
        {
            std::lock_guard lock(scan->mutex);
            part = scan->parts[index];
        }
        if (part.missing)
            empty = tr("the folder is missing");
        else if (!part.unreadable && part.plannings == 0)
        {
            const auto [names, error] = namesIn(QFile::encodeName(part.folder).toStdString());
            if (!error)
                empty = names.size() <= 2 ? tr("the folder is empty") : tr("the folder holds no planning");
        }
    }
    std::lock_guard lock(scan->mutex);
    Scan::Part& part = scan->parts[index];
    if (!empty.isEmpty())
        scan->empty << tr("%1: %2").arg(part.folder, empty);
    part.phase = Scan::Done;
    part.returned = true;
    if (part.left)
        --threadsOut_;
    scan->returnedChanged.notify_all();
}

bool LoadPlanningDialog::scanDirectory(Scan& scan, std::size_t index, const QDir& folder)
{
    const auto enter = [&scan, index, &folder](const QDir& entered) {
        scan.heard(index, Scan::Looking);
        // A folder that cannot be read hides what it holds: it is named, with the reason. One not
        // there holds nothing (a patient folder before its first save), which is said.
        const int fd = ::open(QFile::encodeName(entered.absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const int error = errno;
        scan.heard(index, Scan::Looking);
        if (fd >= 0)
        {
            ::close(fd);
            return;
        }
        std::lock_guard lock(scan.mutex);
        if (entered == folder)
            (error == ENOENT ? scan.parts[index].missing : scan.parts[index].unreadable) = true;
        if (error != ENOENT || entered != folder)
            scan.unread << tr("%1: %2").arg(entered.absolutePath(), QString::fromLocal8Bit(std::strerror(error)));
    };
    return FolderWalk::walk(folder, [&scan, index, &folder](const QFileInfo& entry) {
        scan.heard(index, Scan::Looking);
        if (entry.completeSuffix() != "srl")
            return true;
        try
        {
            auto [set, listed] = readFromFile(entry.absoluteFilePath(), scan.manager);
            scan.heard(index, Scan::Looking);
            std::lock_guard lock(scan.mutex);
            if (listed)
            {
                ++scan.parts[index].plannings;
                scan.found.push_back(std::move(set));
            }
        }
        catch (const std::exception& e)
        {
            // One damaged planning must not hide the others; readFromFile left its record. The
            // user is told, or an empty list would look like a lost planning.
            scan.heard(index, Scan::Looking);
            std::lock_guard lock(scan.mutex);
            ++scan.parts[index].plannings;
            scan.leftOut << shownName(entry, folder) + ": " + oneLine(e, entry.absoluteFilePath());
            Platform::outputDebugString("planning not listed: " + std::string(e.what()) + "\n");
        }
        return true;
    }, enter, &scan.cancelled);
}

std::pair<LoadPlanningDialog::StudySet, bool> LoadPlanningDialog::readFromFile(const QString& file,
                                                                               Vexa::DicomIOManager* manager) try
{
    // The program's own study file (written beside the plannings) is no planning.
    if (QFileInfo(file).fileName() == Constants::studyDummyFile)
        return {StudySet(), false};
    // A planning the reader would refuse (an empty or foreign file, a damaged count, transform
    // or name, a newer format) is not offered; its fault is told as the reader tells it.
    const PlanningFile planning = [&file] {
        try
        {
            return PlanningFile::read(file.toStdString());
        }
        catch (const std::exception&)
        {
            // The reader tells that the file cannot be read, not why: the system does.
            const int fd = ::open(QFile::encodeName(file).constData(), O_RDONLY | O_CLOEXEC);
            if (fd < 0)
                throw std::runtime_error("The planning file " + file.toStdString() + " cannot be read (" +
                                         std::strerror(errno) + ").");
            ::close(fd);
            throw;
        }
    }();
    const Vexa::IniFileManager ini(file.toStdString(), Vexa::IniFileManager::ReadOnly);
    // Neither are plannings without the values the list shows.
    const std::string fault = "The planning file " + file.toStdString() + " ";
    static const std::string absent = "\x01";
    const std::string group = PlanningFile::imageGroupFor(planning.version);
    const std::pair<std::string, std::string> shown[] = {
        {"Planningdata", "version"},       {"Planningdata", "lastModified"}, {"Patient", "name"},
        {"Patient", "birthday"},           {"Planningdata", "implantregion"}, {"Implant", "implant"},
        {group, "dicomFile0"}};
    for (const auto& [g, key] : shown)
        if (ini.getValue(g, key, absent) == absent)
            throw std::runtime_error(fault + "misses the key \"" + key + "\" in [" + g + "].");
    StudySet set;
    set.lastModified = QString::fromStdString(planning.lastModified);
    set.name = QString::fromStdString(planning.patientName);
    set.birthday = birthdayText(QString::fromStdString(planning.birthday));
    set.jaw = planning.jaw == 1 ? tr("Maxilla") : planning.jaw == 2 ? tr("Mandible") : tr("Unknown");
    set.implants = int(planning.implants.size());

    // The series: every slice is in its folder (one listing a folder), and the first one, which
    // the row shows, is whole. That every slice holds its pixels the load checks: reading each
    // here would make the list wait on large series.
    const QString folder = QDir::cleanPath(QString::fromStdString(ini.getPath()));
    std::map<QString, std::set<std::string>> listed;
    for (const std::string& name : planning.dicomFiles)
    {
        const QString dicom = QDir::cleanPath(folder + "/" + QString::fromStdString(name));
        if (!dicom.startsWith(folder + "/"))
            throw std::runtime_error(fault + "names the DICOM file " + name + " outside its folder.");
        const QFileInfo at(dicom);
        auto known = listed.find(at.path());
        if (known == listed.end())
        {
            auto [names, error] = namesIn(at.path().toStdString());
            if (error && error != ENOENT)
                throw std::runtime_error(fault + "names the DICOM file " + name + ", whose folder cannot be read (" +
                                         std::strerror(error) + ").");
            known = listed.emplace(at.path(), std::move(names)).first;
        }
        if (!known->second.count(at.fileName().toStdString()))
            throw std::runtime_error(fault + "names the DICOM file " + name + ", which is missing.");
    }
    std::uintmax_t firstSize = 0;
    const std::string first = planning.dicomFiles.empty() ? std::string() : planning.dicomFiles.front();
    if (const std::string why = unusableFile(folder.toStdString() + "/" + first, firstSize); !why.empty())
        throw std::runtime_error(fault + "names the DICOM file " + first + ", which " + why + ".");
    if (manager && !first.empty())
    {
        std::shared_ptr<Vexa::DicomInformation> information;
        try
        {
            information = manager->readInformation(folder.toStdString() + "/" + first);
        }
        catch (const std::exception&)
        {
            throw std::runtime_error(fault + "names the DICOM file " + first + ", which is no readable DICOM file.");
        }
        if (information)
        {
            set.imageDevice = QString::fromStdString(information->getImageDeviceName());
            // The first header tells how many bytes of pixels each slice of the series holds.
            if (const std::string why = PlanningReader::cutShort(*information, firstSize); !why.empty())
                throw std::runtime_error(fault + "names the DICOM file " + first + ", which " + why + ".");
        }
    }
    checkImplantFiles(planning, folder.toStdString(), fault);
    std::uintmax_t size = 0;
    if (!planning.surfaceFile.empty())
        if (const std::string why = unusableFile(folder.toStdString() + "/" + planning.surfaceFile, size); !why.empty())
            throw std::runtime_error(fault + "names the 3D model " + planning.surfaceFile + ", which " + why + ".");
    set.shownTime = shownTimeText(set.lastModified);
    set.file = QFileInfo(file).absoluteFilePath().toStdString();
    return {set, true};
}
VEXA_RETHROW

int LoadPlanningDialog::rowsInSight() const
{
    const int count = list_->topLevelItemCount();
    if (!list_->isVisible() || count == 0)
        return 0;
    // Every row down to the one at the bottom of the view; all of them where the view is not full.
    QTreeWidgetItem* bottom = list_->itemAt(QPoint(1, list_->viewport()->height() - 1));
    int rows = bottom ? list_->indexOfTopLevelItem(bottom) + 1 : count;
    // The chosen row too, wherever the user scrolled.
    if (selected_ >= 0)
        rows = std::max(rows, list_->indexOfTopLevelItem(studySets_[std::size_t(selected_)].item) + 1);
    return rows;
}

void LoadPlanningDialog::sortRowsFrom(int from)
{
    std::vector<QTreeWidgetItem*> rows;
    for (int i = from; i < list_->topLevelItemCount(); ++i)
        rows.push_back(list_->topLevelItem(i));
    // Newest first by the hidden sort key; rows of one time in the order they were found.
    const auto newer = [](const QTreeWidgetItem* a, const QTreeWidgetItem* b) { return a->text(6) > b->text(6); };
    if (std::is_sorted(rows.begin(), rows.end(), newer))
        return;
    std::stable_sort(rows.begin(), rows.end(), newer);
    while (list_->topLevelItemCount() > from)
        list_->takeTopLevelItem(list_->topLevelItemCount() - 1);
    list_->insertTopLevelItems(from, QList<QTreeWidgetItem*>(rows.begin(), rows.end()));
}

void LoadPlanningDialog::settle()
{
    if (!unsettled_ || selected_ >= 0 || pointerAtList_)
        return;
    unsettled_ = false;
    sortRowsFrom(0);
}

void LoadPlanningDialog::displayStudySetContainer(std::size_t first)
{
    // Rows the user may have seen stay where they are: a planning found now goes below them.
    const int inSight = rowsInSight();
    const auto columns = [](const StudySet& set) {
        return QStringList{set.shownTime, set.name, set.birthday, set.jaw, QString::number(set.implants),
                           set.imageDevice, set.shownTime};
    };
    const auto inFolder = [](const StudySet& set) {
        return tr("in %1").arg(QFileInfo(QString::fromStdString(set.file)).dir().dirName());
    };
    for (std::size_t i = first; i < studySets_.size(); ++i)
    {
        StudySet& set = studySets_[i];
        QStringList texts = columns(set);
        // Copies of one planning look alike: their folders tell them apart, also a row shown
        // before its copy was found.
        for (std::size_t j = 0; j < i; ++j)
            if (columns(studySets_[j]) == texts)
            {
                texts[1] += "\n" + inFolder(set);
                if (!studySets_[j].item->text(1).contains('\n'))
                    studySets_[j].item->setText(1, studySets_[j].item->text(1) + "\n" + inFolder(studySets_[j]));
            }
        set.item = new ListViewItem(list_, texts);
        for (int column = 0; column < texts.size(); ++column)
            set.item->setToolTip(column, QFileInfo(QString::fromStdString(set.file)).absolutePath());
        set.item->setTextAlignment(4, Qt::AlignCenter);
    }
    sortRowsFrom(inSight);
}

void LoadPlanningDialog::showLeftOut()
{
    int bottom = list_->geometry().bottom() + 1;
    const bool any = !leftOutLines_.isEmpty() || !unreadLines_.isEmpty() || !emptyLines_.isEmpty();
    leftOut_->setVisible(any);
    if (any)
    {
        leftOut_->clear();
        // Measured below before the widget is shown: in its own font from the start.
        leftOut_->document()->setDefaultFont(leftOut_->font());
        QTextCursor cursor(leftOut_->document());
        // A line that wraps goes on indented, so each planning's line stands out.
        QTextBlockFormat entry;
        const int indent = 2 * leftOut_->fontMetrics().horizontalAdvance('M');
        entry.setLeftMargin(indent);
        entry.setTextIndent(-indent);
        bool firstHeader = true;
        for (const auto& [header, lines] : {std::pair{tr("Folders not looked into, because they cannot be read:"), unreadLines_},
                                            std::pair{tr("Patient folders without plannings:"), emptyLines_},
                                            std::pair{tr("Not listed, because they cannot be loaded:"), leftOutLines_}})
        {
            if (lines.isEmpty())
                continue;
            if (!firstHeader)
                cursor.insertBlock(QTextBlockFormat());
            firstHeader = false;
            cursor.insertText(header);
            for (const QString& line : lines)
            {
                cursor.insertBlock(entry);
                cursor.insertText(line);
            }
        }
        // Every line shows whole up to the limit; beyond it the lines scroll.
        const int frame = 2 * leftOut_->frameWidth();
        // Measured on a copy: the edit lays its own document out for the width it has now.
        const std::unique_ptr<QTextDocument> measured(leftOut_->document()->clone());
        const auto heightAt = [&](int width) {
            measured->setTextWidth(width);
            return int(std::ceil(measured->size().height()));
        };
        const int limit = leftOutVisibleLines * leftOut_->fontMetrics().lineSpacing() +
                          2 * int(leftOut_->document()->documentMargin());
        int height = heightAt(list_->width() - frame);
        if (height > limit)
            height = std::min(limit, heightAt(list_->width() - frame - leftOut_->verticalScrollBar()->sizeHint().width()));
        leftOut_->setGeometry(list_->x(), bottom + 6, list_->width(), height + frame);
        leftOut_->moveCursor(QTextCursor::Start);
        bottom = leftOut_->geometry().bottom() + 1;
    }
    ok_->parentWidget()->move(ok_->parentWidget()->x(), bottom + 10);
    const QRect buttons = ok_->parentWidget()->geometry();
    state_->setGeometry(list_->x(), buttons.top(), buttons.left() - list_->x() - 10, buttons.height());
    setFixedSize(width(), buttons.bottom() + 12);
}

void LoadPlanningDialog::doOk()
{
    QDialog::accept();
}

void LoadPlanningDialog::doCancel()
{
    QDialog::reject();
}

void LoadPlanningDialog::findSelectedItem(QTreeWidgetItem* item)
{
    for (std::size_t i = 0; i < studySets_.size(); ++i)
        if (studySets_[i].item == item)
        {
            selected_ = int(i);
            ok_->setEnabled(true);
            return;
        }
    selected_ = -1;
}

void LoadPlanningDialog::findAndLoadSelectedItem(QTreeWidgetItem* item)
{
    findSelectedItem(item);
    if (selected_ >= 0)
        doOk();
}
