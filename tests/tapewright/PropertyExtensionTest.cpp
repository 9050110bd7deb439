#include "TapewrightTestSupport.h"

#include "DemoWindow.h"
#include "tapewright/AdapterRegistry.h"
#include "tapewright/PropertyExtension.h"

#include <QComboBox>
#include <QHeaderView>
#include <QListWidget>
#include <QTabBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QTreeWidget>

namespace {

// What playback prints for a property picked at a point: the first extension that answers.
QString picked(QWidget* widget, const QString& property, const QPoint& pos)
{
    for (PropertyExtension* extension : TapewrightSettings::instance().propertyExtensions()) {
        bool offered = false;
        for (const PropertyItem& item : extension->properties(widget))
            offered = offered || item.name() == property;
        if (!offered)
            continue;
        bool prefix = true;
        const QString text = extension->valueText(widget, property, extension->attributesAt(widget, property, pos), &prefix);
        if (!text.isNull())
            return text;
    }
    return QStringLiteral("<none>");
}

QStringList pickAll(int pointSize, QSize size)
{
    QFont font = QApplication::font();
    font.setPointSize(pointSize);
    QApplication::setFont(font);
    DemoWindow window;
    window.resize(size);
    window.show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&window));
    auto* tree = window.findChild<QTreeWidget*>("tree");
    auto* list = window.findChild<QListWidget*>("list");
    auto* table = window.findChild<QTableWidget*>("table");
    QTabBar* tabs = window.findChild<QTabWidget*>("tabs")->tabBar();
    QHeaderView* header = tree->header();
    tree->expandItem(tree->topLevelItem(2));
    const QPoint section(header->sectionViewportPosition(1) + header->sectionSize(1) / 2, header->height() / 2);
    const QPoint treeItem = tree->visualItemRect(tree->topLevelItem(2)).center();
    return {picked(window.findChild<QComboBox*>("combo"), "elements", {}),
            picked(header, "elementAtPoint", section),
            picked(list, "elementAtPoint", list->visualItemRect(list->item(2)).center()),
            picked(tree, "elementAtPoint", treeItem),
            picked(tree, "elementAtPointOpen", treeItem),
            picked(tabs, "elementAtPoint", tabs->tabRect(1).center()),
            picked(table, "elementAtPoint", table->visualItemRect(table->item(2, 1)).center()),
            picked(window.findChild<QWidget*>("edit"), "elementAtPoint", {})};
}

}

TEST(PropertyExtensions, EachPrintsTheSameElementAtFont9AndFont14)
{
    adapterRegistry();
    const QFont original = QApplication::font();
    const QStringList small = pickAll(9, QSize(800, 600));
    const QStringList large = pickAll(14, QSize(1024, 768));
    QApplication::setFont(original);
    const QStringList expected = {"alpha, beta, gamma, delta", "Size", "entry 2", "group 2, 20, group", "1", "Two", "r2c1", "<none>"};
    EXPECT_EQ(small, expected);
    EXPECT_EQ(large, expected);
}

TEST(PropertyExtensions, MissingItemsGiveEmptyTextsAndWrongNamesWarn)
{
    adapterRegistry();
    QTabBar tabs;
    tabs.addTab("only");
    QComboBox empty;
    QListWidget list;
    TapewrightTest::Warnings warnings;
    for (PropertyExtension* extension : TapewrightSettings::instance().propertyExtensions()) {
        bool prefix = true;
        for (QWidget* widget : {static_cast<QWidget*>(&tabs), static_cast<QWidget*>(&list)}) {
            if (extension->properties(widget).isEmpty())
                continue;
            EXPECT_EQ(extension->valueText(widget, "elementAtPoint", {{"id", "7"}}, &prefix), "");
            extension->attributesAt(widget, "wrong", {});
        }
        EXPECT_TRUE(extension->valueText(&empty, "elements", {}, &prefix).isNull());
    }
    EXPECT_EQ(warnings.messages.filter("ASSERT").size(), 2) << warnings.messages.join("\n").toStdString();
}
