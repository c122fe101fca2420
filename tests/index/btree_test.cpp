// The B-tree's file layout and exact page shapes after splits and merges, page sizes and
// capacities, searches at the edges, refusals of bad input, the page limit, undo, clearing,
// user data, two trees over one file, and sequence numbers of large trees.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "base/engine_error.h"
#include "allocation_counter.h"
#include "btree_test_support.h"

namespace tdb::btreetest {
namespace {

using testing::AllocationsIn;

constexpr std::int32_t kPage = 256;

// One tree page as the file holds it.
struct RawPage {
    std::int32_t p0 = 0;
    std::int32_t count = 0;
    std::vector<std::int32_t> pointers;
    std::vector<std::int32_t> keys;  // IntEntry keys
};

RawPage ReadRawPage(const std::string& file, std::int16_t version, std::int32_t pageNo,
                    std::int32_t entrySize) {
    const bool wide = version >= 4;
    const std::size_t base = static_cast<std::size_t>(pageNo) * kPage;
    RawPage page;
    page.p0 = wide ? I32(file, base) : I16(file, base);
    page.count = I16(file, base + (wide ? 4 : 2));
    const std::size_t itemSize = static_cast<std::size_t>(entrySize) + (wide ? 4 : 2);
    for (std::int32_t i = 0; i < page.count; ++i) {
        const std::size_t at = base + (wide ? 6 : 4) + static_cast<std::size_t>(i) * itemSize;
        page.pointers.push_back(wide ? I32(file, at) : I16(file, at));
        page.keys.push_back(I32(file, at + (wide ? 4 : 2) + 4));
    }
    return page;
}

std::vector<std::int32_t> Range(std::int32_t from, std::int32_t to) {
    std::vector<std::int32_t> keys;
    for (std::int32_t k = from; k <= to; ++k) {
        keys.push_back(k);
    }
    return keys;
}

using testing::EngineCode;

class BTreeTest : public BTreeFixture {
protected:
    void CreateInt(std::int16_t version, std::int32_t entrySize = 12,
                   std::int32_t pageSize = kPage) {
        Create(version, entrySize, pageSize, IntLess);
        entrySize_ = entrySize;
    }
    void InsertKeys(std::int32_t from, std::int32_t to) {
        for (std::int32_t k = from; k <= to; ++k) {
            Tree().Insert(IntEntry(k, k, static_cast<std::size_t>(entrySize_)));
        }
    }
    Entry Key(std::int32_t k) const { return IntEntry(k, k, static_cast<std::size_t>(entrySize_)); }
    Entry Buffer() const { return Entry(static_cast<std::size_t>(entrySize_)); }

    // The keys in order, walked with FindFirst and FindNext.
    std::vector<std::int32_t> Keys() {
        std::vector<std::int32_t> keys;
        Entry e = Buffer();
        for (int r = Tree().FindFirst(e); r == kTreeFound; r = Tree().FindNext(e, e)) {
            keys.push_back(IntKey(e));
        }
        return keys;
    }

    std::int32_t CheckedCount() {
        std::int32_t items = 0;
        std::int32_t wrong = 0;
        Tree().Check(items, wrong);
        EXPECT_EQ(wrong, 0);
        return items;
    }

    std::int32_t entrySize_ = 12;
};

TEST_F(BTreeTest, OrderAndCapacityFollowPageAndEntrySize) {
    struct Case {
        std::int16_t version;
        std::int32_t entrySize;
        std::int32_t pageSize;
        std::int32_t order;
    };
    const Case cases[] = {
        {4, 40, 4096, 46}, {5, 40, 4096, 46}, {6, 40, 4096, 46},
        {3, 40, 4096, 48},  // 16-bit pointers: items of 42 bytes behind a 4-byte page head
        {6, 12, 256, 7},   {1, 12, 256, 9},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("version " + std::to_string(c.version) + ", entry " +
                     std::to_string(c.entrySize));
        Create(c.version, c.entrySize, c.pageSize, IntLess);
        EXPECT_EQ(Tree().GetOrder(), c.order);
        EXPECT_EQ(Tree().GetPageCapacity(), 2 * c.order);
        EXPECT_EQ(Tree().GetItemSize(), c.entrySize + (c.version >= 4 ? 4 : 2));
        EXPECT_EQ(Tree().GetHeaderSize(), c.version >= 4 ? 24 : 14);
        EXPECT_EQ(Tree().CalcCapacity(), c.version >= 4 ? 2147483647LL : 2LL * c.order * 65535);
        CloseAll();
    }
}

TEST_F(BTreeTest, HeaderImageOfBothLayouts) {
    CreateInt(6, 12, 512);
    CloseAll();
    std::string file = FileBytes();
    ASSERT_EQ(file.size(), 8192u);  // one tile: the header page only
    EXPECT_EQ(I32(file, 6), 512);
    EXPECT_EQ(I16(file, 10), 12);
    EXPECT_EQ(I16(file, 12), 16);
    EXPECT_EQ(I16(file, 14), 0);  // height
    EXPECT_EQ(I32(file, 16), 0);  // tree pages
    EXPECT_EQ(I16(file, 20), 15);
    EXPECT_EQ(I16(file, 22), 30);
    EXPECT_EQ(I32(file, 24), 0);  // free list

    CreateInt(3, 12, 512);
    InsertKeys(1, 3);
    CloseAll();
    file = FileBytes();
    EXPECT_EQ(I16(file, 0), 512);
    EXPECT_EQ(I16(file, 2), 12);
    EXPECT_EQ(I16(file, 4), 14);
    EXPECT_EQ(I16(file, 6), 1);
    EXPECT_EQ(I16(file, 8), 1);
    EXPECT_EQ(I16(file, 10), 18);
    EXPECT_EQ(I16(file, 12), 36);
    EXPECT_EQ(I16(file, 510), 0);  // the free-list head at the end of page 0
}

TEST_F(BTreeTest, SplitOfAFullRootAndItsCollapseReuseTheFreedPages) {
    for (const std::int16_t version : {6, 4, 3}) {
        SCOPED_TRACE("version " + std::to_string(version));
        CreateInt(version);
        const std::int32_t n = Tree().GetOrder();
        InsertKeys(1, 2 * n + 1);
        EXPECT_EQ(Tree().GetHeight(), 2);
        EXPECT_EQ(Tree().GetTreePageCount(), 3);
        Tree().Flush();
        std::string file = FileBytes();
        // The right half went to page 2, the old root's left half moved to page 3.
        RawPage root = ReadRawPage(file, version, 1, 12);
        EXPECT_EQ(root.p0, 3);
        EXPECT_EQ(root.pointers, std::vector<std::int32_t>{2});
        EXPECT_EQ(root.keys, std::vector<std::int32_t>{n + 1});
        EXPECT_EQ(ReadRawPage(file, version, 3, 12).keys, Range(1, n));
        EXPECT_EQ(ReadRawPage(file, version, 2, 12).keys, Range(n + 2, 2 * n + 1));
        EXPECT_EQ(ReadRawPage(file, version, 2, 12).p0, 0);

        // One entry fewer on the left: the halves merge, the empty root takes their contents.
        EXPECT_TRUE(Tree().Delete(Key(1)));
        EXPECT_EQ(Tree().GetHeight(), 1);
        EXPECT_EQ(Tree().GetTreePageCount(), 3);
        EXPECT_EQ(Tree().GetFirstFreePage(), 3);
        Tree().Flush();
        file = FileBytes();
        EXPECT_EQ(ReadRawPage(file, version, 1, 12).keys, Range(2, 2 * n + 1));
        const RawPage freed = ReadRawPage(file, version, 3, 12);
        EXPECT_EQ(freed.p0, -2);  // next on the list: page 2
        EXPECT_EQ(freed.count, 0);
        EXPECT_EQ(ReadRawPage(file, version, 2, 12).p0, 0);  // end of the list
        EXPECT_EQ(CheckedCount(), 2 * n);

        // The next split takes both pages from the list; the file does not grow.
        InsertKeys(2 * n + 2, 2 * n + 2);
        EXPECT_EQ(Tree().GetHeight(), 2);
        EXPECT_EQ(Tree().GetTreePageCount(), 3);
        EXPECT_EQ(Tree().GetFirstFreePage(), 0);
        Tree().Flush();
        file = FileBytes();
        root = ReadRawPage(file, version, 1, 12);
        EXPECT_EQ(root.p0, 2);
        EXPECT_EQ(root.pointers, std::vector<std::int32_t>{3});
        EXPECT_EQ(Keys(), Range(2, 2 * n + 2));
        CloseAll();
    }
}

TEST_F(BTreeTest, SplitsPlaceTheNewItemOnEitherSideOfTheMiddle) {
    // Into a full leaf of keys 10, 20, ..., at the front, the middle and the back.
    for (const std::int32_t key : {5, 75, 85, 999}) {
        SCOPED_TRACE("key " + std::to_string(key));
        CreateInt(6);
        const std::int32_t n = Tree().GetOrder();
        for (std::int32_t i = 1; i <= 2 * n; ++i) {
            Tree().Insert(Key(i * 10));
        }
        Tree().Insert(Key(key));
        std::set<std::int32_t> expected;
        for (std::int32_t i = 1; i <= 2 * n; ++i) {
            expected.insert(i * 10);
        }
        expected.insert(key);
        EXPECT_EQ(Keys(), std::vector<std::int32_t>(expected.begin(), expected.end()));
        Tree().Flush();
        const std::string file = FileBytes();
        EXPECT_EQ(ReadRawPage(file, 6, 2, 12).count, n);
        EXPECT_EQ(ReadRawPage(file, 6, 3, 12).count, n);
        EXPECT_EQ(CheckedCount(), 2 * n + 1);
        CloseAll();
    }
}

TEST_F(BTreeTest, SearchesAtTheEdges) {
    CreateInt(6);
    Entry out = Buffer();
    // Empty.
    EXPECT_EQ(Tree().Find(Key(1), out), kTreeNone);
    EXPECT_EQ(Tree().FindFirst(out), kTreeNone);
    EXPECT_EQ(Tree().FindLast(out), kTreeNone);
    EXPECT_EQ(Tree().FindNext(Key(1), out), kTreeMissing);
    EXPECT_EQ(Tree().FindPrev(Key(1), out), kTreeMissing);
    EXPECT_EQ(Tree().CalcItemSequenceNo(Key(1)), 0);
    EXPECT_FALSE(Tree().Delete(Key(1)));

    // Keys 10 ... 150: 10-70 on page 3, 80 in the root, 90-150 on page 2.
    for (std::int32_t k = 10; k <= 150; k += 10) {
        Tree().Insert(Key(k));
    }
    ASSERT_EQ(Tree().GetHeight(), 2);
    Tree().Flush();
    const std::string before = FileBytes();
    Tree().Insert(Key(80));
    Tree().Insert(Key(150));
    Tree().Flush();
    EXPECT_EQ(FileBytes(), before) << "inserting an entry that is there changes nothing";

    struct FindCase {
        std::int32_t probe;
        int answer;
        std::int32_t found;
    };
    const FindCase finds[] = {
        {0, kTreeFound, 10},  {10, kTreeFound, 10},   {75, kTreeFound, 80}, {85, kTreeFound, 90},
        {71, kTreeFound, 80}, {150, kTreeFound, 150}, {151, kTreeNone, 0},
    };
    for (const FindCase& c : finds) {
        SCOPED_TRACE("probe " + std::to_string(c.probe));
        // The record number takes part in the order: probe with the smallest.
        EXPECT_EQ(Tree().Find(IntEntry(0, c.probe), out), c.answer);
        if (c.answer == kTreeFound) {
            EXPECT_EQ(IntKey(out), c.found);
        }
    }
    EXPECT_EQ(Tree().FindNext(Key(150), out), kTreeNone);
    EXPECT_EQ(Tree().FindPrev(Key(10), out), kTreeNone);
    EXPECT_EQ(Tree().FindNext(Key(75), out), kTreeMissing);
    EXPECT_EQ(Tree().FindPrev(IntEntry(7, 80), out), kTreeMissing);
    ASSERT_EQ(Tree().FindNext(Key(70), out), kTreeFound);  // leaf end to the root
    EXPECT_EQ(IntKey(out), 80);
    ASSERT_EQ(Tree().FindNext(Key(80), out), kTreeFound);  // root down to the right leaf
    EXPECT_EQ(IntKey(out), 90);
    ASSERT_EQ(Tree().FindPrev(Key(90), out), kTreeFound);
    EXPECT_EQ(IntKey(out), 80);
    ASSERT_EQ(Tree().FindPrev(Key(80), out), kTreeFound);
    EXPECT_EQ(IntKey(out), 70);
    EXPECT_EQ(Tree().CalcItemSequenceNo(Key(80)), 8);
    EXPECT_EQ(Tree().CalcItemSequenceNo(IntEntry(0, 85)), 9);
    EXPECT_EQ(Tree().CalcItemSequenceNo(IntEntry(0, 999)), 16);

    // Emptied again: an empty root leaf.
    for (std::int32_t k = 10; k <= 150; k += 10) {
        EXPECT_TRUE(Tree().Delete(Key(k)));
    }
    EXPECT_EQ(Tree().GetHeight(), 1);
    EXPECT_EQ(Tree().FindFirst(out), kTreeNone);
    EXPECT_EQ(Tree().Find(Key(1), out), kTreeNone);
    EXPECT_EQ(CheckedCount(), 0);
}

TEST_F(BTreeTest, NewRefusesUnusablePageSizes) {
    struct Case {
        std::int16_t version;
        std::int32_t entrySize;
        std::int32_t pageSize;
    };
    const Case cases[] = {
        {6, 12, 128},      {6, 12, 255},     {6, 12, 300},  // below the minimum; not a tile part
        {6, 12, 33554432}, {3, 12, 32768},                  // above the maximum
        {6, 200, 256},     {1, 130, 256},                   // not even two entries fit
        {6, 4, 1048576},                      // more items per page than a 16-bit count holds
        {6, 0, 4096},      {6, 40000, 4096},  // no entry size / too large
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("version " + std::to_string(c.version) + ", entry " +
                     std::to_string(c.entrySize) + ", page " + std::to_string(c.pageSize));
        storage_ = MakeStorage();
        storage_->NewStorage();
        {
            TTdbBTree tree(*storage_, c.version, OffsetFor(c.version), IntLess);
            tree.SetItemSize(c.entrySize);
            EXPECT_EQ(EngineCode([&] { tree.New(c.pageSize, nullptr); }), 98);
            EXPECT_EQ(tree.TreeError(), kBTreeBadPageSize);
            EXPECT_FALSE(tree.IsOpen());
        }
        storage_.reset();
    }
}

TEST_F(BTreeTest, PageSizeForAnExpectedCapacity) {
    struct Case {
        std::int16_t version;
        std::int32_t keySize;
        std::int64_t capacity;
        std::int32_t pageSize;
    };
    const Case cases[] = {
        {6, 36, 1000, 4096},     {6, 200, 1000, 8192},     // 40 items to a page
        {6, 5000, 1, 262144},    {3, 1000, 1, 16384},      // as many as the maximum allows
        {3, 100, 1000000, 4096}, {3, 100, 2000000, 8192},  // grown for the capacity
        {3, 20000, 1, 32768},  // no page holds it: New refuses the answer
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TTdbBTree::CalcPageSizeFor(c.version, c.keySize, c.capacity), c.pageSize)
            << "version " << c.version << ", key " << c.keySize << ", capacity " << c.capacity;
    }
    EXPECT_EQ(TTdbBTree::GetMaxPageSize(6), 16777216);
    EXPECT_EQ(TTdbBTree::GetMaxPageSize(2), 16384);
}

TEST_F(BTreeTest, BadItemsAndUnopenedTreesAreRefused) {
    CreateInt(6, 12);
    InsertKeys(1, 20);
    const Entry shortItem(8);
    Entry shortBuffer(8);
    Entry out = Buffer();
    EXPECT_EQ(EngineCode([&] { Tree().Insert(shortItem); }), 49);
    EXPECT_EQ(EngineCode([&] { Tree().Delete(shortItem); }), 49);
    EXPECT_EQ(EngineCode([&] { Tree().Find(Key(3), shortBuffer); }), 49);
    EXPECT_EQ(EngineCode([&] { Tree().FindFirst(shortBuffer); }), 49);
    EXPECT_EQ(EngineCode([&] { Tree().FindNext(shortItem, out); }), 49);
    EXPECT_EQ(CheckedCount(), 20);
    // A longer buffer is fine: the entry is its first bytes.
    Entry longer = Key(5);
    longer.resize(40, std::byte{0x7F});
    EXPECT_EQ(Tree().Find(longer, out), kTreeFound);
    EXPECT_EQ(IntKey(out), 5);

    // The pages and work items are laid out for the open file's entry size.
    EXPECT_THROW(Tree().SetItemSize(40), Exception);
    EXPECT_EQ(Tree().GetSize(), 12);
    Tree().Insert(Key(21));
    EXPECT_EQ(CheckedCount(), 21);

    Tree().Close();
    EXPECT_THROW(Tree().Insert(Key(1)), Exception);
    EXPECT_THROW(Tree().FindFirst(out), Exception);
}

TEST_F(BTreeTest, WritesToAReadOnlyFileFailWithoutChangingTheTree) {
    CreateInt(6);
    InsertKeys(1, 14);  // one full page
    CloseAll();
    OpenAgain(true);
    EXPECT_EQ(EngineCode([&] { Tree().Insert(Key(100)); }), 90);
    EXPECT_EQ(Tree().TreeError(), kBTreeWriteFailed);
    EXPECT_EQ(EngineCode([&] { Tree().Delete(Key(3)); }), 5);
    Tree().Undo();
    EXPECT_EQ(Keys(), Range(1, 14));
    EXPECT_EQ(Tree().GetHeight(), 1);
    Tree().Flush();  // nothing to write on a read-only file
}

TEST_F(BTreeTest, ReachingThePageLimitRefusesTheSplitBeforeTouchingTheTree) {
    // A version 3 file allows 32766 tree pages: state that 32765 are in use.
    CreateInt(3);
    const std::int32_t n = Tree().GetOrder();
    InsertKeys(1, 2 * n);  // the root is full
    CloseAll();
    std::string file = FileBytes();
    PutI16(file, 8, 32765);
    testing::WriteBytes(FilePath(), file);
    std::filesystem::resize_file(FilePath(), 32766ull * kPage);
    OpenAgain();
    // A root split needs two pages, one is left.
    EXPECT_EQ(EngineCode([&] { Tree().Insert(Key(1000)); }), 171);
    EXPECT_EQ(Tree().GetHeight(), 1);
    EXPECT_EQ(Keys(), Range(1, 2 * n));
    // Listed free pages count too: with page 32765 on the list, the split goes through.
    CloseAll();
    file = FileBytes();
    PutI16(file, kPage - 2, 32765);  // the free-list head; the page itself is all zeros
    testing::WriteBytes(FilePath(), file);
    OpenAgain();
    Tree().Insert(Key(1000));
    EXPECT_EQ(Tree().GetHeight(), 2);
    EXPECT_EQ(Tree().GetTreePageCount(), 32766);
    EXPECT_EQ(Tree().GetFirstFreePage(), 0);
    // Now every page is used: the next leaf split is refused.
    bool refused = false;
    for (std::int32_t k = 1001; !refused && k < 1100; ++k) {
        const std::int16_t code = EngineCode([&] { Tree().Insert(Key(k)); });
        refused = code != 0;
        EXPECT_TRUE(code == 0 || code == 171) << code;
    }
    EXPECT_TRUE(refused);
    EXPECT_EQ(Tree().GetTreePageCount(), 32766);
    EXPECT_EQ(CheckedCount(), static_cast<std::int32_t>(Keys().size()));
}

TEST_F(BTreeTest, UndoDropsEverythingSinceTheLastFlush) {
    CreateInt(6);
    InsertKeys(1, 100);
    Tree().Flush();
    InsertKeys(101, 300);
    for (std::int32_t k = 1; k <= 50; ++k) {
        Tree().Delete(Key(k));
    }
    Tree().Undo();
    EXPECT_EQ(Keys(), Range(1, 100));
    EXPECT_EQ(CheckedCount(), 100);
    InsertKeys(101, 120);
    Reopen();
    EXPECT_EQ(Keys(), Range(1, 120));
}

TEST_F(BTreeTest, AFailedFlushKeepsTheChangesForTheNextOne) {
    CreateInt(6);
    InsertKeys(1, 200);
    Tree().Flush();
    InsertKeys(201, 400);
    fs_.FailWrites = true;
    EXPECT_THROW(Tree().Flush(), Exception);
    EXPECT_EQ(Tree().TreeError(), kBTreeWriteFailed);
    fs_.FailWrites = false;
    Tree().Flush();
    Reopen();
    EXPECT_EQ(Keys(), Range(1, 400));
}

// Another process has its own page cache: what it wrote shows after Update.
TEST_F(BTreeTest, UpdateShowsWhatAnotherProcessWrote) {
    CreateInt(6);
    InsertKeys(1, 100);
    Reopen();  // shared, as tables open their index files
    TTdbPageManager otherCache;
    otherCache.RegisterClient(1, 4096);
    TTdbClientStorage otherStorage(otherCache, fs_, 1, nullptr);
    otherStorage.SetName(name_);
    otherStorage.SetPageSize(4096);
    otherStorage.Open(false, false);
    TTdbBTree other(otherStorage, 6, OffsetFor(6), IntLess);
    other.Open(nullptr);
    Entry out = Buffer();
    ASSERT_EQ(other.FindLast(out), kTreeFound);  // its path stays pinned
    EXPECT_EQ(IntKey(out), 100);

    InsertKeys(101, 500);
    for (std::int32_t k = 1; k <= 50; ++k) {
        Tree().Delete(Key(k));
    }
    Tree().Flush();
    other.Update();
    ASSERT_EQ(other.FindFirst(out), kTreeFound);
    EXPECT_EQ(IntKey(out), 51);
    ASSERT_EQ(other.FindLast(out), kTreeFound);
    EXPECT_EQ(IntKey(out), 500);
    std::int32_t items = 0;
    std::int32_t wrong = 0;
    other.Check(items, wrong);
    EXPECT_EQ(items, 450);
    EXPECT_EQ(wrong, 0);
    other.Close();
}

TEST_F(BTreeTest, ClearEmptiesTheTreeAndFlushCutsTheFile) {
    CreateInt(6);
    InsertKeys(1, 2000);
    Tree().Flush();
    EXPECT_GT(std::filesystem::file_size(FilePath()), 8192u * 4);
    Tree().Clear();
    EXPECT_EQ(Tree().GetHeight(), 0);
    Entry out = Buffer();
    EXPECT_EQ(Tree().FindFirst(out), kTreeNone);
    Tree().Flush();
    EXPECT_EQ(std::filesystem::file_size(FilePath()), 8192u);
    InsertKeys(5, 40);
    Reopen();
    EXPECT_EQ(Keys(), Range(5, 40));
    EXPECT_EQ(CheckedCount(), 36);
}

TEST_F(BTreeTest, UserDataSitsAfterTheHeader) {
    for (const std::int16_t version : {6, 3}) {
        SCOPED_TRACE("version " + std::to_string(version));
        CreateInt(version);
        const std::string text = "definition";
        Tree().WriteUserData(3, testing::Bytes(text));
        InsertKeys(1, 30);
        const std::size_t at = static_cast<std::size_t>(OffsetFor(version)) +
                               static_cast<std::size_t>(Tree().GetHeaderSize()) + 3;
        CloseAll();
        const std::string file = FileBytes();
        EXPECT_EQ(file.substr(at, text.size()), text);
        OpenAgain();
        std::string back(text.size(), '\0');
        Tree().ReadUserData(3, std::as_writable_bytes(std::span(back.data(), back.size())));
        EXPECT_EQ(back, text);
        // Nothing before the start, past the page, or (versions 1-3) over the free-list head.
        const std::int32_t room =
            kPage - OffsetFor(version) - Tree().GetHeaderSize() - (version == 3 ? 2 : 0);
        std::vector<std::byte> buffer(2);
        EXPECT_THROW(Tree().ReadUserData(-1, buffer), Exception);
        EXPECT_THROW(Tree().WriteUserData(room - 1, buffer), Exception);
        Tree().WriteUserData(room - 2, buffer);
        EXPECT_EQ(Keys(), Range(1, 30));
        CloseAll();
    }
}

TEST_F(BTreeTest, TwoTreesOverOneFileSeeEachOthersChanges) {
    CreateInt(6);
    InsertKeys(1, 50);
    Tree().Flush();
    auto otherStorage = MakeStorage();
    otherStorage->Open(false, false);
    TTdbBTree other(*otherStorage, 6, OffsetFor(6), IntLess);
    other.Open(nullptr);
    Entry out = Buffer();
    // The other tree holds its path pinned; then this one grows a level and shrinks again.
    ASSERT_EQ(other.Find(IntEntry(0, 25), out), kTreeFound);
    InsertKeys(51, 400);
    EXPECT_GE(Tree().GetHeight(), 3);
    for (std::int32_t k = 1; k <= 400; k += 7) {
        ASSERT_EQ(other.Find(IntEntry(0, k), out), kTreeFound);
        EXPECT_EQ(IntKey(out), k);
    }
    for (std::int32_t k = 1; k <= 390; ++k) {
        Tree().Delete(Key(k));
    }
    ASSERT_EQ(other.FindFirst(out), kTreeFound);
    EXPECT_EQ(IntKey(out), 391);
    std::int32_t items = 0;
    std::int32_t wrong = 0;
    other.Check(items, wrong);
    EXPECT_EQ(items, 10);
    other.Close();
}

// A cursor walking one tree object while another object over the same file splits and merges
// the pages under it: every step answers for the file as it is now.
TEST_F(BTreeTest, AWalkStaysRightWhileAnotherTreeChangesThePagesUnderIt) {
    CreateInt(6);
    std::set<std::int32_t> model;
    for (std::int32_t k = 2; k <= 600; k += 2) {
        Tree().Insert(Key(k));
        model.insert(k);
    }
    auto otherStorage = MakeStorage();
    otherStorage->Open(false, false);
    TTdbBTree walker(*otherStorage, 6, OffsetFor(6), IntLess);
    walker.Open(nullptr);
    std::mt19937 rng(5);
    Entry cursor = Buffer();
    ASSERT_EQ(walker.FindFirst(cursor), kTreeFound);
    for (int step = 0; step < 4000 && !HasFailure(); ++step) {
        SCOPED_TRACE("step " + std::to_string(step));
        const std::int32_t at = IntKey(cursor);
        if (rng() % 3 == 0) {
            // Change the file anywhere but at the cursor's entry.
            const auto k = static_cast<std::int32_t>(rng() % 700) + 1;
            if (k == at) {
                continue;
            }
            if (model.count(k) != 0) {
                EXPECT_TRUE(Tree().Delete(Key(k)));
                model.erase(k);
            } else {
                Tree().Insert(Key(k));
                model.insert(k);
            }
            continue;
        }
        const bool forward = rng() % 4 != 0;
        const int answer =
            forward ? walker.FindNext(cursor, cursor) : walker.FindPrev(cursor, cursor);
        const auto it = model.find(at);
        ASSERT_NE(it, model.end());
        if (forward ? std::next(it) == model.end() : it == model.begin()) {
            ASSERT_EQ(answer, kTreeNone);
            ASSERT_EQ(forward ? walker.FindFirst(cursor) : walker.FindLast(cursor), kTreeFound);
            EXPECT_EQ(IntKey(cursor), forward ? *model.begin() : *model.rbegin());
        } else {
            ASSERT_EQ(answer, kTreeFound);
            EXPECT_EQ(IntKey(cursor), forward ? *std::next(it) : *std::prev(it));
        }
    }
    std::int32_t items = 0;
    std::int32_t wrong = 0;
    walker.Check(items, wrong);
    EXPECT_EQ(items, static_cast<std::int32_t>(model.size()));
    walker.Close();
}

TEST_F(BTreeTest, SearchesStepsAndInsertsIntoPagesWithRoomAllocateNothing) {
    if (!testing::CanCountAllocations()) {
        GTEST_SKIP() << "allocations are counted through the address sanitizer's hooks";
    }
    CreateInt(6, 12, 4096);
    for (std::int32_t k = 1; k <= 20000; ++k) {
        Tree().Insert(Key(k * 10));
    }
    Entry out = Buffer();
    Entry walk = Buffer();
    const auto walkBothWays = [&] {
        for (int r = Tree().FindFirst(walk); r == kTreeFound; r = Tree().FindNext(walk, walk)) {
        }
        for (int r = Tree().FindLast(walk); r == kTreeFound; r = Tree().FindPrev(walk, walk)) {
        }
    };
    walkBothWays();  // every page in the cache
    Tree().CalcItemSequenceNo(Key(199990));
    Entry probe = Key(0);
    EXPECT_EQ(AllocationsIn([&] {
                  for (std::int32_t k = 0; k < 5000; ++k) {
                      StoreLE<std::int32_t>(probe.data() + 4, (k * 7919) % 200005);
                      Tree().Find(probe, out);
                      Tree().CalcItemSequenceNo(probe);
                  }
              }),
              0);
    EXPECT_EQ(AllocationsIn(walkBothWays), 0);

    std::int64_t allocations = 0;
    int withoutSplit = 0;
    for (std::int32_t k = 0; k < 3000; ++k) {
        const std::int32_t pages = Tree().GetTreePageCount();
        const Entry e = Key(((k * 7919) % 20000) * 10 + 5);
        const std::int64_t made = AllocationsIn([&] { Tree().Insert(e); });
        if (Tree().GetTreePageCount() == pages) {
            allocations += made;
            ++withoutSplit;
        }
    }
    EXPECT_GT(withoutSplit, 2500);
    EXPECT_EQ(allocations, 0);
}

TEST_F(BTreeTest, PreloadFillsTheCacheSoThatSearchesReadNothing) {
    CreateInt(6);
    InsertKeys(1, 600);
    CloseAll();
    OpenAgain();
    Tree().Preload();
    const std::int32_t reads = storage_->ReadCount();
    EXPECT_EQ(Keys(), Range(1, 600));
    EXPECT_EQ(storage_->ReadCount(), reads);
}

TEST_F(BTreeTest, SequenceNumbersOfLargeTreesAreEstimatedFromTheRoot) {
    // Entries of 40 bytes leave two to four to a page: well over 1000 pages.
    CreateInt(6, 40);
    InsertKeys(1, 3000);
    const std::int32_t pages = Tree().GetTreePageCount();
    ASSERT_GT(pages, 1000);
    EXPECT_EQ(Tree().CalcItemSequenceNo(Key(1)), 1);
    EXPECT_EQ(Tree().CalcItemSequenceNo(Key(3000)),
              static_cast<std::int32_t>(std::lround(1.5 * pages * Tree().GetOrder())) + 1);
    std::int32_t last = 0;
    for (std::int32_t k = 1; k <= 3000; k += 37) {
        const std::int32_t no = Tree().CalcItemSequenceNo(Key(k));
        EXPECT_GE(no, last);
        last = no;
    }
    // Below the limit again: exact.
    Tree().Clear();
    InsertKeys(1, 500);
    ASSERT_LE(Tree().GetTreePageCount(), 1000);
    EXPECT_EQ(Tree().CalcItemSequenceNo(Key(321)), 321);
}

TEST_F(BTreeTest, CloneMakesAnEmptyTreeOfTheSameKindOnAnotherFile) {
    CreateInt(6, 20);
    InsertKeys(1, 10);
    auto otherStorage = MakeStorage();
    otherStorage->SetName(u"copy.ind");
    otherStorage->NewStorage();
    std::unique_ptr<TTdbTreeBase> copy = Tree().Clone(*otherStorage);
    EXPECT_FALSE(copy->IsOpen());
    EXPECT_EQ(copy->GetSize(), 20);
    EXPECT_EQ(copy->GetVersion(), 6);
    copy->New(512, nullptr);
    copy->Insert(IntEntry(7, 7, 20));
    Entry out(20);
    ASSERT_EQ(copy->FindFirst(out), kTreeFound);
    EXPECT_EQ(IntKey(out), 7);
    copy->Close();
}

}  // namespace
}  // namespace tdb::btreetest
