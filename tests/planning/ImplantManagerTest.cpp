#include "ModelTestSupport.h"

#include "planning/model/ImplantManager.h"

#include <cmath>
#include <gtest/gtest.h>

using namespace PlanningTest;
using Vexa::Matrix44;

namespace {

std::vector<std::shared_ptr<Implant>> listOf(const ImplantManager& manager)
{
    return {manager.implantsBegin(), manager.implantsEnd()};
}

std::vector<std::shared_ptr<Implant>> selectionOf(const ImplantManager& manager)
{
    return {manager.selectedBegin(), manager.selectedEnd()};
}

Matrix44<double> tilted(const Vector3D& origin, const Vector3D& axis, double angle)
{
    Matrix44<double> m;
    m.setRotation(axis, angle);
    m.setTranslation(origin);
    return m;
}

bool sameRotation(const Matrix44<double>& a, const Matrix44<double>& b)
{
    for (int i : {0, 1, 2, 4, 5, 6, 8, 9, 10})
        if (std::abs(a[i] - b[i]) > 1e-12)
            return false;
    return true;
}

}

TEST(ImplantManager, ListNumberingAndChanges)
{
    auto manager = ImplantManager::create();
    auto a = makeImplantAt({10, 0, 0});
    auto b = makeImplantAt({20, 0, 0});
    auto c = makeImplantAt({30, 0, 0});
    EXPECT_FALSE(manager->hasChanged());
    manager->addImplant(a);
    manager->addImplant(b);
    manager->addImplant(c);
    manager->addImplant(a);       // already listed
    manager->addImplant(nullptr); // nothing
    EXPECT_EQ(3u, manager->numberOfImplants());
    EXPECT_TRUE(manager->hasChanged());
    manager->clearChangedState();

    EXPECT_EQ(1u, manager->getNumberOfImplant(a));
    EXPECT_EQ(3u, manager->getNumberOfImplant(c));
    EXPECT_EQ(0u, manager->getNumberOfImplant(nullptr));
    EXPECT_EQ(0u, manager->getNumberOfImplant(makeImplantAt({0, 0, 0})));
    // Numbers as getNumberOfImplant gives them.
    EXPECT_EQ(nullptr, manager->getImplant(0));
    EXPECT_EQ(a, manager->getImplant(1));
    EXPECT_EQ(c, manager->getImplant(3));
    EXPECT_EQ(nullptr, manager->getImplant(4));

    // Selecting is no planning change.
    manager->selectImplant(b);
    manager->selectImplant(a);
    manager->selectImplant(b);                      // once only
    manager->selectImplant(makeImplantAt({}));      // not listed
    EXPECT_FALSE(manager->hasChanged());
    EXPECT_EQ((std::vector{b, a}), selectionOf(*manager));
    EXPECT_TRUE(manager->isImplantSelected(a));
    EXPECT_FALSE(manager->isImplantSelected(c));
    EXPECT_FALSE(manager->isImplantSelected(nullptr));

    // A replacement takes the place and the selection state.
    auto d = makeImplantAt({40, 0, 0});
    manager->setTransformingImplant(b);
    manager->replaceImplant(b, d);
    EXPECT_EQ((std::vector{a, d, c}), listOf(*manager));
    EXPECT_EQ((std::vector{d, a}), selectionOf(*manager));
    EXPECT_EQ(nullptr, manager->getTransformingImplant());
    EXPECT_TRUE(manager->hasChanged());

    // Removing drops the selection and the transforming implant too.
    manager->setTransformingImplant(a);
    manager->removeImplant(a);
    EXPECT_EQ((std::vector{d, c}), listOf(*manager));
    EXPECT_EQ((std::vector{d}), selectionOf(*manager));
    EXPECT_EQ(nullptr, manager->getTransformingImplant());

    // A whole list: the selection keeps only listed implants, duplicates are dropped.
    manager->selectImplant(c);
    manager->setImplants({a, c, a});
    EXPECT_EQ((std::vector{a, c}), listOf(*manager));
    EXPECT_EQ((std::vector{c}), selectionOf(*manager));
    manager->setSelection({d, a, c});
    EXPECT_EQ((std::vector{a, c}), selectionOf(*manager));
    manager->unselectImplant(a);
    EXPECT_EQ((std::vector{c}), selectionOf(*manager));

    manager->prepareTransforming(c);
    manager->clear();
    EXPECT_EQ(0u, manager->numberOfImplants());
    EXPECT_EQ(0u, manager->numberOfSelected());
    EXPECT_TRUE(manager->getTransformSnapshot().empty());
}

TEST(ImplantManager, Picking)
{
    auto manager = ImplantManager::create();
    // Implant of length 10 and diameter 4 standing along z at x = 10; another 8 mm away.
    auto a = makeImplantAt({10, 0, 0});
    auto b = makeImplantAt({18, 0, 0});
    manager->addImplant(a);
    manager->addImplant(b);

    // The 10 mm pick target is 10 mm wide: 5 mm either side of the axis.
    EXPECT_EQ(a, manager->getImplantNearPos({10, 0, 5}, 10.0));
    EXPECT_EQ(a, manager->getImplantNearPos({14.9, 0, 5}, 10.0));
    EXPECT_EQ(b, manager->getImplantNearPos({15.1, 0, 5}, 10.0));
    EXPECT_EQ(b, manager->getImplantNearPos({18, 4.9, 5}, 10.0));
    EXPECT_EQ(nullptr, manager->getImplantNearPos({18, 5.1, 5}, 10.0));
    // Lengthwise the surface plus 1 mm at either end.
    EXPECT_EQ(a, manager->getImplantNearPos({10, 0, -0.9}, 10.0));
    EXPECT_EQ(nullptr, manager->getImplantNearPos({10, 0, -1.1}, 10.0));
    EXPECT_EQ(a, manager->getImplantNearPos({10, 0, 10.9}, 10.0));
    EXPECT_EQ(nullptr, manager->getImplantNearPos({10, 0, 11.1}, 10.0));
    // Small distances: the surface's own width.
    EXPECT_EQ(a, manager->getImplantNearPos({11.9, 0, 5}, 0.0));
    EXPECT_EQ(nullptr, manager->getImplantNearPos({12.1, 0, 5}, 0.0));
    // In implant coordinates: a tilted implant is picked along its own axis.
    auto tiltedImplant = makeImplant(tilted({50, 0, 0}, {0, 1, 0}, M_PI / 2)); // axis along +x
    manager->addImplant(tiltedImplant);
    EXPECT_EQ(tiltedImplant, manager->getImplantNearPos({58, 0, 0}, 10.0));
    EXPECT_EQ(nullptr, manager->getImplantNearPos({50, 0, 8}, 10.0));

    // Selecting near a point: that implant alone; nothing found leaves the selection.
    manager->selectImplant(a);
    EXPECT_EQ(b, manager->selectImplantNearPos({18, 0, 5}, 10.0));
    EXPECT_EQ((std::vector{b}), selectionOf(*manager));
    EXPECT_EQ(nullptr, manager->selectImplantNearPos({100, 100, 100}, 10.0));
    EXPECT_EQ((std::vector{b}), selectionOf(*manager));

    // Nearest to a point by axis distance within the search distance and the length window.
    EXPECT_EQ(a, manager->getNearestImplant({13, 0, 5}, 5.0));
    EXPECT_EQ(b, manager->getNearestImplant({15, 0, 5}, 5.0));
    EXPECT_EQ(a, manager->getNearestImplant({14, 0, 5}, 5.0)); // a tie: the first in list order
    EXPECT_EQ(nullptr, manager->getNearestImplant({10, 6, 5}, 5.0));
    EXPECT_EQ(a, manager->getNearestImplant({10, 0, -4.9}, 5.0));
    EXPECT_EQ(nullptr, manager->getNearestImplant({10, 0, -5.1}, 5.0)); // on the axis but beyond the window
    EXPECT_EQ(nullptr, manager->getNearestImplant({10, 0, 15.1}, 5.0));
}

TEST(ImplantManager, GroupsSnapshotsAndRotation)
{
    auto manager = ImplantManager::create();
    auto a = makeImplant(tilted({0, 0, 0}, {1, 0, 0}, 0.2));
    auto b = makeImplant(tilted({10, 0, 0}, {0, 1, 0}, -0.3));
    auto c = makeImplant(tilted({20, 0, 0}, {0, 0, 1}, 0.0), 4);
    for (const auto& implant : {a, b, c})
        manager->addImplant(implant);
    EXPECT_EQ(4u, manager->getLargestGroup());

    // Fewer than two selected: nothing.
    manager->selectImplant(b);
    manager->clearChangedState();
    manager->setSelectedImplantsParallel();
    EXPECT_EQ(0u, b->getGroup());
    EXPECT_FALSE(manager->hasChanged());

    // b first selected: a takes b's rotation and keeps its position; one new group.
    manager->selectImplant(a);
    const Matrix44<double> bBefore = b->getTransform();
    manager->setSelectedImplantsParallel();
    EXPECT_EQ(5u, a->getGroup());
    EXPECT_EQ(5u, b->getGroup());
    EXPECT_EQ(4u, c->getGroup());
    EXPECT_TRUE(sameRotation(a->getTransform(), bBefore));
    EXPECT_TRUE(Vexa::isEqual(bBefore, b->getTransform(), 1e-12));
    EXPECT_EQ(Vector3D(0, 0, 0), a->getTransform().getTranslation());
    EXPECT_TRUE(manager->hasChanged());

    // Snapshot: the whole group, or the implant alone for group 0.
    manager->prepareTransforming(a);
    ASSERT_EQ(2u, manager->getTransformSnapshot().size());
    EXPECT_EQ(a, manager->getTransformSnapshot()[0].first);
    EXPECT_EQ(b, manager->getTransformSnapshot()[1].first);
    auto lone = makeImplantAt({40, 0, 0});
    manager->addImplant(lone);
    manager->prepareTransforming(lone);
    ASSERT_EQ(1u, manager->getTransformSnapshot().size());
    EXPECT_EQ(lone, manager->getTransformSnapshot()[0].first);
    manager->prepareTransforming(nullptr);
    EXPECT_TRUE(manager->getTransformSnapshot().empty());

    // A group turns together, each about its own rotation point, and stays parallel.
    const Vector3D aPivot = a->getRotationPoint();
    const Vector3D bPivot = b->getRotationPoint();
    const Matrix44<double> cBefore = c->getTransform();
    manager->rotateImplant(a, {0, 1, 0}, 0.25);
    EXPECT_TRUE(sameRotation(a->getTransform(), b->getTransform()));
    EXPECT_LT((a->getRotationPoint() - aPivot).length(), 1e-12);
    EXPECT_LT((b->getRotationPoint() - bPivot).length(), 1e-12);
    EXPECT_TRUE(Vexa::isEqual(cBefore, c->getTransform(), 1e-12));
    // The rotation acts on the current pose: a's axis turned by 0.25 rad.
    EXPECT_NEAR(0.25, std::acos(std::clamp(a->getTransform().getColumn(2).dot(bBefore.getColumn(2)), -1.0, 1.0)), 1e-9);
    // Ungrouped: only that implant.
    const Matrix44<double> aNow = a->getTransform();
    manager->rotateImplant(lone, {1, 0, 0}, 0.5);
    EXPECT_TRUE(Vexa::isEqual(aNow, a->getTransform(), 1e-12));
    EXPECT_NEAR(0.5, std::acos(lone->getTransform().getColumn(2).z), 1e-12);

    // Position: the translation only.
    manager->setImplantPosition(c, {1, 2, 3});
    EXPECT_EQ(Vector3D(1, 2, 3), c->getTransform().getTranslation());
    EXPECT_TRUE(sameRotation(cBefore, c->getTransform()));
}
