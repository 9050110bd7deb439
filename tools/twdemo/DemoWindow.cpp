#include "DemoWindow.h"

#include "tapewright/ChildListener.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QDial>
#include <QDialog>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QHeaderView>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>
#include <QTableWidget>
#include <QTimeEdit>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

template<class W, class... Args>
W* named(const char* name, Args&&... args)
{
    W* widget = new W(std::forward<Args>(args)...);
    widget->setObjectName(QLatin1String(name));
    return widget;
}

// "Parent/Child" text of a tree item, unique in the demo's tree.
QString itemText(const QTreeWidgetItem* item)
{
    QString text = item ? item->text(0) : QString();
    for (const QTreeWidgetItem* p = item ? item->parent() : nullptr; p; p = p->parent())
        text = p->text(0) + QLatin1Char('/') + text;
    return text;
}

}

DemoWindow::DemoWindow(QWidget* parent) : QMainWindow(parent)
{
    setObjectName(QStringLiteral("twdemo"));
    setWindowTitle(QStringLiteral("twdemo"));
    setCentralWidget(buildCentral());
    buildMenu();
    buildDialog();
    QWidget* previous = nullptr;
    for (const QString& name : widgetNames()) {
        QWidget* widget = findChild<QWidget*>(name);
        if (previous)
            setTabOrder(previous, widget);
        previous = widget;
    }
}

QStringList DemoWindow::widgetNames()
{
    return {QStringLiteral("edit"),   QStringLiteral("check"),  QStringLiteral("combo"), QStringLiteral("spin"),
            QStringLiteral("date"),   QStringLiteral("time"),   QStringLiteral("slider"), QStringLiteral("dial"),
            QStringLiteral("scroll"), QStringLiteral("tabs"),   QStringLiteral("tree"),  QStringLiteral("list"),
            QStringLiteral("table"),  QStringLiteral("openDialog")};
}

QWidget* DemoWindow::buildCentral()
{
    auto* central = named<QWidget>("central");
    auto* grid = new QGridLayout(central);

    edit_ = named<QLineEdit>("edit");
    check_ = named<QCheckBox>("check", QStringLiteral("Check"));
    combo_ = named<QComboBox>("combo");
    combo_->addItems({QStringLiteral("alpha"), QStringLiteral("beta"), QStringLiteral("gamma"), QStringLiteral("delta")});
    spin_ = named<QSpinBox>("spin");
    spin_->setRange(0, 100);
    date_ = named<QDateEdit>("date", QDate(2024, 1, 15));
    time_ = named<QTimeEdit>("time", QTime(10, 15, 30));
    time_->setDisplayFormat(QStringLiteral("HH:mm:ss"));
    slider_ = named<QSlider>("slider", Qt::Horizontal);
    slider_->setRange(0, 100);
    slider_->setValue(10);
    dial_ = named<QDial>("dial");
    dial_->setRange(0, 100);
    scroll_ = named<QScrollBar>("scroll", Qt::Horizontal);
    scroll_->setRange(0, 100);
    tabs_ = named<QTabWidget>("tabs");
    for (const char* tab : {"One", "Two", "Three"})
        tabs_->addTab(new QLabel(QStringLiteral("Page %1").arg(QLatin1String(tab))), QLatin1String(tab));
    openDialog_ = named<QPushButton>("openDialog", QStringLiteral("Open dialog..."));
    connect(openDialog_, &QPushButton::clicked, this, &DemoWindow::openDialog);

    tree_ = named<QTreeWidget>("tree");
    tree_->setColumnCount(3);
    tree_->setHeaderLabels({QStringLiteral("Name"), QStringLiteral("Size"), QStringLiteral("Kind")});
    for (int i = 0; i < 30; ++i) {
        auto* top = new QTreeWidgetItem(tree_, {QStringLiteral("group %1").arg(i), QString::number(i * 10), QStringLiteral("group")});
        for (int j = 0; j < 3; ++j) {
            auto* child = new QTreeWidgetItem(top, {QStringLiteral("item %1.%2").arg(i).arg(j), QString::number(j), QStringLiteral("item")});
            if (j == 0)
                new QTreeWidgetItem(child, {QStringLiteral("leaf %1").arg(i), QStringLiteral("1"), QStringLiteral("leaf")});
        }
    }
    list_ = named<QListWidget>("list");
    list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    for (int i = 0; i < 80; ++i)
        list_->addItem(QStringLiteral("entry %1").arg(i));
    list_->setContextMenuPolicy(Qt::ActionsContextMenu);
    mark_ = named<QAction>("mark", QStringLiteral("Mark"), list_);
    list_->addAction(mark_);
    connect(mark_, &QAction::triggered, this, [this] { ++marks_; });
    table_ = named<QTableWidget>("table", 40, 4);
    for (int r = 0; r < 40; ++r)
        for (int c = 0; c < 4; ++c)
            table_->setItem(r, c, new QTableWidgetItem(QStringLiteral("r%1c%2").arg(r).arg(c)));

    grid->addWidget(edit_, 0, 0);
    grid->addWidget(check_, 0, 1);
    grid->addWidget(combo_, 0, 2);
    grid->addWidget(spin_, 0, 3);
    grid->addWidget(date_, 1, 0);
    grid->addWidget(time_, 1, 1);
    grid->addWidget(slider_, 1, 2);
    grid->addWidget(dial_, 1, 3, 2, 1);
    grid->addWidget(scroll_, 2, 0, 1, 2);
    grid->addWidget(openDialog_, 2, 2);
    grid->addWidget(tabs_, 3, 0, 1, 4);
    grid->addWidget(tree_, 4, 0, 1, 2);
    grid->addWidget(list_, 4, 2);
    grid->addWidget(table_, 4, 3);
    grid->setRowStretch(4, 1);
    return central;
}

void DemoWindow::buildMenu()
{
    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    file->setObjectName(QStringLiteral("fileMenu"));
    save_ = file->addAction(QStringLiteral("&Save"));
    save_->setObjectName(QStringLiteral("save"));
    save_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    connect(save_, &QAction::triggered, this, [this] { ++saves_; });
    QAction* quit = file->addAction(QStringLiteral("&Quit"));
    quit->setObjectName(QStringLiteral("quit"));
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(quit, &QAction::triggered, this, &QWidget::close);
}

void DemoWindow::buildDialog()
{
    dialog_ = named<QDialog>("dialog", this);
    dialog_->setWindowTitle(QStringLiteral("dialog"));
    dialog_->setModal(true);
    auto* layout = new QVBoxLayout(dialog_);
    dialogEdit_ = named<QLineEdit>("dialogEdit");
    auto* ok = named<QPushButton>("ok", QStringLiteral("OK"));
    auto* cancel = named<QPushButton>("cancel", QStringLiteral("Cancel"));
    ok->setDefault(true);
    auto* buttons = named<QDialogButtonBox>("buttons");
    buttons->addButton(ok, QDialogButtonBox::AcceptRole);
    buttons->addButton(cancel, QDialogButtonBox::RejectRole);
    layout->addWidget(dialogEdit_);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, dialog_, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, dialog_, &QDialog::reject);
    connect(dialog_, &QDialog::accepted, this, [this] {
        ++accepts_;
        lastText_ = dialogEdit_->text();
    });
    connect(dialog_, &QDialog::rejected, this, [this] { ++rejects_; });
}

void DemoWindow::openDialog()
{
    dialogEdit_->clear();
    dialog_->exec();
}

QJsonObject DemoWindow::widgetRects()
{
    QJsonObject rects;
    QList<QWidget*> widgets {this};
    for (const QString& name : widgetNames())
        widgets << findChild<QWidget*>(name);
    for (QWidget* widget : widgets) {
        const QPoint origin = widget->mapToGlobal(QPoint(0, 0));
        rects.insert(widget->objectName(),
                     QJsonObject {{QStringLiteral("path"), ChildListener::instance()->childName(widget)},
                                  {QStringLiteral("rect"), QJsonArray {origin.x(), origin.y(), widget->width(), widget->height()}}});
    }
    return rects;
}

QJsonObject DemoWindow::state() const
{
    // Selections in item text order, so that the order they were made in does not count.
    auto texts = [](const auto& items, auto text) {
        QStringList list;
        for (const auto* item : items)
            list << text(item);
        list.sort();
        return QJsonArray::fromStringList(list);
    };
    QJsonArray expanded;
    for (QTreeWidgetItemIterator it(tree_); *it; ++it)
        if ((*it)->isExpanded())
            expanded.append(itemText(*it));
    const QListWidgetItem* listTop = list_->itemAt(0, 0);
    const QTableWidgetItem* tableCurrent = table_->currentItem();
    return {
        {QStringLiteral("edit"), QJsonObject {{QStringLiteral("text"), edit_->text()}}},
        {QStringLiteral("check"), QJsonObject {{QStringLiteral("checked"), check_->isChecked()}}},
        {QStringLiteral("combo"), QJsonObject {{QStringLiteral("index"), combo_->currentIndex()}, {QStringLiteral("text"), combo_->currentText()}}},
        {QStringLiteral("spin"), QJsonObject {{QStringLiteral("value"), spin_->value()}}},
        {QStringLiteral("date"), QJsonObject {{QStringLiteral("date"), date_->date().toString(Qt::ISODate)}}},
        {QStringLiteral("time"), QJsonObject {{QStringLiteral("time"), time_->time().toString(QStringLiteral("HH:mm:ss"))}}},
        {QStringLiteral("slider"), QJsonObject {{QStringLiteral("value"), slider_->value()}}},
        {QStringLiteral("dial"), QJsonObject {{QStringLiteral("value"), dial_->value()}}},
        {QStringLiteral("scroll"), QJsonObject {{QStringLiteral("value"), scroll_->value()}}},
        {QStringLiteral("tabs"), QJsonObject {{QStringLiteral("index"), tabs_->currentIndex()}}},
        {QStringLiteral("tree"), QJsonObject {
             {QStringLiteral("current"), itemText(tree_->currentItem())},
             {QStringLiteral("selected"), texts(tree_->selectedItems(), itemText)},
             {QStringLiteral("expanded"), expanded},
             {QStringLiteral("topRow"), itemText(tree_->itemAt(0, 0))}}},
        {QStringLiteral("list"), QJsonObject {
             {QStringLiteral("current"), list_->currentItem() ? list_->currentItem()->text() : QString()},
             {QStringLiteral("selected"), texts(list_->selectedItems(), [](const QListWidgetItem* i) { return i->text(); })},
             {QStringLiteral("topRow"), listTop ? listTop->text() : QString()}}},
        {QStringLiteral("table"), QJsonObject {
             {QStringLiteral("current"), tableCurrent ? tableCurrent->text() : QString()},
             {QStringLiteral("selected"), texts(table_->selectedItems(), [](const QTableWidgetItem* i) { return i->text(); })},
             {QStringLiteral("topRow"), table_->rowAt(0)}}},
        {QStringLiteral("save"), QJsonObject {{QStringLiteral("triggered"), saves_}}},
        {QStringLiteral("mark"), QJsonObject {{QStringLiteral("triggered"), marks_}}},
        {QStringLiteral("dialog"), QJsonObject {{QStringLiteral("accepts"), accepts_}, {QStringLiteral("rejects"), rejects_}, {QStringLiteral("lastText"), lastText_}}},
    };
}
