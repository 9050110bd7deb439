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
#include "planning/model/Constants.h"
#include "vexa/core/ExceptionStack.h"
#include "vexa/core/IniFileManager.h"
#include "vexa/core/Version.h"

#include <QApplication>
#include <QDir>
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
#include <cmath>
#include <cstring>
#include <memory>
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

// Columns, rows and bytes of one slice's pixels by its header; 0 bytes where the header does
// not tell them.
std::tuple<unsigned long, unsigned long, std::uintmax_t> imageOf(const Vexa::DicomInformation& header)
{
    const auto number = [&](unsigned tagWord) {
        const auto [text, found] = header.getValue(tagWord);
        unsigned long value = 0;
        const char* end = text.data() + text.size();
        const auto [at, error] = std::from_chars(text.data(), end, value);
        return found && error == std::errc() && at == end ? value : 0ul;
    };
    // Tag words are element << 16 | group: (0028,0010) rows, (0028,0011) columns, (0028,0100)
    // bits allocated.
    const unsigned long rows = number(0x00100028), columns = number(0x00110028), bits = number(0x01000028);
    return {columns, rows, std::uintmax_t(rows) * columns * (bits / 8)};
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

    connect(ok_, &QPushButton::clicked, this, &LoadPlanningDialog::doOk);
    connect(cancel_, &QPushButton::clicked, this, &LoadPlanningDialog::doCancel);
    connect(list_, &QTreeWidget::itemSelectionChanged, this, [this] {
        const auto selected = list_->selectedItems();
        if (!selected.isEmpty())
            findSelectedItem(selected.front());
    });
    connect(list_, &QTreeWidget::itemDoubleClicked, this,
            [this](QTreeWidgetItem* item) { findAndLoadSelectedItem(item); });
}

void LoadPlanningDialog::setBasePaths(const std::vector<std::string>& paths)
{
    basePaths_ = paths;
}

int LoadPlanningDialog::exec()
{
    selected_ = -1;
    // A second exec lists the plannings once, as they are now.
    studySets_.clear();
    leftOutLines_.clear();
    {
        WaitCursor wait;
        for (const std::string& path : basePaths_)
            scanDirectory(QDir(QDir(QString::fromStdString(path)).absolutePath()));
        displayStudySetContainer();
        showLeftOut();
    }
    return Dialog::exec();
}

const std::string LoadPlanningDialog::getSelectedPlanningFileName() const
{
    return selected_ < 0 ? std::string() : studySets_[std::size_t(selected_)].file;
}

void LoadPlanningDialog::scanDirectory(const QDir& folder)
{
    FolderWalk::walk(folder, [this, &folder](const QFileInfo& entry) {
        if (entry.completeSuffix() != "srl")
            return true;
        try
        {
            auto [set, listed] = readFromFile(entry.absoluteFilePath(), manager_);
            if (listed)
                studySets_.push_back(std::move(set));
        }
        catch (const std::exception& e)
        {
            // One damaged planning must not hide the others; readFromFile left its record. The
            // user is told, or an empty list would look like a lost planning.
            leftOutLines_ << shownName(entry, folder) + ": " + oneLine(e, entry.absoluteFilePath());
            Platform::outputDebugString("planning not listed: " + std::string(e.what()) + "\n");
        }
        return true;
    });
}

std::pair<LoadPlanningDialog::StudySet, bool> LoadPlanningDialog::readFromFile(const QString& file,
                                                                               Vexa::DicomIOManager* manager) try
{
    // The program's own study file (written beside the plannings) is no planning.
    if (QFileInfo(file).fileName() == Constants::studyDummyFile)
        return {StudySet(), false};
    // A planning the reader would refuse (an empty or foreign file, a damaged count, transform
    // or name, a newer format) is not offered; its fault is told as the reader tells it.
    const PlanningFile planning = PlanningFile::read(file.toStdString());
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

    // The series must be whole: the planning loads all of it. Only sizes are looked at here;
    // reading every slice would make the list wait on large series.
    const QString folder = QDir::cleanPath(QString::fromStdString(ini.getPath()));
    std::vector<std::uintmax_t> sizes;
    for (const std::string& name : planning.dicomFiles)
    {
        const QString dicom = QDir::cleanPath(folder + "/" + QString::fromStdString(name));
        if (!dicom.startsWith(folder + "/"))
            throw std::runtime_error(fault + "names the DICOM file " + name + " outside its folder.");
        sizes.push_back(0);
        if (const std::string why = unusableFile(dicom.toStdString(), sizes.back()); !why.empty())
            throw std::runtime_error(fault + "names the DICOM file " + name + ", which " + why + ".");
    }
    if (manager)
    {
        const std::string first = planning.dicomFiles.front();
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
            if (const auto [columns, rows, bytes] = imageOf(*information); bytes > 0)
                for (std::size_t i = 0; i < sizes.size(); ++i)
                    if (sizes[i] < bytes)
                        throw std::runtime_error(fault + "names the DICOM file " + planning.dicomFiles[i] +
                                                 ", which is cut short: it holds " + std::to_string(sizes[i]) +
                                                 " bytes, its image of " + std::to_string(columns) + " x " +
                                                 std::to_string(rows) + " pixels needs " + std::to_string(bytes) +
                                                 ".");
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

void LoadPlanningDialog::displayStudySetContainer()
{
    list_->clear();
    const auto columns = [](const StudySet& set) {
        return QStringList{set.shownTime, set.name, set.birthday, set.jaw, QString::number(set.implants),
                           set.imageDevice, set.shownTime};
    };
    for (StudySet& set : studySets_)
    {
        QStringList texts = columns(set);
        // Copies of one planning look alike: their folders tell them apart.
        const QString folder = QFileInfo(QString::fromStdString(set.file)).dir().dirName();
        if (std::count_if(studySets_.begin(), studySets_.end(),
                          [&](const StudySet& other) { return columns(other) == texts; }) > 1)
            texts[1] += "\n" + tr("in %1").arg(folder);
        set.item = new ListViewItem(list_, texts);
        for (int column = 0; column < texts.size(); ++column)
            set.item->setToolTip(column, QFileInfo(QString::fromStdString(set.file)).absolutePath());
    }
    for (StudySet& set : studySets_)
        set.item->setTextAlignment(4, Qt::AlignCenter);
    list_->sortItems(6, Qt::DescendingOrder);
}

void LoadPlanningDialog::showLeftOut()
{
    int bottom = list_->geometry().bottom() + 1;
    leftOut_->setVisible(!leftOutLines_.isEmpty());
    if (!leftOutLines_.isEmpty())
    {
        leftOut_->clear();
        // Measured below before the widget is shown: in its own font from the start.
        leftOut_->document()->setDefaultFont(leftOut_->font());
        QTextCursor cursor(leftOut_->document());
        cursor.insertText(tr("Not listed, because they cannot be loaded:"));
        // A line that wraps goes on indented, so each planning's line stands out.
        QTextBlockFormat entry;
        const int indent = 2 * leftOut_->fontMetrics().horizontalAdvance('M');
        entry.setLeftMargin(indent);
        entry.setTextIndent(-indent);
        for (const QString& line : leftOutLines_)
        {
            cursor.insertBlock(entry);
            cursor.insertText(line);
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
    setFixedSize(width(), ok_->parentWidget()->geometry().bottom() + 12);
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
