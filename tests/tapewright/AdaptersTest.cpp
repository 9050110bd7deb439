#include "TapewrightTestSupport.h"

#include "tapewright/AdapterRegistry.h"
#include "tapewright/ChildListener.h"
#include "tapewright/ErrorReport.h"
#include "tapewright/Recorder.h"
#include "tapewright/RecorderAdapter.h"
#include "tapewright/Script.h"
#include "tapewright/ScriptReader.h"

#include <QBuffer>
#include <QDial>
#include <QHeaderView>
#include <QListWidget>
#include <QMenu>
#include <QMouseEvent>
#include <QScrollBar>
#include <QSignalSpy>
#include <QSlider>
#include <QSpinBox>
#include <QTabBar>
#include <QTableWidget>
#include <QTimeEdit>
#include <QTreeWidget>
#include <QtTest/qtestspontaneevent.h>
#include <algorithm>
#include <functional>

using namespace TapewrightTest;

namespace {

// Records spontaneous mouse input through a real Recorder and plays elements through the
// registry's adapters, the way playback hands them over once it found the widget.
class Adapters : public TapewrightFixture
{
protected:
    void SetUp() override
    {
        TapewrightFixture::SetUp();
        ChildListener::instance();
        setErrorSink([this](bool, const QString& message) { reports << message; });
        top.setObjectName("adTop");
        top.resize(400, 300);
    }
    void TearDown() override { setErrorSink({}); }

    void startRecording()
    {
        buffer.setData({});
        recorder = std::make_unique<Recorder>();
        recorder->start(&buffer);
    }
    // The adapter elements of the recording ("Class::operation" tags).
    QList<QDomElement> stopRecording()
    {
        recorder->stop();
        recorder.reset();
        QDomDocument document;
        EXPECT_TRUE(ScriptReader::parse(buffer.data(), "recorded", document)) << buffer.data().toStdString();
        QList<QDomElement> elements;
        for (const QDomElement& e : ScriptReader::steps(document))
            if (ScriptReader::tag(e).contains("::") || e.tagName().startsWith("Mouse"))
                elements << e;
        return elements;
    }
    static void send(QWidget* widget, QEvent::Type type, QPoint pos, Qt::MouseButtons buttons = Qt::LeftButton,
                     Qt::KeyboardModifiers modifiers = {})
    {
        const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
        QMouseEvent event(type, QPointF(pos), QPointF(widget->mapToGlobal(pos)), button,
                          type == QEvent::MouseButtonRelease ? Qt::NoButton : buttons, modifiers);
        QSpontaneKeyEvent::setSpontaneous(&event);
        qApp->notify(widget, &event);
    }
    static void click(QWidget* widget, QPoint pos)
    {
        send(widget, QEvent::MouseButtonPress, pos);
        send(widget, QEvent::MouseButtonRelease, pos);
    }
    static bool play(QObject* target, const QDomElement& element)
    {
        for (PlayBackAdapter* adapter : adapterRegistry().playBackAdapters())
            if (adapter->play(target, element))
                return true;
        return false;
    }
    static QDomElement parse(const QString& xml)
    {
        static QDomDocument document;
        document.setContent(xml);
        return document.documentElement();
    }
    void show(QWidget* widget, QSize size)
    {
        widget->setParent(&top);
        widget->resize(size);
        top.show();
        widget->show();
        QCoreApplication::processEvents();
    }

    QWidget top;
    QBuffer buffer;
    std::unique_ptr<Recorder> recorder;
    QStringList reports;
};

// Remembers where the mouse presses and releases of a widget landed.
struct Presses : QObject
{
    explicit Presses(QWidget* widget) { widget->installEventFilter(this); }
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonRelease)
            points << static_cast<QMouseEvent*>(event)->position().toPoint();
        return false;
    }
    QList<QPoint> points;
};

}

TEST_F(Adapters, BuiltInsAreAskedInTheirOrder)
{
    QStringList names;
    for (RecorderAdapter* adapter : adapterRegistry().recorderAdapters())
        names << adapter->info().name;
    EXPECT_EQ(names, QStringList({"QDialSetValueAD", "QListBoxScrollAD", "QListBoxSelectAD", "QListViewScrollAD",
                                  "QListViewSelectAD", "QPopupSelectAD", "QScrollBarScrollAD", "QSliderSetValueAD",
                                  "QSpinBoxSetValueAD", "QTabBarSelectAD", "QTableScrollAD"}));
    EXPECT_EQ(adapterRegistry().playBackAdapters().size(), 12);
}

TEST_F(Adapters, SetValueWidgetsRecordTheirOutcome)
{
    auto* slider = new QSlider(Qt::Horizontal);
    slider->setObjectName("slider");
    slider->setRange(0, 100);
    slider->setValue(10);
    show(slider, QSize(100 + slider->style()->pixelMetric(QStyle::PM_SliderLength, nullptr, slider), 30));
    auto* dial = new QDial;
    dial->setObjectName("dial");
    show(dial, QSize(60, 60));
    auto* time = new QTimeEdit(QTime(10, 15, 30));
    time->setObjectName("time");
    time->setDisplayFormat("HH:mm:ss");
    show(time, QSize(120, 30));
    auto* odd = new QDoubleSpinBox;
    odd->setObjectName("odd");
    show(odd, QSize(120, 30));

    startRecording();
    auto at = [slider](int value) {
        const int handle = slider->style()->pixelMetric(QStyle::PM_SliderLength, nullptr, slider);
        return QPoint(QStyle::sliderPositionFromValue(0, 100, value, slider->width() - handle) + handle / 2, 15);
    };
    send(slider, QEvent::MouseButtonPress, at(10));
    for (int v = 20; v <= 60; v += 10)
        send(slider, QEvent::MouseMove, at(v));
    send(slider, QEvent::MouseButtonRelease, at(60));
    send(dial, QEvent::MouseButtonDblClick, QPoint(30, 5));
    const QPoint arrow(time->width() - 6, time->height() / 4);
    click(time, arrow);
    click(odd, QPoint(odd->width() - 6, odd->height() / 4));
    const QList<QDomElement> recorded = stopRecording();

    ASSERT_EQ(recorded.size(), 5);
    EXPECT_EQ(recorded[0].tagName(), "QSlider..setValue");
    EXPECT_EQ(recorded[0].attribute("value"), "60");
    EXPECT_EQ(recorded[1].tagName(), "MouseDblClick") << "a double click on a dial is recorded as it is";
    EXPECT_EQ(ScriptReader::tag(recorded[2]), "qtimeedit::setvalue");
    EXPECT_EQ(recorded[2].attribute("name"), "/adTop/time");
    EXPECT_EQ(QStringList({recorded[2].attribute("hour"), recorded[2].attribute("minute"), recorded[2].attribute("second")}),
              QStringList({"11", "15", "30"}));
    EXPECT_EQ(recorded[3].tagName(), "MousePress") << "another spin box class is recorded the default way";
    EXPECT_TRUE(reports.join('\n').contains("Unknown parent class for QSpinWidget. Parent class was: 'QDoubleSpinBox'"));

    slider->setValue(10);
    QSignalSpy pressed(slider, &QSlider::sliderPressed), moved(slider, &QSlider::sliderMoved),
        released(slider, &QSlider::sliderReleased);
    EXPECT_TRUE(play(slider, recorded[0]));
    EXPECT_EQ(slider->value(), 60);
    EXPECT_EQ(pressed.count() + moved.count() + released.count(), 0);
    EXPECT_TRUE(play(time, parse("<QTimeEdit..setValue hour='7' minute='8' second='9'/>")));
    EXPECT_EQ(time->time(), QTime(7, 8, 9));
}

TEST_F(Adapters, TabsAreFoundByTextThenIdThenIndexAndHitThreePixelsInside)
{
    auto* bar = new QTabBar;
    bar->setObjectName("bar");
    for (const char* text : {"A", "B", "A", "C"})
        bar->addTab(text);
    show(bar, QSize(300, 30));
    startRecording();
    const QRect b = bar->tabRect(1);
    click(bar, b.topLeft() + QPoint(5, 4));
    const QList<QDomElement> recorded = stopRecording();
    ASSERT_EQ(recorded.size(), 2);
    EXPECT_EQ(QStringList({recorded[0].attribute("text"), recorded[0].attribute("id"), recorded[0].attribute("offsetX"),
                           recorded[0].attribute("offsetY")}), QStringList({"B", "1", "5", "4"}));

    Presses presses(bar);
    struct Case { const char* attributes; int tab; bool farCorner; };
    for (const Case& c : {Case {"text='A' id='2' index='2'", 0, false}, Case {"text='gone' id='3' index='1'", 3, false},
                          Case {"id='99' index='2' offsetX='1000' offsetY='1000'", 2, true}}) {
        presses.points.clear();
        EXPECT_TRUE(play(bar, parse(QString("<QTabBar..mouseEvent %1 type='MouseButtonPress' button='Left'/>").arg(c.attributes))));
        ASSERT_EQ(presses.points.size(), 1) << c.attributes;
        const QRect rect = bar->tabRect(c.tab);
        EXPECT_EQ(presses.points[0], c.farCorner ? rect.topLeft() + QPoint(rect.width() - 4, rect.height() - 4)
                                                 : rect.topLeft() + QPoint(3, 3)) << c.attributes;
    }
    EXPECT_TRUE(play(bar, parse("<QTabBar..mouseEvent text='gone' id='-7' index='12345678901' type='MouseButtonPress'/>")));
    EXPECT_TRUE(reports.contains("QTabBar::mouseEvent: unabled to find specified tab"));
}

TEST_F(Adapters, MenuItemsAreTheirIdAndTextAndTriggerEvenWithoutAPress)
{
    QMenu menu;
    menu.setObjectName("menu");
    QList<QAction*> actions {menu.addAction("One"), menu.addSeparator(), menu.addAction("Two"), menu.addAction("Two")};
    menu.popup(QPoint(50, 50));
    QCoreApplication::processEvents();
    std::vector<std::unique_ptr<QSignalSpy>> triggered;
    for (QAction* action : actions)
        triggered.push_back(std::make_unique<QSignalSpy>(action, &QAction::triggered));
    startRecording();
    send(&menu, QEvent::MouseButtonPress, menu.actionGeometry(actions[1]).center());
    send(&menu, QEvent::MouseMove, menu.actionGeometry(actions[3]).center());
    send(&menu, QEvent::MouseButtonRelease, menu.actionGeometry(actions[3]).center());
    const QList<QDomElement> recorded = stopRecording();
    ASSERT_EQ(recorded.size(), 2) << "a press on a separator is not recorded";
    EXPECT_EQ(recorded[1].attribute("id"), "3");
    EXPECT_EQ(triggered[3]->count(), 1);

    // Duplicate texts: the id decides; the release Qt would drop without a press still triggers.
    menu.popup(QPoint(50, 50));
    QCoreApplication::processEvents();
    EXPECT_TRUE(play(&menu, recorded[0]));
    EXPECT_TRUE(play(&menu, recorded[1]));
    EXPECT_EQ(triggered[3]->count(), 2);
    EXPECT_FALSE(menu.isVisible());
    EXPECT_TRUE(play(&menu, parse("<QPopupMenu..mouseEvent id='0' text='One' type='MouseButtonRelease'/>")));
    EXPECT_EQ(triggered[0]->count(), 1) << "an item off the screen is triggered without an event";
    for (const char* id : {"99", "1", "-1"})
        EXPECT_TRUE(play(&menu, parse(QString("<QPopupMenu..Select id='%1'/>").arg(id))));
    EXPECT_EQ(triggered[0]->count() + triggered[2]->count() + triggered[3]->count(), 3);
}

namespace {

QTreeWidget* makeTree(int columnWidth)
{
    auto* tree = new QTreeWidget;
    tree->setObjectName("tree");
    tree->setColumnCount(3);
    for (const char* text : {"a", "b", "same", "same", "c"})
        new QTreeWidgetItem(tree, {text, QString(text) + "1", QString(text) + "2"});
    for (int c = 0; c < 3; ++c)
        tree->setColumnWidth(c, columnWidth);
    return tree;
}

}

TEST_F(Adapters, TreeClicksKeepItemColumnAndOffsetAndGesturesBringASnapshot)
{
    QTreeWidget* recordedTree = makeTree(60);
    show(recordedTree, QSize(300, 200));
    startRecording();
    const QRect b = recordedTree->visualRect(recordedTree->model()->index(1, 2));
    click(recordedTree->viewport(), b.topLeft() + QPoint(7, 3));
    // The second of two identical siblings, chosen in code, then a press and release below the items.
    recordedTree->topLevelItem(3)->setSelected(true);
    recordedTree->setCurrentItem(recordedTree->topLevelItem(3), 0, QItemSelectionModel::NoUpdate);
    click(recordedTree->viewport(), QPoint(10, 180));
    const QList<QDomElement> recorded = stopRecording();
    auto state = [](QTreeWidget* tree) {
        QList<int> selected;
        for (QTreeWidgetItem* item : tree->selectedItems())
            selected << tree->indexOfTopLevelItem(item);
        return std::make_pair(selected, tree->indexOfTopLevelItem(tree->currentItem()));
    };
    const auto expected = state(recordedTree);
    ASSERT_EQ(recorded.size(), 4);
    EXPECT_EQ(recorded[0].attribute("column"), "2");
    EXPECT_TRUE(recorded[2].firstChildElement("ChildPath").isNull()) << "the empty-area release names no item";
    EXPECT_EQ(ScriptReader::tag(recorded[3]), "qlistview::ensureselected");
    delete recordedTree;

    QTreeWidget* tree = makeTree(140);
    show(tree, QSize(500, 300));
    Presses presses(tree->viewport());
    EXPECT_TRUE(play(tree, recorded[0]));
    ASSERT_EQ(presses.points.size(), 1);
    EXPECT_EQ(tree->indexAt(presses.points[0]), tree->model()->index(1, 2)) << "same item and column, wider columns";
    EXPECT_EQ(presses.points[0] - tree->visualRect(tree->model()->index(1, 2)).topLeft(), QPoint(7, 3));
    for (int i = 1; i < 4; ++i)
        EXPECT_TRUE(play(tree, recorded[i]));
    EXPECT_EQ(state(tree), expected);
    EXPECT_EQ(expected.second, 3);

    // A snapshot of a tree deeper than snapshots are played holds only the levels played, so
    // that the recording stays within what the script reader reads.
    QTreeWidgetItem* item = tree->topLevelItem(0);
    for (int level = 1; level < 100; ++level)
        item = new QTreeWidgetItem(item, {"deep"});
    startRecording();
    click(tree->viewport(), QPoint(10, 250));
    const QList<QDomElement> deep = stopRecording();
    ASSERT_FALSE(deep.isEmpty());
    EXPECT_EQ(ScriptReader::tag(deep.last()), "qlistview::ensureselected");
    int levels = 0;
    for (QDomElement child = deep.last().firstChildElement("Child"); !child.isNull(); child = child.firstChildElement("Child"))
        ++levels;
    EXPECT_EQ(levels, 64);
}

// Elements a list view or list box cannot use print the assertion of their kind; the usable
// entries of a snapshot are still applied.
TEST_F(Adapters, UnusableSnapshotEntriesPrintTheirAssertionAndTheRestIsApplied)
{
    auto* slider = new QSlider;
    show(slider, QSize(20, 100));
    auto* list = new QListWidget;
    list->setSelectionMode(QAbstractItemView::MultiSelection);
    list->addItems({"a", "b", "c"});
    show(list, QSize(100, 100));
    const QString view = R"x(ASSERT: "obj->inherits("QListView")" in ..\plugins\QListViewSelect\QListViewSelectAD (%1))x";
    const QString box = R"x(ASSERT: "%1" in ..\plugins\QListBoxSelect\QListBoxSelectAD (%2))x";
    const QString index = R"x(childElm.hasAttribute( QString::fromLatin1( "index" ) ))x";
    const QString selected = R"x(childElm.hasAttribute( QString::fromLatin1( "selected" ) ))x";
    const QString current = R"x(elm.hasAttribute( QString::fromLatin1( "currentIndex" ) ))x";
    const struct
    {
        QWidget* target;
        QString xml, warning;
        QList<int> selectedRows; // the list's selection and current row afterwards
        int currentRow;
    } cases[] = {
        {slider, "<QListView..mouseEvent type='MouseButtonPress' button='1'/>", view.arg(136), {}, -1},
        {slider, "<QListView..ensureSelected><Child col0='a' selected='1'/></QListView..ensureSelected>", view.arg(203), {}, -1},
        {list, "<QListBox..ensureSelected currentIndex='1'><selectInfo selected='1'/><selectInfo index='2' selected='1'/></QListBox..ensureSelected>",
         box.arg(index).arg(243), {2}, 1},
        {list, "<QListBox..ensureSelected currentName='a'><selectInfo text='b'/><selectInfo text='c' selected='0'/></QListBox..ensureSelected>",
         box.arg(selected).arg(250), {}, 0},
        {list, "<QListBox..ensureSelected currentName='gone'><selectInfo text='gone' index='1' selected='1'/></QListBox..ensureSelected>",
         box.arg(current).arg(266), {1}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.xml.toStdString());
        Warnings warnings;
        EXPECT_TRUE(play(c.target, parse(c.xml)));
        EXPECT_EQ(warnings.messages, QStringList{c.warning});
        if (c.target != list)
            continue;
        QList<int> rows;
        for (QListWidgetItem* item : list->selectedItems())
            rows << list->row(item);
        std::sort(rows.begin(), rows.end());
        EXPECT_EQ(rows, c.selectedRows);
        EXPECT_EQ(list->currentRow(), c.currentRow);
    }
}

TEST_F(Adapters, APressOnTheEmptyAreaOfThirtyThousandRowsRecordsASnapshotThatReplays)
{
    // A list box (four parts a row in its snapshot) and a two-column tree (four too).
    const auto makeList = [] {
        auto* list = new QListWidget;
        list->setSelectionMode(QAbstractItemView::ExtendedSelection);
        for (int i = 0; i < 30000; ++i)
            list->addItem(QString("row %1").arg(i));
        return static_cast<QAbstractItemView*>(list);
    };
    const auto makeWideTree = [](int columns, int rows) {
        auto* tree = new QTreeWidget;
        tree->setColumnCount(columns);
        tree->setSelectionMode(QAbstractItemView::ExtendedSelection);
        tree->header()->setStretchLastSection(false);
        QList<QTreeWidgetItem*> items;
        for (int i = 0; i < rows; ++i)
            items << new QTreeWidgetItem(QStringList {QString("row %1").arg(i), "x"});
        tree->addTopLevelItems(items);
        for (int c = 0; c < columns; ++c)
            tree->setColumnWidth(c, 4);
        return static_cast<QAbstractItemView*>(tree);
    };
    const auto state = [](QAbstractItemView* view) {
        QList<int> selected;
        for (const QModelIndex& index : view->selectionModel()->selectedRows())
            selected << index.row();
        std::sort(selected.begin(), selected.end());
        return std::make_pair(selected, view->currentIndex().row());
    };
    const struct
    {
        std::function<QAbstractItemView*()> make;
        const char* snapshot;   // the tag recorded, null: the press on the empty area as it is
    } cases[] = {
        {makeList, "qlistbox::ensureselected"},
        {[&] { return makeWideTree(2, 30000); }, "qlistview::ensureselected"},
        // One attribute a column: past what a script element may hold.
        {[&] { return makeWideTree(Script::maxAttributes, 3); }, nullptr},
    };
    for (const auto& c : cases) {
        QAbstractItemView* recordedView = c.make();
        recordedView->setObjectName("rows");
        show(recordedView, QSize(300, 200));
        const int rows = recordedView->model()->rowCount();
        recordedView->selectionModel()->select(recordedView->model()->index(1, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
        recordedView->selectionModel()->select(recordedView->model()->index(rows - 2, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
        recordedView->selectionModel()->setCurrentIndex(recordedView->model()->index(rows - 1, 0), QItemSelectionModel::NoUpdate);
        // Below the last row (a view scrolled by whole rows leaves a strip there) or right of the columns.
        QPoint empty;
        for (int height = 200; height < 240 && empty.isNull(); ++height) {
            recordedView->resize(300, height);
            recordedView->scrollToBottom();
            QCoreApplication::processEvents();
            for (const QPoint at : {QPoint(recordedView->viewport()->width() - 3, 3), QPoint(3, recordedView->viewport()->height() - 2)})
                if (empty.isNull() && !recordedView->indexAt(at).isValid())
                    empty = at;
        }
        ASSERT_FALSE(empty.isNull());
        const auto expected = state(recordedView);
        startRecording();
        click(recordedView->viewport(), empty);
        const QList<QDomElement> recorded = stopRecording();
        ASSERT_FALSE(recorded.isEmpty());
        delete recordedView;
        if (!c.snapshot) {
            EXPECT_EQ(recorded.last().tagName(), "MouseRelease");
            continue;
        }
        EXPECT_EQ(ScriptReader::tag(recorded.last()).toStdString(), c.snapshot);

        QAbstractItemView* view = c.make();
        view->setObjectName("rows");
        show(view, QSize(300, 200));
        ASSERT_NE(state(view), expected);
        EXPECT_TRUE(play(view, recorded.last()));
        EXPECT_EQ(state(view), expected);
        delete view;
    }
}

TEST_F(Adapters, ListItemsByUniqueTextElseIndexAndInvisibleOnesScrolledTo)
{
    auto* list = new QListWidget;
    list->setObjectName("list");
    for (int i = 0; i < 100; ++i)
        list->addItem(i == 40 ? "moved" : i == 7 || i == 9 ? "twin" : QString("e%1").arg(i));
    show(list, QSize(120, 100));
    Presses presses(list->viewport());
    struct Case { const char* attributes; int row; };
    for (const Case& c : {Case {"itemIndex='3' itemText='moved'", 40}, Case {"itemIndex='9' itemText='twin'", 9},
                          Case {"itemIndex='77' itemText='gone'", 77}}) {
        presses.points.clear();
        EXPECT_TRUE(play(list, parse(QString("<QListBox..mouseEvent %1 offsetX='500' offsetY='2' type='MouseButtonPress' button='Left'/>")
                                         .arg(c.attributes))));
        ASSERT_EQ(presses.points.size(), 1) << c.attributes;
        const QRect rect = list->visualRect(list->model()->index(c.row, 0));
        EXPECT_EQ(presses.points[0], QPoint(rect.right() - 2, rect.top() + 2)) << c.attributes;
    }
    list->scrollToTop();
    presses.points.clear();
    EXPECT_TRUE(play(list, parse("<QListBox..mouseEvent itemIndex='90' type='MouseMove'/>")));
    EXPECT_EQ(list->indexAt(QPoint(0, 0)).row(), 0) << "a plain move to an invisible item is skipped";

    // An empty list box records index -1 for its top.
    auto* empty = new QListWidget;
    empty->setObjectName("empty");
    show(empty, QSize(100, 100));
    startRecording();
    send(empty->verticalScrollBar(), QEvent::MouseButtonPress, QPoint(3, 50));
    send(empty->verticalScrollBar(), QEvent::MouseButtonRelease, QPoint(3, 50));
    const QList<QDomElement> recorded = stopRecording();
    ASSERT_EQ(recorded.size(), 1);
    EXPECT_EQ(recorded[0].attribute("index"), "-1");
    EXPECT_FALSE(recorded[0].hasAttribute("yOffset"));
}

TEST_F(Adapters, ScrolledViewsKeepTheirTopItemAcrossFontsInBothScrollModes)
{
    auto build = [this](const char* kind, int pointSize) -> QAbstractItemView* {
        QAbstractItemView* view;
        if (QString(kind) == "list") {
            auto* list = new QListWidget;
            for (int i = 0; i < 200; ++i)
                list->addItem(QString("row %1").arg(i));
            view = list;
        } else if (QString(kind) == "tree") {
            auto* tree = new QTreeWidget;
            for (int i = 0; i < 200; ++i)
                new QTreeWidgetItem(tree, {QString("row %1").arg(i)});
            view = tree;
        } else {
            auto* table = new QTableWidget(200, 30);
            view = table;
        }
        view->setObjectName(kind);
        QFont font = view->font();
        font.setPointSize(pointSize);
        view->setFont(font);
        show(view, QSize(200 + pointSize * 10, 150 + pointSize * 10));
        return view;
    };
    for (auto mode : {QAbstractItemView::ScrollPerItem, QAbstractItemView::ScrollPerPixel}) {
        for (const char* kind : {"list", "tree", "table"}) {
            QAbstractItemView* small = build(kind, 9);
            small->setVerticalScrollMode(mode);
            small->verticalScrollBar()->setValue(mode == QAbstractItemView::ScrollPerItem ? 37 : 37 * 20 + 5);
            startRecording();
            click(small->verticalScrollBar(), QPoint(2, 2));
            const QList<QDomElement> recorded = stopRecording();
            const int topRow = small->indexAt(QPoint(1, 1)).row();
            ASSERT_EQ(recorded.size(), 1) << kind;
            delete small;
            QAbstractItemView* large = build(kind, 14);
            large->setVerticalScrollMode(mode);
            EXPECT_TRUE(play(large, recorded[0]));
            EXPECT_EQ(large->indexAt(QPoint(1, 1)).row(), topRow) << kind << " mode " << mode;
            delete large;
        }
    }
    auto* bar = new QScrollBar(Qt::Horizontal);
    bar->setObjectName("free");
    show(bar, QSize(200, 16));
    startRecording();
    send(bar, QEvent::MouseButtonPress, QPoint(20, 8));
    send(bar, QEvent::MouseButtonDblClick, QPoint(20, 8));
    send(bar, QEvent::MouseMove, QPoint(120, 8));
    send(bar, QEvent::MouseButtonRelease, QPoint(120, 8));
    const QList<QDomElement> recorded = stopRecording();
    ASSERT_EQ(recorded.size(), 1) << "a free scroll bar drag is one element";
    EXPECT_EQ(recorded[0].attribute("value").toInt(), bar->value());
}

TEST_F(Adapters, HostileElementsAreReportedAndConsumed)
{
    QTreeWidget* tree = makeTree(60);
    show(tree, QSize(300, 200));
    auto* list = new QListWidget;
    list->addItems({"x", "y"});
    show(list, QSize(100, 100));
    auto* table = new QTableWidget(3, 3);
    show(table, QSize(100, 100));
    auto* slider = new QSlider;
    show(slider, QSize(20, 100));
    QString deep = "<QListView..ensureSelected>";
    for (int i = 0; i < 1000; ++i)
        deep += "<Child col0='a' selected='1' current='1'>";
    for (int i = 0; i < 1000; ++i)
        deep += "</Child>";
    deep += "</QListView..ensureSelected>";
    const QStringList elements {
        deep,
        "<QListView..mouseEvent type='KeyPress' column='99999'><ChildPath><Child index='2147483647'/></ChildPath></QListView..mouseEvent>",
        "<QListView..mouseEvent type='MouseButtonPress' column='-5' offsetX='-2147483648' offsetY='2147483647'/>",
        "<QListView..scrollTo index='2147483647' column='99999' xOffset='-9'/>",
        "<QListBox..mouseEvent type='MouseButtonPress' itemIndex='2147483647' offsetX='2147483647'/>",
        "<QListBox..ensureSelected currentIndex='-9'><selectInfo index='99999' selected='1'/><bogus/></QListBox..ensureSelected>",
        "<QListBox..scrollTo index='-2' xVal='99999999'/>",
        "<QTable..scrollTo row='2147483647' column='-3'/>",
        "<QTabBar..mouseEvent type='Paint' index='0'/>",
        "<QPopupMenu..mouseEvent type='MouseButtonRelease' id='5'/>",
        "<QSpinBox..setValue value='x'/>",
        "<QDateEdit..setValue year='-99999' month='13' day='99'/>",
    };
    for (QWidget* target : std::initializer_list<QWidget*> {tree, list, table, slider}) {
        for (const QString& xml : elements)
            EXPECT_TRUE(play(target, parse(xml))) << xml.left(60).toStdString();
    }
    EXPECT_TRUE(reports.join('\n').contains("Tag=QTable::scrollTo but widget was of class QTreeWidget"));
    EXPECT_TRUE(reports.join('\n').contains("Not a mouse event type"));
    EXPECT_EQ(tree->selectedItems().size(), 1) << "only the levels within reach of a snapshot are applied";
}
