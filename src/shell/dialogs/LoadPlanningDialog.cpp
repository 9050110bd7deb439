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
#include "vexa/core/ExceptionStack.h"
#include "vexa/core/IniFileManager.h"
#include "vexa/core/Version.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QPushButton>
#include <QRegularExpression>
#include <QTreeWidget>
#include <stdexcept>
#include <tuple>

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
    list_->headerItem()->setTextAlignment(4, Qt::AlignHCenter);

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
    {
        WaitCursor wait;
        for (const std::string& path : basePaths_)
            scanDirectory(QDir(QDir(QString::fromStdString(path)).absolutePath()));
        displayStudySetContainer();
    }
    return Dialog::exec();
}

const std::string LoadPlanningDialog::getSelectedPlanningFileName() const
{
    return selected_ < 0 ? std::string() : studySets_[std::size_t(selected_)].file;
}

void LoadPlanningDialog::scanDirectory(const QDir& folder)
{
    FolderWalk::walk(folder, [this](const QFileInfo& entry) {
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
            // One damaged planning must not hide the others; readFromFile left its record.
            Platform::outputDebugString("planning not listed: " + std::string(e.what()) + "\n");
        }
        return true;
    });
}

std::pair<LoadPlanningDialog::StudySet, bool> LoadPlanningDialog::readFromFile(const QString& file,
                                                                               Vexa::DicomIOManager* manager) try
{
    const Vexa::IniFileManager ini(file.toStdString(), Vexa::IniFileManager::ReadOnly | Vexa::IniFileManager::Strict);
    const Vexa::Version version(ini.getValue("Planningdata", "version", ""));
    if (version > Vexa::getProgramVersion())
        return {StudySet(), false};
    // A planning the reader would refuse (a damaged count, transform or name) is not offered.
    const PlanningFile planning = PlanningFile::read(file.toStdString());
    StudySet set;
    set.lastModified = QString::fromStdString(ini.getValue("Planningdata", "lastModified", ""));
    set.name = QString::fromStdString(ini.getValue("Patient", "name", ""));
    set.birthday = birthdayText(QString::fromStdString(ini.getValue("Patient", "birthday", "")));
    const int jaw = ini.getValue("Planningdata", "implantregion", 0);
    set.jaw = jaw == 1 ? tr("Maxilla") : jaw == 2 ? tr("Mandible") : tr("Unknown");
    set.implants = int(planning.implants.size());

    const std::string group = version >= Vexa::getImageDataGroupVersion() ? "ImageData" : "Planningdata";
    const QString folder = QDir::cleanPath(QString::fromStdString(ini.getPath()));
    const QString dicom = QDir::cleanPath(folder + "/" + QString::fromStdString(ini.getValue(group, "dicomFile0", "")));
    if (!dicom.startsWith(folder + "/"))
        throw std::runtime_error("The planning file " + file.toStdString() + " names a DICOM file outside its folder.");
    if (manager)
        if (const auto information = manager->readInformation(dicom.toStdString()))
            set.imageDevice = QString::fromStdString(information->getImageDeviceName());
    set.shownTime = shownTimeText(set.lastModified);
    set.file = QFileInfo(file).absoluteFilePath().toStdString();
    return {set, true};
}
VEXA_RETHROW

void LoadPlanningDialog::displayStudySetContainer()
{
    list_->clear();
    for (StudySet& set : studySets_)
        set.item = new ListViewItem(list_, {set.shownTime, set.name, set.birthday, set.jaw,
                                            QString::number(set.implants), set.imageDevice, set.shownTime});
    for (StudySet& set : studySets_)
        set.item->setTextAlignment(4, Qt::AlignHCenter);
    list_->sortItems(6, Qt::DescendingOrder);
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
