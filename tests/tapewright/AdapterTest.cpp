#include "TapewrightTestSupport.h"

#include "tapewright/AdapterRegistry.h"
#include "tapewright/RecorderAdapter.h"

#include <new>

using namespace TapewrightTest;

namespace {

class FakeAdapter : public RecorderAdapter
{
public:
    explicit FakeAdapter(int priority) : priority_(priority) {}
    EventReplacement record(QObject*, QEvent*, bool, QDomDocument&) override { return EventReplacement(Pass); }
    AdapterInfo info() const override { return {QStringLiteral("FakeAD"), QString(), QString()}; }
    int priority() const override { return priority_; }

private:
    int priority_;
};

}

TEST(AdapterRegistry, OnlyALowerPriorityThanTheFirstGoesToTheFront)
{
    AdapterRegistry registry;
    std::vector<RecorderAdapter*> made;
    for (int priority : {150, 160, 100, 120, 500}) {
        auto adapter = std::make_unique<FakeAdapter>(priority);
        made.push_back(adapter.get());
        registry.registerAdapter(std::move(adapter));
    }
    registry.registerAdapter(std::make_unique<PlayBackAdapter>());
    // Behind the eleven built-in recorder adapters (priority 150 first).
    QList<RecorderAdapter*> expected = registry.recorderAdapters().mid(1, 11);
    expected.prepend(made[2]);
    expected << made[0] << made[1] << made[3] << made[4];
    EXPECT_EQ(registry.recorderAdapters(), expected);
    EXPECT_EQ(registry.playBackAdapters().size(), 12 + 6);
    EXPECT_EQ(registry.playBackAdapters().at(12), made[0]);
}

TEST(AdapterRegistry, EnablingFollowsTheObjectThenAllAndForgetsDestroyedObjects)
{
    FakeAdapter adapter(150);
    QObject a, b;
    EXPECT_TRUE(adapter.isEnabled(&a));
    adapter.setEnabled(nullptr, false);
    adapter.setEnabled(&a, true);
    EXPECT_TRUE(adapter.isEnabled(&a));
    EXPECT_FALSE(adapter.isEnabled(&b));

    alignas(QObject) unsigned char storage[sizeof(QObject)];
    auto* old = new (storage) QObject;
    adapter.setEnabled(old, true);
    old->~QObject();
    auto* recycled = new (storage) QObject;
    EXPECT_FALSE(adapter.isEnabled(recycled)) << "a new object at the same address follows the null key";
    recycled->~QObject();
}

TEST(AdapterRegistry, ReplacementsBlockOnlyForBlock)
{
    QDomDocument document;
    EXPECT_TRUE(EventReplacement(Block).block());
    EXPECT_FALSE(EventReplacement(Block).hasElement());
    EXPECT_FALSE(EventReplacement(document.createElement("X"), Pass).block());
    EXPECT_TRUE(EventReplacement(document.createElement("X"), Block).hasElement());
    Warnings warnings;
    EXPECT_FALSE(EventReplacement(BlockInfo(7)).block());
    EXPECT_EQ(warnings.messages, QStringList {"Invalid value to BlockInfo parameter for EventReplacement"});
}
