#include "vexa/core/ControlledRingBuffer.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <vector>

namespace {

using Buffer = Vexa::ControlledRingBuffer<int>;

template<class Range>
std::vector<int> walk(Range range)
{
    return std::vector<int>(range.first, range.second);
}

TEST(ControlledRingBuffer, KeepsTheNewestValuesAndWalksBothWaysAfterWrapAround)
{
    Buffer buffer(4);
    EXPECT_TRUE(buffer.empty());
    EXPECT_EQ(buffer.newest(), 0) << "an empty buffer gives a default value";
    EXPECT_TRUE(walk(buffer.range()).empty());
    EXPECT_TRUE(walk(buffer.reverseRange()).empty());

    buffer.push(1);
    buffer.push(2);
    EXPECT_EQ(walk(buffer.range()), std::vector<int>({2, 1}));
    EXPECT_EQ(walk(buffer.reverseRange()), std::vector<int>({1, 2}));

    for (int i = 3; i <= 11; ++i) {
        const auto at = buffer.push(i);
        EXPECT_EQ(*at, i);
    }
    EXPECT_EQ(buffer.size(), 4u);
    EXPECT_EQ(buffer.newest(), 11);
    EXPECT_EQ(walk(buffer.range()), std::vector<int>({11, 10, 9, 8}));
    EXPECT_EQ(walk(buffer.reverseRange()), std::vector<int>({8, 9, 10, 11}));

    // The iterator returned by push walks on to older values.
    auto it = buffer.push(12);
    EXPECT_EQ(*it++, 12);
    EXPECT_EQ(*it, 11);
    EXPECT_EQ(walk(std::make_pair(it, buffer.range().second)), std::vector<int>({11, 10, 9}));

    buffer.clear();
    EXPECT_TRUE(buffer.empty());
    buffer.push(20);
    EXPECT_EQ(walk(buffer.reverseRange()), std::vector<int>({20}));

    Buffer single(1);
    single.push(1);
    single.push(2);
    EXPECT_EQ(walk(single.range()), std::vector<int>({2}));
    EXPECT_THROW(Buffer(0), std::runtime_error);
}

// Values below a limit are invalid.
class AtLeast : public Vexa::ControlledRingBufferCriterion<int>
{
public:
    explicit AtLeast(int limit) : limit_(limit) {}
    bool isValid(const int& value) const override { return value >= limit_; }

private:
    int limit_;
};

TEST(ControlledRingBuffer, RangeDropsOnlyTheInvalidOldestValues)
{
    Buffer buffer(5);
    for (int v : {1, 2, 9, 3, 8})
        buffer.push(v);
    EXPECT_EQ(walk(buffer.range()), std::vector<int>({8, 3, 9, 2, 1})) << "the base criterion keeps everything";

    buffer.push(7, std::make_shared<AtLeast>(5));
    // Oldest first: 2 goes, 9 stops the dropping, so 3 stays although it is below the limit.
    EXPECT_EQ(walk(buffer.range()), std::vector<int>({7, 8, 3, 9}));
    EXPECT_EQ(walk(buffer.reverseRange()), std::vector<int>({9, 3, 8, 7}));

    buffer.push(6, std::make_shared<AtLeast>(100));
    EXPECT_TRUE(walk(buffer.range()).empty());
    EXPECT_EQ(buffer.newest(), 0);
}

TEST(ControlledRingBuffer, AnIteratorNeverReadsAnotherValueInTheSlotOfItsDroppedOne)
{
    Buffer buffer(3);
    const auto first = buffer.push(1);
    const auto second = buffer.push(2, std::make_shared<AtLeast>(2));
    buffer.range(); // drops 1
    EXPECT_THROW(*first, std::out_of_range);
    EXPECT_EQ(*second, 2);
    for (int v : {3, 4})
        buffer.push(v);
    EXPECT_EQ(*second, 2) << "still in the buffer, though the ring turned";
    buffer.push(5); // overwrites 2's slot
    EXPECT_THROW(*second, std::out_of_range);
    const auto last = buffer.push(6);
    buffer.clear();
    EXPECT_THROW(*last, std::out_of_range);
    EXPECT_EQ(*buffer.push(7), 7);
}

}
