#include "TapewrightTestSupport.h"

#include "tapewright/ChildListener.h"
#include "tapewright/ErrorReport.h"
#include "tapewright/ItemPath.h"

#include <QSignalSpy>
#include <QTimer>
#include <QTreeWidget>
#include <QWindow>
#include <memory>
#include <new>

using namespace TapewrightTest;

namespace {

ChildListener* listener() { return ChildListener::instance(); }
QString path(QObject* object) { return listener()->childName(object); }

std::unique_ptr<QObject> object(const char* name, QObject* parent = nullptr)
{
    auto o = std::make_unique<QObject>(parent);
    o->setObjectName(QLatin1String(name));
    return o;
}

}

TEST_F(TapewrightFixture, PathsCountUpReuseAndKeepParentsFirst)
{
    auto dlg = object("Dlg");
    auto* first = new QObject(dlg.get());
    auto* second = new QObject(dlg.get());
    EXPECT_EQ(path(second), "/Dlg/unnamed") << "the parent is registered first, then the child";
    EXPECT_EQ(path(first), "/Dlg/unnamed1");
    EXPECT_EQ(path(new QObject(first)), "/Dlg/unnamed1/unnamed");
    delete second;
    EXPECT_EQ(path(new QObject(dlg.get())), "/Dlg/unnamed");
    auto slash = object("a/b", dlg.get());
    EXPECT_EQ(path(slash.get()), "/Dlg/a_b");
    slash->setObjectName("renamed");
    EXPECT_EQ(path(slash.get()), "/Dlg/a_b") << "a path is given once";
    Warnings warnings;
    EXPECT_TRUE(path(nullptr).isNull());
    ASSERT_EQ(warnings.messages.size(), 1);
    EXPECT_TRUE(warnings.messages[0].startsWith("ASSERT: \"obj\""));
}

TEST_F(TapewrightFixture, NamesSetAfterConstructionAreUsed)
{
    ASSERT_NE(listener(), nullptr) << "listening from here on";
    QWidget top;
    top.setObjectName("lateTop");
    auto* child = new QWidget(&top);
    child->setObjectName("late");
    QCoreApplication::processEvents();
    EXPECT_EQ(listener()->findChild("/lateTop/late"), child);
}

TEST_F(TapewrightFixture, IgnoredObjectsAndWindowsGetNoPathAndAddressesAreNotInherited)
{
    auto ignored = object("ignoredTop");
    auto* below = new QObject(ignored.get());
    listener()->ignoreObject(ignored.get());
    EXPECT_TRUE(path(ignored.get()).isNull());
    EXPECT_TRUE(path(below).isNull());
    QWidget shown;
    shown.show();
    ASSERT_NE(shown.windowHandle(), nullptr);
    EXPECT_TRUE(path(shown.windowHandle()).isNull());

    // A new object at the address of an ignored one, and of one that kept a null name.
    alignas(QObject) unsigned char storage[sizeof(QObject)];
    for (bool ignoreIt : {true, false}) {
        auto* old = new (storage) QObject(ignoreIt ? nullptr : ignored.get());
        if (ignoreIt)
            listener()->ignoreObject(old);
        EXPECT_TRUE(path(old).isNull());
        old->~QObject();
        auto* recycled = new (storage) QObject;
        recycled->setObjectName("recycled");
        EXPECT_EQ(path(recycled), "/recycled");
        recycled->~QObject();
    }
}

TEST_F(TapewrightFixture, LookupWaitsForLateObjectsThenGivesUpWithoutStaleWakeUps)
{
    QSignalSpy wake(listener(), SIGNAL(event()));
    QSignalSpy missing(listener(), &ChildListener::unableToFindChild);
    bool waiting = false;

    // Created 300 ms late: found well before the time-out.
    std::unique_ptr<QWidget> late;
    QTimer::singleShot(300, [&] {
        late = std::make_unique<QWidget>();
        late->setObjectName("late300");
        late->show();
    });
    EXPECT_EQ(listener()->findChild("/late300", &waiting), nullptr);
    EXPECT_TRUE(waiting);
    ASSERT_TRUE(wake.wait(3000));
    EXPECT_EQ(listener()->findChild("/late300", &waiting), late.get());
    EXPECT_FALSE(waiting);

    // Never created: the timer ends the wait, the next lookup gives up, later ones return at once.
    TapewrightSettings::instance().setCreationTimeOut(100);
    EXPECT_EQ(listener()->findChild("/never", &waiting), nullptr);
    ASSERT_TRUE(wake.wait(3000));
    EXPECT_EQ(listener()->findChild("/never", &waiting), nullptr);
    EXPECT_FALSE(waiting);
    ASSERT_EQ(missing.count(), 1);
    EXPECT_EQ(missing.takeFirst().at(0).toString(), "/never");
    EXPECT_EQ(listener()->findChild("/never", &waiting), nullptr);
    EXPECT_TRUE(missing.isEmpty());

    // Objects taking those paths later wake nobody; a destroyed object's path returns at once.
    wake.clear();
    auto again = std::make_unique<QWidget>();
    again->setObjectName("never");
    again->show();
    late.reset();
    QTest::qWait(150);
    EXPECT_TRUE(wake.isEmpty());
    EXPECT_EQ(listener()->findChild("/late300", &waiting), nullptr);
    EXPECT_FALSE(waiting);

    // Without waiting the path asked for is given up at once and remembered.
    TapewrightSettings::instance().setCreationTimeOut(-1);
    EXPECT_EQ(listener()->findChild("/nowait", &waiting), nullptr);
    TapewrightSettings::instance().setCreationTimeOut(100);
    EXPECT_EQ(listener()->findChild("/nowait", &waiting), nullptr);
    EXPECT_FALSE(waiting);
    EXPECT_EQ(missing.count(), 1);
}

TEST_F(TapewrightFixture, ItemPathsPreferTextsOverIndexes)
{
    QTreeWidget tree;
    tree.setColumnCount(2);
    for (int i = 0; i < 3; ++i) {
        auto* top = new QTreeWidgetItem(&tree, {QString("top %1").arg(i), QString::number(i)});
        for (int j = 0; j < 2; ++j)
            new QTreeWidgetItem(top, {QString("child %1.%2").arg(i).arg(j), "x"});
    }
    QDomDocument document;
    QTreeWidgetItem* target = tree.topLevelItem(1)->child(1);
    const QDomElement element = TapewrightUtil::childPath(document, &tree, tree.indexFromItem(target));
    ASSERT_EQ(element.childNodes().count(), 2);
    EXPECT_EQ(element.firstChildElement().attribute("col0"), "top 1");
    EXPECT_EQ(element.lastChildElement().attribute("index"), "1");
    EXPECT_EQ(TapewrightUtil::findItem(element, &tree), tree.indexFromItem(target));

    tree.topLevelItem(1)->insertChild(0, tree.topLevelItem(1)->takeChild(1));
    EXPECT_EQ(TapewrightUtil::findItem(element, &tree), tree.indexFromItem(target)) << "moved, found by text";
    target->setText(0, "renamed");
    EXPECT_EQ(TapewrightUtil::findItem(element, &tree), tree.indexFromItem(tree.topLevelItem(1)->child(1)))
        << "texts changed, found by index";
    auto* twin = new QTreeWidgetItem(&tree, {"top 0", "0"});
    const QDomElement second = TapewrightUtil::childPath(document, &tree, tree.indexFromItem(twin));
    EXPECT_EQ(TapewrightUtil::findItem(second, &tree), tree.indexFromItem(twin)) << "same texts, the recorded one";
    delete twin;

    // Depth-first order with collapsed branches; every position maps back.
    QStringList reports;
    setErrorSink([&reports](bool canContinue, const QString& message) { reports << QString::number(canContinue) + " " + message; });
    EXPECT_EQ(TapewrightUtil::itemIndex(&tree, tree.indexFromItem(tree.topLevelItem(2))), 6);
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(TapewrightUtil::itemIndex(&tree, TapewrightUtil::itemAt(&tree, i)), i);
    EXPECT_EQ(reports, QStringList());
    // A missing item is told, as an error the run goes on after.
    QTreeWidget other;
    auto* stranger = new QTreeWidgetItem(&other, {"elsewhere"});
    EXPECT_FALSE(TapewrightUtil::itemAt(&tree, 9).isValid());
    EXPECT_FALSE(TapewrightUtil::itemAt(&tree, -1).isValid());
    EXPECT_EQ(TapewrightUtil::itemIndex(&tree, QModelIndex()), -1);
    EXPECT_EQ(TapewrightUtil::itemIndex(&tree, other.indexFromItem(stranger)), -1);
    setErrorSink({});
    EXPECT_EQ(reports, QStringList({"1 List view item with index 9, was not found", "1 List view item with index -1, was not found",
                                    "1 Did not find item for listview", "1 Did not find item for listview"}));
    EXPECT_TRUE(TapewrightUtil::childPath(document, &tree, QModelIndex()).isNull());
}
