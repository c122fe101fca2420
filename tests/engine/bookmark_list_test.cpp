// Bookmark lists: holes, the walk over live entries, compaction and the bit-array forms.
#include "engine/bookmark_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "base/byte_image.h"
#include "base/engine_error.h"

namespace tdb {
namespace {

std::vector<std::int32_t> Slots(const TTdbBookmarkList& list) {
    std::vector<std::int32_t> slots;
    for (std::int32_t i = 0; i < list.Size(); ++i)
        slots.push_back(list.Item(i));
    return slots;
}

TTdbBookmarkList Make(const std::vector<std::int32_t>& recNos) {
    TTdbBookmarkList list;
    for (std::int32_t recNo : recNos)
        list.Append(recNo);
    return list;
}

TEST(BookmarkListTest, HolesAndTheWalkOverLiveEntries) {
    TTdbBookmarkList list = Make({5, 7, 9, 7, 11});
    list.DeleteAt(1);
    list.Delete(11);  // the last slot goes; the inner hole stays
    EXPECT_EQ(Slots(list), (std::vector<std::int32_t>{5, 0, 9, 7}));
    EXPECT_EQ(list.Count(), 3);
    list.DeleteAt(3);
    EXPECT_EQ(Slots(list), (std::vector<std::int32_t>{5, 0, 9})) << "trailing holes go";
    list.DeleteAt(1);  // deleting a hole changes nothing
    EXPECT_EQ(list.Count(), 2);

    list = Make({5, 7, 9, 7, 11});
    list.DeleteAt(1);
    list.DeleteAt(2);
    // Slots: 5 _ _ 7 11
    struct Case {
        std::int32_t from;
        std::int32_t next, prev;
    } cases[] = {{-1, 0, -1}, {0, 3, -1}, {1, 3, 0}, {3, 4, 0}, {4, -1, 3}, {5, -1, 4}};
    for (const Case& c : cases) {
        EXPECT_EQ(list.FindNext(c.from), c.next) << c.from;
        EXPECT_EQ(list.FindPrev(c.from), c.prev) << c.from;
    }
    EXPECT_EQ(list.FindFirst(), 0);
    EXPECT_EQ(list.FindLast(), 4);
    EXPECT_EQ(list.Find(7), 3);
    EXPECT_EQ(list.Find(9), -1);
    EXPECT_EQ(list.Find(0), -1) << "a hole is never found";
    EXPECT_EQ(list.FindSequence(7), 1) << "holes are not counted";
    EXPECT_EQ(list.FindSequence(11), 2);
    EXPECT_EQ(list.FindSequence(9), -1);

    list.Flip(5);
    list.Flip(13);
    EXPECT_EQ(Slots(list), (std::vector<std::int32_t>{0, 0, 0, 7, 11, 13}));
    list.SetItem(0, 3);
    list.SetItem(5, 0);
    EXPECT_EQ(Slots(list), (std::vector<std::int32_t>{3, 0, 0, 7, 11}));
    EXPECT_EQ(list.Count(), 3);
    list.InsertAt(1, 4);
    EXPECT_EQ(Slots(list), (std::vector<std::int32_t>{3, 4, 0, 0, 7, 11}));
    list.Compress();
    EXPECT_EQ(Slots(list), (std::vector<std::int32_t>{3, 4, 7, 11}));
}

TEST(BookmarkListTest, RefusesWhatIsNoEntry) {
    TTdbBookmarkList list = Make({1, 2});
    EXPECT_THROW(list.Append(0), ETdbEngine);
    EXPECT_THROW(list.InsertAt(3, 5), ETdbEngine);
    EXPECT_THROW(list.Item(2), ETdbEngine);
    EXPECT_THROW(list.SetItem(-1, 4), ETdbEngine);
    std::vector<std::byte> small(7);
    EXPECT_THROW(list.WriteTo(small), ETdbEngine);
    EXPECT_EQ(Slots(list), (std::vector<std::int32_t>{1, 2})) << "nothing changed";
}

TEST(BookmarkListTest, CapacityStartsAt1024AndDoubles) {
    TTdbBookmarkList list(3);
    EXPECT_EQ(list.Capacity(), 1024);
    for (std::int32_t i = 1; i <= 1025; ++i)
        list.Append(i);
    EXPECT_EQ(list.Capacity(), 2048);
    list.Shrink();
    EXPECT_EQ(list.Capacity(), 1025);
    list.Append(2000);
    EXPECT_EQ(list.Capacity(), 2050);
    EXPECT_EQ(list.Item(1025), 2000);
}

TEST(BookmarkListTest, SortCopyAndWrite) {
    std::mt19937 random(7);
    TTdbBookmarkList list;
    std::vector<std::int32_t> live;
    for (int i = 0; i < 3000; ++i) {
        const auto recNo = static_cast<std::int32_t>(random() % 5000 + 1);
        list.Append(recNo);
        live.push_back(recNo);
    }
    for (int i = 0; i < 1000; ++i) {
        const auto index = static_cast<std::int32_t>(random() % 3000);
        if (!list.IsHole(index)) {
            live.erase(std::find(live.begin(), live.end(), list.Item(index)));
            list.DeleteAt(index);
        }
    }
    TTdbBookmarkList copy;
    copy.CopyFrom(list);
    EXPECT_EQ(copy.Size(), copy.Count());
    std::vector<std::byte> written(static_cast<std::size_t>(list.Count()) * 4);
    ASSERT_EQ(list.WriteTo(written), written.size());
    std::vector<std::int32_t> read;
    for (std::size_t at = 0; at < written.size(); at += 4)
        read.push_back(LoadLE<std::int32_t>(written.data() + at));
    std::vector<std::int32_t> copied = Slots(copy);
    // Deleting by value removed the first occurrence, so compare as multisets.
    std::vector<std::int32_t> expected = live;
    std::sort(expected.begin(), expected.end());
    std::sort(read.begin(), read.end());
    std::sort(copied.begin(), copied.end());
    EXPECT_EQ(read, expected);
    EXPECT_EQ(copied, expected);
    list.Sort();
    EXPECT_EQ(Slots(list), expected);
}

TEST(BookmarkListTest, BitArrays) {
    const std::uint8_t bits[] = {0b1000'0101, 0b0000'0010};  // record numbers 1, 3, 8, 10
    TTdbBookmarkList list;
    list.CopyFromBitArray(bits, 16);
    EXPECT_EQ(Slots(list), (std::vector<std::int32_t>{1, 3, 8, 10}));
    list.CopyFromBitArray(bits, 9);
    EXPECT_EQ(Slots(list), (std::vector<std::int32_t>{1, 3, 8}));

    TTdbBookmarkList other = Make({10, 2, 3, 8, 20});
    other.IntersectWithBitArray(bits, 16);
    EXPECT_EQ(Slots(other), (std::vector<std::int32_t>{10, 0, 3, 8}));
    EXPECT_EQ(other.Count(), 3);

    std::uint8_t out[2] = {0xFF, 0xFF};
    other.CopyToBitArray(out, 16);
    EXPECT_EQ(out[0], 0b1000'0100);
    EXPECT_EQ(out[1], 0b0000'0010);
    EXPECT_THROW(list.CopyFromBitArray(bits, 17), ETdbEngine);
}

}  // namespace
}  // namespace tdb
