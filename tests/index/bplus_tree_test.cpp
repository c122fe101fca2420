// The B+ tree: the shapes its first changes leave, the searches at the edges, equal items that a
// split parts, its limits, and a long random run against std::multiset in which every step is
// checked against the pages themselves.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "base/engine_error.h"
#include "allocation_counter.h"
#include "bplus_tree_test_support.h"

namespace tdb::bplustest {
namespace {

class BPlusTreeTest : public BPlusFixture {
protected:
    static constexpr std::int32_t kPage = 512;

    std::string Found(int answer) const { return answer == kTreeFound ? Text(found_) : "-"; }
    std::string FindText(const Item& item) {
        const int answer = Tree().Find(item, buffer_);
        found_.assign(buffer_.begin(), buffer_.begin() + Tree().LastItemSize());
        return Found(answer);
    }
    int Step(bool next, const Item& item) {
        const int answer = next ? Tree().FindNext(item, buffer_) : Tree().FindPrev(item, buffer_);
        found_.assign(buffer_.begin(), buffer_.begin() + Tree().LastItemSize());
        return answer;
    }
    void InsertNumbered(int from, int to, std::size_t width = 40) {
        for (int n = from; n <= to; ++n) {
            ASSERT_TRUE(Tree().Insert(Numbered(n, width)));
        }
    }
    RawTree Raw() { return RawReader(*storage_, Tree()).Read(); }

    Item buffer_ = Item(TTdbBPlusTree::kMaxPageSize);
    Item found_;
    static constexpr int kProbes = 64;
    // Search items made before counting starts.
    std::vector<Item> probes_ = [] {
        std::vector<Item> probes;
        for (int n = 0; n < kProbes; ++n) {
            probes.push_back(Numbered(n * 281, 5 + n % 9));
        }
        return probes;
    }();
};

TEST_F(BPlusTreeTest, FirstInsertMakesPageOneALeafRoot) {
    Create(kPage);
    EXPECT_EQ(Tree().GetHeight(), 0);
    EXPECT_EQ(Tree().GetPageCount(), 1);
    ASSERT_TRUE(Tree().Insert(MakeItem("alpha")));
    EXPECT_EQ(Tree().GetHeight(), 1);
    EXPECT_EQ(Tree().GetRootPage(), 1);
    EXPECT_EQ(Tree().GetPageCount(), 2);
    EXPECT_EQ(Tree().GetItemCount(), 1);
    EXPECT_EQ(Tree().GetSize(), 0);
    EXPECT_EQ(Tree().GetHeaderSize(), 22);
}

TEST_F(BPlusTreeTest, SeparatorIsTheFirstItemOfTheRightLeaf) {
    Create(kPage);
    int n = 0;
    while (Tree().GetHeight() < 2) {
        ASSERT_TRUE(Tree().Insert(Numbered(n++)));
    }
    RawReader reader(*storage_, Tree());
    const TTdbBPlusPage root = reader.Load(Tree().GetRootPage(), false);
    ASSERT_EQ(root.Count(), 1);
    const Item separator(root.Key(0).begin(), root.Key(0).end());
    const std::int32_t rightNo = root.Child(1);
    const TTdbBPlusPage right = reader.Load(rightNo, true);
    EXPECT_EQ(Text(right.Item(0)), Text(separator));
    EXPECT_EQ(FindText(separator), Text(separator));
    EXPECT_EQ(Raw().misplaced, 0);
}

TEST_F(BPlusTreeTest, DeletingTheOnlyItemGivesTheLeafBack) {
    Create(kPage);
    ASSERT_TRUE(Tree().Insert(MakeItem("only")));
    EXPECT_FALSE(Tree().Delete(MakeItem("other")));
    ASSERT_TRUE(Tree().Delete(MakeItem("only")));
    EXPECT_EQ(Tree().GetHeight(), 0);
    EXPECT_EQ(Tree().GetRootPage(), 0);
    EXPECT_EQ(Tree().GetPageCount(), 1);
    EXPECT_EQ(Tree().GetItemCount(), 0);
    EXPECT_EQ(Tree().FindFirst(buffer_), kTreeNone);
    Tree().Flush();
    // Page 0 alone: one tile of the file system.
    EXPECT_EQ(std::filesystem::file_size(FilePath()),
              static_cast<std::uintmax_t>(fs_.GetPageSize()));
}

TEST_F(BPlusTreeTest, SearchesAtTheEdges) {
    Create(kPage);
    InsertNumbered(0, 99);  // "k00000" ... "k00099", several leaves
    ASSERT_GE(Raw().leaves.size(), 3u);
    EXPECT_EQ(FindText(MakeItem("z")), "-");
    EXPECT_EQ(Tree().Find(MakeItem("z"), buffer_), kTreeNone);
    EXPECT_EQ(FindText(MakeItem("a")), Text(Numbered(0)));
    EXPECT_EQ(FindText(MakeItem("k00042")), Text(Numbered(42)));  // a prefix finds its item

    // An item between the last of one leaf and the first of the next finds that first one.
    const RawTree raw = Raw();
    RawReader reader(*storage_, Tree());
    const TTdbBPlusPage first = reader.Load(raw.leaves[0], true);
    Item between(first.Item(first.Count() - 1).begin(), first.Item(first.Count() - 1).end());
    between.push_back(std::byte{'~'});
    const TTdbBPlusPage second = reader.Load(raw.leaves[1], true);
    EXPECT_EQ(FindText(between), Text(second.Item(0)));

    const Item absent = MakeItem("k00042");
    EXPECT_EQ(Step(true, absent), kTreeMissing);
    EXPECT_EQ(Step(false, absent), kTreeMissing);
    EXPECT_EQ(Step(true, Numbered(99)), kTreeNone);
    EXPECT_EQ(Step(false, Numbered(0)), kTreeNone);
    EXPECT_EQ(Step(true, Numbered(41)), kTreeFound);
    EXPECT_EQ(Text(found_), Text(Numbered(42)));
    EXPECT_EQ(Step(false, Numbered(41)), kTreeFound);
    EXPECT_EQ(Text(found_), Text(Numbered(40)));

    // Walks in both directions visit every item once.
    int count = 0;
    for (int answer = Tree().FindFirst(buffer_); answer == kTreeFound; ++count) {
        found_.assign(buffer_.begin(), buffer_.begin() + Tree().LastItemSize());
        ASSERT_EQ(Text(found_), Text(Numbered(count)));
        answer = Step(true, found_);
    }
    EXPECT_EQ(count, 100);
    count = 0;
    for (int answer = Tree().FindLast(buffer_); answer == kTreeFound; ++count) {
        found_.assign(buffer_.begin(), buffer_.begin() + Tree().LastItemSize());
        ASSERT_EQ(Text(found_), Text(Numbered(99 - count)));
        answer = Step(false, found_);
    }
    EXPECT_EQ(count, 100);
}

TEST_F(BPlusTreeTest, SequenceNumbersAcrossLeaves) {
    Create(kPage);
    InsertNumbered(1, 400);
    ASSERT_GE(Raw().leaves.size(), 20u);
    for (const int n : {1, 2, 37, 300, 400}) {
        EXPECT_EQ(Tree().CalcItemSequenceNo(Numbered(n)), n) << n;
    }
    EXPECT_EQ(Tree().CalcItemSequenceNo(MakeItem("k00300")), 0);
    EXPECT_EQ(Tree().CalcItemSequenceNo(MakeItem("z")), 0);
    EXPECT_EQ(Tree().CalcItemSequenceNo(MakeItem("a")), 0);
}

TEST_F(BPlusTreeTest, CountFollowsDeleteInsertAndClear) {
    Create(kPage);
    InsertNumbered(1, 50);
    ASSERT_TRUE(Tree().Delete(Numbered(20)));
    ASSERT_TRUE(Tree().Insert(Numbered(20)));
    EXPECT_EQ(Tree().GetItemCount(), 50);
    Tree().Clear();
    EXPECT_EQ(Tree().GetItemCount(), 0);
    EXPECT_EQ(Tree().GetHeight(), 0);
    EXPECT_EQ(Tree().GetPageCount(), 1);
    EXPECT_EQ(Tree().FindFirst(buffer_), kTreeNone);
    InsertNumbered(1, 3);
    EXPECT_EQ(Tree().GetRootPage(), 1);
}

TEST_F(BPlusTreeTest, FreedPageInTheMiddleGoesOnTheFreeListAndNewPagesAreAppended) {
    Create(kPage);
    InsertNumbered(0, 59);
    const RawTree before = Raw();
    ASSERT_GE(before.leaves.size(), 4u);
    const std::int32_t pageCount = Tree().GetPageCount();
    Tree().Flush();
    const auto fileSize = std::filesystem::file_size(FilePath());

    // The second leaf, once thin, absorbs the third, whose page is not the last one.
    const std::int32_t absorbed = before.leaves[2];
    ASSERT_LT(absorbed, pageCount - 1);
    RawReader reader(*storage_, Tree());
    const TTdbBPlusPage second = reader.Load(before.leaves[1], true);
    std::vector<Item> items;
    for (std::int32_t k = 0; k < second.Count(); ++k) {
        items.emplace_back(second.Item(k).begin(), second.Item(k).end());
    }
    for (const Item& item : items) {
        ASSERT_TRUE(Tree().Delete(item));
    }
    EXPECT_EQ(Tree().GetFirstFreePage(), absorbed);
    EXPECT_EQ(Tree().GetPageCount(), pageCount);
    Tree().Flush();
    EXPECT_EQ(std::filesystem::file_size(FilePath()), fileSize);

    // The leaf after the absorbed one now points back at the leaf that absorbed it.
    const RawTree after = Raw();
    EXPECT_EQ(after.byBackChain, after.byDescent);
    EXPECT_EQ(after.byChain, after.byDescent);
    EXPECT_EQ(after.freePages, 1);
    ASSERT_GE(after.leaves.size(), 3u);
    EXPECT_EQ(after.leaves[1], before.leaves[1]);
    EXPECT_EQ(after.leaves[2], before.leaves[3]);
    EXPECT_EQ(reader.Load(after.leaves[2], true).PrevLeaf(), before.leaves[1]);

    // The next split takes a new page at the end, not the listed one.
    int n = 1000;
    while (Tree().GetPageCount() == pageCount) {
        ASSERT_TRUE(Tree().Insert(Numbered(n++)));
    }
    EXPECT_EQ(Tree().GetPageCount(), pageCount + 1);
    EXPECT_EQ(Tree().GetFirstFreePage(), absorbed);
}

TEST_F(BPlusTreeTest, EqualItemsPartedBySplitsAreAllFoundAndDeleted) {
    Create(kPage);
    const Item same = Numbered(5);
    InsertNumbered(0, 9);
    for (int i = 0; i < 60; ++i) {
        ASSERT_TRUE(Tree().Insert(same));
    }
    ASSERT_GE(Raw().leaves.size(), 5u);
    EXPECT_EQ(Tree().GetItemCount(), 70);
    EXPECT_EQ(Tree().CalcItemSequenceNo(same), 6);
    // Walks pass over equal items in both directions, and end.
    ASSERT_EQ(Step(true, same), kTreeFound);
    EXPECT_EQ(Text(found_), Text(Numbered(6)));
    ASSERT_EQ(Step(false, same), kTreeFound);
    EXPECT_EQ(Text(found_), Text(Numbered(4)));
    ASSERT_EQ(Step(false, Numbered(6)), kTreeFound);
    EXPECT_EQ(Text(found_), Text(same));
    ASSERT_EQ(Step(false, found_), kTreeFound);
    EXPECT_EQ(Text(found_), Text(Numbered(4)));

    for (int i = 0; i < 61; ++i) {
        ASSERT_TRUE(Tree().Delete(same)) << i;
        EXPECT_EQ(FindText(same), Text(i < 60 ? same : Numbered(6))) << i;
    }
    EXPECT_FALSE(Tree().Delete(same));
    EXPECT_EQ(Tree().GetItemCount(), 9);
    const Checked checked = Check();
    EXPECT_EQ(checked.items, 9);
    EXPECT_EQ(checked.wrongSorts, 0);
}

TEST_F(BPlusTreeTest, RejectEqualKeepsOneOfEachItem) {
    Create(kPage, true);
    InsertNumbered(0, 99);
    for (const int n : {0, 17, 50, 99}) {
        EXPECT_FALSE(Tree().Insert(Numbered(n))) << n;
    }
    EXPECT_EQ(Tree().GetItemCount(), 100);
    const Checked checked = Check();
    EXPECT_EQ(checked.items, 100);
    EXPECT_EQ(checked.wrongSorts, 0);
}

TEST_F(BPlusTreeTest, LimitsOfPagesItemsAndBuffers) {
    // Page sizes: a cap above, a refusal below.
    Create(1 << 17);
    EXPECT_EQ(Tree().GetPageSize(), TTdbBPlusTree::kMaxPageSize);
    EXPECT_EQ(EngineCode([&] { Create(128); }), 98);

    Create(kPage);
    const std::int32_t largest = Tree().MaxItemSize();
    EXPECT_EQ(largest, TTdbBPlusTree::MaxItemSizeFor(kPage));
    EXPECT_GT(largest, 100);
    InsertNumbered(0, 20);
    EXPECT_EQ(EngineCode([&] { Tree().Insert(Item(largest + 1, std::byte{'m'})); }), 11);
    EXPECT_EQ(EngineCode([&] { Tree().Insert(Item()); }), 49);
    EXPECT_EQ(Tree().GetItemCount(), 21);

    // Items of the largest size still split soundly.
    for (int i = 0; i < 40; ++i) {
        Item big(static_cast<std::size_t>(largest), std::byte{static_cast<unsigned char>('a' + i % 26)});
        big[1] = std::byte{static_cast<unsigned char>(i)};
        ASSERT_TRUE(Tree().Insert(big));
    }
    const Checked checked = Check();
    EXPECT_EQ(checked.items, 61);
    EXPECT_EQ(checked.wrongSorts, 0);

    // A buffer smaller than the item is refused, not overrun.
    Item small(4);
    EXPECT_EQ(EngineCode([&] { Tree().FindLast(small); }), 49);
}

TEST_F(BPlusTreeTest, ReadOnlyTreeRefusesChangesAndKeepsItsItems) {
    Create(kPage);
    InsertNumbered(0, 30);
    CloseAll();
    OpenAgain(true);
    EXPECT_THROW(Tree().Insert(Numbered(100)), Exception);
    EXPECT_THROW(Tree().Delete(Numbered(3)), Exception);
    EXPECT_EQ(Tree().GetItemCount(), 31);
    EXPECT_EQ(FindText(Numbered(3)), Text(Numbered(3)));
}

TEST_F(BPlusTreeTest, SearchesStepsAndChangesWithinAPageAllocateNothing) {
    if (!testing::CanCountAllocations()) {
        GTEST_SKIP() << "allocations are counted through the address sanitizer's hooks";
    }
    Create(4096, true);
    for (int n = 0; n < 9000; ++n) {
        ASSERT_TRUE(Tree().Insert(Numbered((n * 7919) % 9000 * 2, 12 + n % 20)));
    }
    Item walk(buffer_.size());
    const auto walkBothWays = [&] {
        for (int r = Tree().FindFirst(walk); r == kTreeFound;
             r = Tree().FindNext(std::span(walk).first(Tree().LastItemSize()), walk)) {
        }
        for (int r = Tree().FindLast(walk); r == kTreeFound;
             r = Tree().FindPrev(std::span(walk).first(Tree().LastItemSize()), walk)) {
        }
    };
    walkBothWays();  // every page in the cache
    EXPECT_EQ(testing::AllocationsIn([&] {
                  for (int n = 0; n < 3000; ++n) {
                      const Item& probe = probes_[static_cast<std::size_t>(n % kProbes)];
                      Tree().Find(probe, buffer_);
                      Tree().CalcItemSequenceNo(probe);
                  }
              }),
              0);
    EXPECT_EQ(testing::AllocationsIn(walkBothWays), 0);

    std::int64_t allocations = 0;
    int withinPage = 0;
    for (int n = 0; n < 2000; ++n) {
        const Item item = Numbered((n * 7919) % 9000 * 2 + 1, 12 + n % 20);
        const std::int32_t pages = Tree().GetPageCount();
        const std::int32_t freeHead = Tree().GetFirstFreePage();
        const std::int64_t made = testing::AllocationsIn([&] {
            Tree().Insert(item);
            Tree().Delete(item);
            Tree().Insert(item);
        });
        if (Tree().GetPageCount() == pages && Tree().GetFirstFreePage() == freeHead) {
            allocations += made;
            ++withinPage;
        }
    }
    EXPECT_GT(withinPage, 1500);
    EXPECT_EQ(allocations, 0);
}

// ---------------------------------------------------------------------------------------------
// A long random run against std::multiset.

class BPlusDifferentialTest : public BPlusTreeTest {
protected:
    // Items of 1 to 300 bytes over a small alphabet, so that equal items and shared prefixes
    // are common; a few long ones make leaves hold only a handful.
    Item RandomItem() {
        const std::size_t length = random_() % 4 == 0 ? 1 + random_() % 300 : 1 + random_() % 6;
        Item item(length);
        for (std::byte& b : item) {
            b = std::byte{static_cast<unsigned char>('a' + random_() % 3)};
        }
        return item;
    }

    Item Pick() {
        if (model_.empty() || random_() % 3 == 0) {
            return RandomItem();
        }
        auto it = model_.begin();
        std::advance(it, static_cast<long>(random_() % model_.size()));
        return *it;
    }

    // Everything the tree answers about Probe, against the model.
    void ExpectSearches(const Item& probe) {
        const auto lower = model_.lower_bound(probe);
        const bool present = lower != model_.end() && *lower == probe;
        EXPECT_EQ(FindText(probe), lower == model_.end() ? "-" : Text(*lower));
        const int next = Step(true, probe);
        if (!present) {
            EXPECT_EQ(next, kTreeMissing);
        } else {
            const auto upper = model_.upper_bound(probe);
            EXPECT_EQ(Found(next), upper == model_.end() ? "-" : Text(*upper));
        }
        const int prev = Step(false, probe);
        if (!present) {
            EXPECT_EQ(prev, kTreeMissing);
        } else {
            EXPECT_EQ(Found(prev), lower == model_.begin() ? "-" : Text(*std::prev(lower)));
        }
        const auto position = std::distance(model_.begin(), lower);
        EXPECT_EQ(Tree().CalcItemSequenceNo(probe), present ? position + 1 : 0);
    }

    // The pages hold exactly the model, in order, in both directions of the chain, and every
    // page of the file is either in the tree or on the free list.
    void ExpectPagesHoldModel() {
        const RawTree raw = Raw();
        const std::vector<Item> expected(model_.begin(), model_.end());
        ASSERT_EQ(raw.byDescent, expected);
        ASSERT_EQ(raw.byChain, expected);
        ASSERT_EQ(raw.byBackChain, expected);
        EXPECT_EQ(raw.misplaced, 0);
        EXPECT_EQ(raw.keylessInner, 0);
        EXPECT_EQ(raw.emptyLeaves, 0);
        EXPECT_EQ(Tree().GetItemCount(), static_cast<std::int32_t>(model_.size()));
        EXPECT_EQ(1 + raw.innerPages + static_cast<std::int32_t>(raw.leaves.size()) +
                      raw.freePages,
                  Tree().GetPageCount());
    }

    std::mt19937 random_{20261210};
    std::multiset<Item> model_;
};

TEST_F(BPlusDifferentialTest, RandomRunMatchesMultiset) {
    Create(1024);
    std::int32_t tallest = 0;
    std::int32_t pageCount = Tree().GetPageCount();
    std::int32_t freeHead = Tree().GetFirstFreePage();
    for (int step = 0; step < 6000; ++step) {
        // Grow to about 1500 items, then shrink to nothing, then grow again.
        const bool growing = step < 3000 || step >= 5200;
        const Item item = Pick();
        if (random_() % 10 < (growing ? 7u : 2u)) {
            ASSERT_TRUE(Tree().Insert(item));
            model_.insert(item);
        } else {
            const auto it = model_.find(item);
            ASSERT_EQ(Tree().Delete(item), it != model_.end()) << step;
            if (it != model_.end()) {
                model_.erase(it);
            }
        }
        ExpectSearches(item);
        ExpectSearches(RandomItem());
        // The pages are read after every split and merge (each takes or frees a page), and
        // often besides.
        if (Tree().GetPageCount() != pageCount || Tree().GetFirstFreePage() != freeHead ||
            step % 4 == 0) {
            ExpectPagesHoldModel();
            pageCount = Tree().GetPageCount();
            freeHead = Tree().GetFirstFreePage();
        }
        if (HasFailure()) {
            FAIL() << "step " << step;
        }
        tallest = std::max(tallest, Tree().GetHeight());
        if (step == 3000) {
            Reopen();
            ExpectPagesHoldModel();
        }
    }
    EXPECT_GE(tallest, 4);
    Reopen();
    ExpectPagesHoldModel();
    const Checked checked = Check();
    EXPECT_EQ(checked.items, static_cast<std::int32_t>(model_.size()));
    EXPECT_EQ(checked.wrongSorts, 0);
    while (!model_.empty()) {
        ASSERT_TRUE(Tree().Delete(*model_.begin()));
        model_.erase(model_.begin());
    }
    ExpectPagesHoldModel();
    EXPECT_EQ(Tree().GetHeight(), 0);
}

// Items appended behind all others, as record numbers are, fill their pages at every level; with
// deletions among them, no page is ever left without a key or an item. Items of several sizes
// move the cuts and make some merges fail for want of room.
TEST_F(BPlusDifferentialTest, RisingRunsWithDeletionsLeaveNoEmptyPages) {
    Create(512);
    std::int32_t pageCount = Tree().GetPageCount();
    std::int32_t freeHead = Tree().GetFirstFreePage();
    int next = 0;
    const auto sized = [](int n) {
        return Numbered(n, 8 + static_cast<std::size_t>((n * 7919) % 11) * 11);
    };
    for (int step = 0; step < 4000; ++step) {
        // Mostly rising appends; deletions come in bursts that thin whole stretches out.
        const bool burst = (step / 500) % 3 == 2;
        if (!burst && random_() % 10 < 8u) {
            const Item item = sized(next++);
            ASSERT_TRUE(Tree().Insert(item));
            model_.insert(item);
        } else if (!model_.empty()) {
            auto it = model_.begin();
            std::advance(it, static_cast<long>(random_() % model_.size()));
            ASSERT_TRUE(Tree().Delete(*it)) << step;
            model_.erase(it);
        }
        if (Tree().GetPageCount() != pageCount || Tree().GetFirstFreePage() != freeHead ||
            step % 16 == 0) {
            ExpectPagesHoldModel();
            pageCount = Tree().GetPageCount();
            freeHead = Tree().GetFirstFreePage();
        }
        if (HasFailure()) {
            FAIL() << "step " << step;
        }
    }
    EXPECT_GE(Tree().GetHeight(), 3);
    const Checked checked = Check();
    EXPECT_EQ(checked.items, static_cast<std::int32_t>(model_.size()));
    EXPECT_EQ(checked.wrongSorts, 0);
}

}  // namespace
}  // namespace tdb::bplustest
