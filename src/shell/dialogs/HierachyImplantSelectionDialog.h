#pragma once
// "Implant Selection": the implant database as a tree (company, family, one check row per size)
// or as the user's short list, a picture of the chosen size and the jaw. The short list is kept
// in "selection.db" in the database folder, replaced as a whole when a dialog closes.
//
// The database is read once per process; only that data is shared between dialogs, each of which
// builds its own lists (and comes back to the show mode and row the last one left). OK creates
// the chosen implant; an entry that does not load is answered with a message naming the implant,
// its sizes and the reason, and the dialog stays. An implant whose picture or surface is missing
// is left out of the tree but stays on the short list, named there as not available.
#include "shell/dialogs/Dialog.h"
#include "shell/dialogs/ImplantDescription.h"

#include <QPixmap>
#include <map>
#include <memory>

class Implant;
class QDir;
class QLabel;
class QPushButton;
class QRadioButton;
class QStackedWidget;
class QTreeWidget;
class QTreeWidgetItem;

class HierachyImplantSelectionDialog : public Dialog
{
    Q_OBJECT

public:
    static constexpr const char* selectionFileName = "selection.db";

    HierachyImplantSelectionDialog(const QString& databasePath, bool mandible, QWidget* parent);
    // Saves the short list.
    ~HierachyImplantSelectionDialog() override;

    // The implant OK created; null before an accepted OK.
    std::shared_ptr<Implant> getSelectedImplant() const { return selectedImplant_; }
    bool isMandibleSelected() const;

    // Drops the process-wide data, so the next dialog reads the database again (as after a
    // restart).
    static void forgetDatabase();

public slots:
    virtual void ok();
    virtual void cancel();
    void changeShowMode();
    void itemChanged(QTreeWidgetItem* item);
    void itemChanged();
    void selectionChanged(QTreeWidgetItem* item);

private:
    using ItemMap = std::map<QTreeWidgetItem*, ImplantDescription*>;

    QTreeWidget* makeList(bool tree);
    static void loadImplantDescriptions(const QDir& folder);
    // The implant a line of the short list names; null when none of the database's fits.
    ImplantDescription* resolveSelectionLine(const QString& line) const;
    void readSelectionFile();
    void writeSelectionFile();
    void buildImplantList();
    void buildSelectedImplantList();
    void updateImplantLists();
    void updateShowMode();
    QTreeWidget* visibleList() const;
    ImplantDescription* descriptionOf(QTreeWidgetItem* item) const;

    QStackedWidget* listStack_ = nullptr;
    QTreeWidget* allImplantsList_ = nullptr;
    QTreeWidget* selectedImplantsList_ = nullptr;
    ItemMap allItemDescriptions_;
    ItemMap selectedItemDescriptions_;
    QPushButton* showModeButton_ = nullptr;
    QLabel* previewLabel_ = nullptr;
    QPixmap emptyPreview_;
    QRadioButton* maxillaButton_ = nullptr;
    QRadioButton* mandibleButton_ = nullptr;
    QPushButton* okButton_ = nullptr;
    QString databasePath_;
    QPixmap checkedPixmap_;
    QPixmap uncheckedPixmap_;
    bool listsOutOfDate_ = false;
    std::shared_ptr<Implant> selectedImplant_;
};
