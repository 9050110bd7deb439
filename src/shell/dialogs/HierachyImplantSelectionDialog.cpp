#include "shell/dialogs/HierachyImplantSelectionDialog.h"

#include "planning/model/Constants.h"
#include "planning/objects/Implant.h"
#include "platform/ApplicationFolder.h"
#include "platform/DebugOutput.h"
#include "shell/dialogs/MessageDialog.h"
#include "shell/widgets/Fonts.h"
#include "shell/widgets/FolderWalk.h"
#include "shell/widgets/ListViewItem.h"
#include "shell/widgets/WaitCursor.h"
#include "shell/widgets/WindowFlags.h"
#include "vexa/core/ExceptionStack.h"
#include "vexa/io/AtomicFile.h"

#include <QApplication>
#include <QButtonGroup>
#include <QColor>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QStackedWidget>
#include <QTextStream>
#include <QTreeWidget>

namespace {

// Only data lives from one dialog to the next: widgets held past the application object would
// be destroyed after it.
struct Database
{
    QString path; // the database folder the data were read from
    std::map<QString, ImplantDescription> descriptions; // by description file
    bool loaded = false;
    bool showSelection = false;
    QString lastSelected; // description file of the row selected when the last dialog closed
    // Lines of the short list that name no implant found (yet): written back as they were.
    QStringList unresolved;
};

Database& database()
{
    static Database instance;
    return instance;
}

// The three sizes as the rows show them, and as their sort key: a size that was not read sorts
// after every number.
QString sizesKey(const ImplantDescription& d)
{
    const auto key = [](float value, bool read) {
        return read ? ImplantDescription::sizeText(value, true) : QString("~~~~~");
    };
    return key(d.diameter, d.diameterRead) + key(d.shoulder, d.shoulderRead) + key(d.length, d.lengthRead);
}

QString sizesText(const ImplantDescription& d, const QString& diameterPrefix)
{
    return diameterPrefix + "\u00D8" + ImplantDescription::sizeText(d.diameter, d.diameterRead) + " S\u00D8" +
           ImplantDescription::sizeText(d.shoulder, d.shoulderRead) + " L" +
           ImplantDescription::sizeText(d.length, d.lengthRead);
}

QPixmap picture(const QString& file, QSize size)
{
    const QImage image(file);
    return image.isNull() ? QPixmap()
                          : QPixmap::fromImage(image.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
}

}

HierachyImplantSelectionDialog::HierachyImplantSelectionDialog(const QString& databasePath, bool mandible,
                                                               QWidget* parent) try
    : Dialog(parent, "HierachyImplantSelectionDialog", true, WindowFlags::titled), emptyPreview_(120, 206),
      databasePath_(databasePath.endsWith('/') ? databasePath : databasePath + "/")
{
    const auto image = [](const char* name) {
        return QPixmap(QString::fromStdString(Platform::applicationPath(std::string(Constants::imagesFolder) + name)));
    };
    checkedPixmap_ = image("CheckListSelected.bmp");
    uncheckedPixmap_ = image("CheckListNotSelected.bmp");
    emptyPreview_.fill(Qt::black);
    setWindowTitle(tr("Implant Selection"));
    setFixedSize(834, 454);
    setFont(Fonts::fixedFont(font(), 15));
    setSizeGripEnabled(false);

    listStack_ = new QStackedWidget(this);
    listStack_->setGeometry(14, 20, 655, 414);
    showModeButton_ = new QPushButton(tr("Show Selection"), this);
    showModeButton_->setGeometry(692, 20, 120, 37);
    previewLabel_ = new QLabel(this);
    previewLabel_->setGeometry(692, 74, 120, 204);
    previewLabel_->setScaledContents(true);
    previewLabel_->setPixmap(emptyPreview_);
    auto* jaw = new QButtonGroup(this);
    maxillaButton_ = new QRadioButton(tr("Maxilla"), this);
    maxillaButton_->setGeometry(692, 294, 100, 20);
    mandibleButton_ = new QRadioButton(tr("Mandible"), this);
    mandibleButton_->setGeometry(692, 321, 100, 20);
    jaw->addButton(maxillaButton_);
    jaw->addButton(mandibleButton_);
    (mandible ? mandibleButton_ : maxillaButton_)->setChecked(true);
    auto* cancelButton = new QPushButton(tr("Cancel"), this);
    cancelButton->setGeometry(692, 354, 120, 35);
    cancelButton->setDefault(true);
    okButton_ = new QPushButton(tr("OK"), this);
    okButton_->setGeometry(692, 399, 120, 35);
    okButton_->setEnabled(false);

    allImplantsList_ = makeList(true);
    selectedImplantsList_ = makeList(false);
    connect(okButton_, &QPushButton::clicked, this, &HierachyImplantSelectionDialog::ok);
    connect(cancelButton, &QPushButton::clicked, this, &HierachyImplantSelectionDialog::cancel);
    connect(showModeButton_, &QPushButton::clicked, this, &HierachyImplantSelectionDialog::changeShowMode);

    Database& db = database();
    // Another database folder (a test's, a moved one) is read afresh.
    if (db.loaded && db.path != databasePath_)
        db = Database();
    db.path = databasePath_;
    {
        WaitCursor wait;
        if (!db.loaded)
        {
            loadImplantDescriptions(QDir(databasePath_));
            readSelectionFile();
        }
        buildImplantList();
        buildSelectedImplantList();
        if (!db.loaded)
            db.showSelection = selectedImplantsList_->topLevelItemCount() > 0;
        db.loaded = true;
    }
    updateShowMode();
    // Back to the row the last dialog left.
    for (const auto& [item, description] : db.showSelection ? selectedItemDescriptions_ : allItemDescriptions_)
        if (description->descriptionFile == db.lastSelected)
            visibleList()->setCurrentItem(item);
}
VEXA_RETHROW

HierachyImplantSelectionDialog::~HierachyImplantSelectionDialog()
{
    const ImplantDescription* description = descriptionOf(visibleList()->currentItem());
    database().lastSelected = description ? description->descriptionFile : QString();
    writeSelectionFile();
}

void HierachyImplantSelectionDialog::forgetDatabase()
{
    database() = Database();
}

QTreeWidget* HierachyImplantSelectionDialog::makeList(bool tree)
{
    auto* list = new QTreeWidget(listStack_);
    list->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Ignored);
    list->setHeaderLabels({tree ? tr("               Sel. Implantdescription") : tr("Sel. Implantdescription"),
                           "SortID"});
    list->setColumnWidth(0, 655);
    list->setColumnHidden(1, true);
    list->header()->setSectionResizeMode(QHeaderView::Fixed);
    list->header()->setSectionsClickable(false);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setRootIsDecorated(tree);
    if (tree)
        list->setIndentation(40);
    list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    list->setSortingEnabled(true);
    list->sortByColumn(1, Qt::AscendingOrder);
    list->header()->setSortIndicatorShown(false);
    listStack_->addWidget(list);
    connect(list, &QTreeWidget::itemSelectionChanged, this, qOverload<>(&HierachyImplantSelectionDialog::itemChanged));
    connect(list, &QTreeWidget::itemDoubleClicked, this, &HierachyImplantSelectionDialog::ok);
    connect(list, &QTreeWidget::itemPressed, this, [this](QTreeWidgetItem* item) { selectionChanged(item); });
    return list;
}

void HierachyImplantSelectionDialog::loadImplantDescriptions(const QDir& folder)
{
    FolderWalk::walk(folder, [](const QFileInfo& entry) {
        // "A.implant" with "A.bmp" and "A.sff" beside it; "A.B.implant" never counts. One that
        // lacks either file is kept as not available: the short list may name it.
        if (entry.completeSuffix() != "implant")
            return true;
        const QString base = entry.completeBaseName();
        const QString picture = base + ".bmp", surface = base + ".sff";
        const bool hasPicture = QFileInfo::exists(entry.absolutePath() + "/" + picture);
        const bool hasSurface = QFileInfo::exists(entry.absolutePath() + "/" + surface);
        ImplantDescription description = ImplantDescription::read(entry.absoluteFilePath());
        if (!hasPicture && !hasSurface)
            description.unavailable = tr("the picture %1 and the surface %2 are missing").arg(picture, surface);
        else if (!hasPicture)
            description.unavailable = tr("the picture %1 is missing").arg(picture);
        else if (!hasSurface)
            description.unavailable = tr("the surface %1 is missing").arg(surface);
        database().descriptions.emplace(description.descriptionFile, description);
        return true;
    });
}

ImplantDescription* HierachyImplantSelectionDialog::resolveSelectionLine(const QString& line) const
{
    // Lines name implants relative to the database; older files hold absolute paths, which
    // still fit the database once its folder (with the program) has moved: the longest end of
    // the line that names one of its implants counts.
    const QDir base(databasePath_);
    auto& descriptions = database().descriptions;
    if (const auto exact = descriptions.find(QDir::cleanPath(base.absoluteFilePath(line))); exact != descriptions.end())
        return &exact->second;
    if (!QDir::isAbsolutePath(line))
        return nullptr;
    const QString cleaned = QDir::cleanPath(line);
    ImplantDescription* best = nullptr;
    qsizetype bestLength = 0;
    for (auto& [path, description] : descriptions) {
        const QString relative = base.relativeFilePath(path);
        if (relative.length() > bestLength && cleaned.endsWith("/" + relative)) {
            best = &description;
            bestLength = relative.length();
        }
    }
    return best;
}

void HierachyImplantSelectionDialog::readSelectionFile()
{
    QFile file(databasePath_ + selectionFileName);
    if (file.open(QIODevice::ReadOnly | QIODevice::Text))
    {
        QTextStream in(&file);
        while (!in.atEnd())
        {
            const QString line = in.readLine();
            if (line.trimmed().isEmpty())
                continue;
            if (ImplantDescription* found = resolveSelectionLine(line))
                found->selected = true;
            else if (!database().unresolved.contains(line))
                database().unresolved << line;
        }
    }
    listsOutOfDate_ = true;
}

void HierachyImplantSelectionDialog::writeSelectionFile()
{
    QString text;
    const QDir base(databasePath_);
    for (const auto& [path, description] : database().descriptions)
        if (description.selected)
            text += base.relativeFilePath(path) + "\n";
    for (const QString& line : database().unresolved)
        text += line + "\n";
    // Whole or not at all: on a full disk the old list stays, and the next dialog tries again.
    try {
        Vexa::AtomicFile::writeFile((databasePath_ + selectionFileName).toStdString(), text.toUtf8().toStdString());
    } catch (const std::exception& e) {
        Platform::outputDebugString("the implant short list was not saved: " + std::string(e.what()) + "\n");
    }
}

void HierachyImplantSelectionDialog::buildImplantList()
{
    allImplantsList_->clear();
    allItemDescriptions_.clear();
    for (auto& [path, d] : database().descriptions)
    {
        if (!d.unavailable.isEmpty())
            continue;
        // Companies among the top-level rows only: a family may be named like a company.
        QTreeWidgetItem* company = nullptr;
        for (int i = 0; !company && i < allImplantsList_->topLevelItemCount(); ++i)
            if (allImplantsList_->topLevelItem(i)->text(0) == d.company)
                company = allImplantsList_->topLevelItem(i);
        if (!company)
            company = new ListViewItem(allImplantsList_, {d.company});
        QTreeWidgetItem* family = nullptr;
        for (int i = 0; !family && i < company->childCount(); ++i)
            if (company->child(i)->text(1) == d.company + d.name)
                family = company->child(i);
        if (!family)
            family = new ListViewItem(company, {d.name, d.company + d.name});
        auto* row = new ListViewItem(family, {sizesText(d, " ") + " " + d.comment, sizesKey(d)}, &checkedPixmap_,
                                     &uncheckedPixmap_);
        row->setOn(d.selected);
        if (d.selected)
        {
            company->setExpanded(true);
            family->setExpanded(true);
        }
        allItemDescriptions_[row] = &d;
    }
}

void HierachyImplantSelectionDialog::buildSelectedImplantList()
{
    selectedImplantsList_->clear();
    selectedItemDescriptions_.clear();
    for (auto& [path, d] : database().descriptions)
    {
        if (!d.selected)
            continue;
        const QString n = d.comment.isEmpty() ? d.name : d.comment + " " + d.name;
        // The company in a column of 14 and always a blank after it, also when its name fills
        // the column or runs beyond it.
        QString text = QString(" %1").arg(d.company, -14) + sizesText(d, " ") + " " + n;
        if (!d.unavailable.isEmpty())
            text += "\n   " + tr("Not available: %1.").arg(d.unavailable);
        auto* row = new ListViewItem(selectedImplantsList_, {text, d.company + d.name + d.comment + sizesKey(d)},
                                     &checkedPixmap_, &uncheckedPixmap_);
        if (!d.unavailable.isEmpty())
            row->setForeground(0, QColor(Qt::darkGray));
        row->setOn(true);
        selectedItemDescriptions_[row] = &d;
    }
}

void HierachyImplantSelectionDialog::updateImplantLists()
{
    for (const auto& [item, description] : allItemDescriptions_)
        static_cast<ListViewItem*>(item)->setOn(description->selected);
    allImplantsList_->viewport()->update();
    buildSelectedImplantList();
    listsOutOfDate_ = false;
}

void HierachyImplantSelectionDialog::updateShowMode()
{
    if (listsOutOfDate_)
        updateImplantLists();
    const bool selection = database().showSelection;
    listStack_->setCurrentWidget(selection ? selectedImplantsList_ : allImplantsList_);
    showModeButton_->setText(selection ? "Show All" : "Show Selection");
    itemChanged();
}

QTreeWidget* HierachyImplantSelectionDialog::visibleList() const
{
    return static_cast<QTreeWidget*>(listStack_->currentWidget());
}

ImplantDescription* HierachyImplantSelectionDialog::descriptionOf(QTreeWidgetItem* item) const
{
    const ItemMap& map = visibleList() == allImplantsList_ ? allItemDescriptions_ : selectedItemDescriptions_;
    const auto found = map.find(item);
    return found == map.end() ? nullptr : found->second;
}

void HierachyImplantSelectionDialog::changeShowMode()
{
    database().showSelection = !database().showSelection;
    updateShowMode();
}

void HierachyImplantSelectionDialog::itemChanged()
{
    const auto selected = visibleList()->selectedItems();
    itemChanged(selected.isEmpty() ? nullptr : selected.front());
}

void HierachyImplantSelectionDialog::itemChanged(QTreeWidgetItem* item)
{
    if (!dynamic_cast<ListViewItem*>(item) || item->childCount() > 0)
    {
        previewLabel_->setPixmap(emptyPreview_);
        okButton_->setEnabled(false);
        return;
    }
    const ImplantDescription* description = descriptionOf(item);
    if (!description)
        return;
    if (!description->unavailable.isEmpty())
    {
        previewLabel_->setPixmap(emptyPreview_);
        okButton_->setEnabled(false);
        return;
    }
    QString file = description->surfaceFile;
    file.replace(QRegularExpression("\\.sff", QRegularExpression::CaseInsensitiveOption), ".bmp");
    previewLabel_->setPixmap(picture(file, previewLabel_->size()));
    okButton_->setEnabled(true);
}

void HierachyImplantSelectionDialog::selectionChanged(QTreeWidgetItem* item)
{
    auto* row = dynamic_cast<ListViewItem*>(item);
    ImplantDescription* description = row ? descriptionOf(row) : nullptr;
    if (description && description->selected != row->isOn())
    {
        description->selected = row->isOn();
        listsOutOfDate_ = true;
    }
}

bool HierachyImplantSelectionDialog::isMandibleSelected() const
{
    return mandibleButton_->isChecked();
}

void HierachyImplantSelectionDialog::ok()
{
    const auto selected = visibleList()->selectedItems();
    if (selected.isEmpty() || selected.front()->childCount() > 0)
        return;
    const ImplantDescription* description = descriptionOf(selected.front());
    if (!description)
        return;
    // The entry is loaded here, so a broken one is answered before the dialog closes, with the
    // implant it is and why it cannot be had.
    const QString file = QDir(databasePath_).relativeFilePath(description->descriptionFile);
    QString problem;
    if (!description->unavailable.isEmpty())
    {
        QString reason = description->unavailable;
        reason[0] = reason[0].toUpper();
        problem = tr("The implant %1 is not available.\n%2.\nDescription file: %3")
                      .arg(description->fullName(), reason, file);
    }
    else
    {
        QString reason;
        try
        {
            selectedImplant_ =
                Implant::createFromFile(Vexa::Matrix44<double>(), 0, description->descriptionFile.toStdString());
            if (!selectedImplant_)
                reason = tr("The file holds no implant description.");
        }
        catch (const std::exception& e)
        {
            // What the description itself lacks says it best; otherwise the implant's own reason.
            reason = description->faults.isEmpty() ? QString::fromLocal8Bit(e.what()) : description->faults.join("\n");
        }
        if (!reason.isEmpty())
            problem = tr("The implant %1 cannot be loaded.\n%2\nDescription file: %3")
                          .arg(description->fullName(), reason, file);
    }
    if (!problem.isEmpty())
    {
        selectedImplant_.reset();
        MessageDialog message(this, tr("Implant Selection"), problem, MessageDialog::Ok);
        message.exec();
        return;
    }
    QDialog::accept();
}

void HierachyImplantSelectionDialog::cancel()
{
    QDialog::reject();
}
