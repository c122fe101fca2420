// Damaged B+ tree files, built by writing bytes: headers that make no sense are refused on
// opening, damaged pages make the operations that meet them fail with their own engine errors,
// and no file makes the tree crash, read out of bounds or loop for ever.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "base/byte_image.h"
#include "base/engine_error.h"
#include "bplus_tree_test_support.h"

namespace tdb::bplustest {
namespace {

constexpr std::int32_t kPage = 512;
constexpr std::int32_t kItems = 700;

// Tree header fields on page 0.
constexpr std::size_t kPageCountAt = kOffset + 0;
constexpr std::size_t kHeightAt = kOffset + 4;
constexpr std::size_t kRootAt = kOffset + 6;
constexpr std::size_t kFreeHeadAt = kOffset + 10;
constexpr std::size_t kPageSizeAt = kOffset + 14;
constexpr std::size_t kItemCountAt = kOffset + 18;

std::size_t At(std::int32_t pageNo) {
    return static_cast<std::size_t>(pageNo) * kPage;
}

// The slotted frame of a page in a file image.
std::size_t CountAt(std::int32_t pageNo) {
    return At(pageNo) + kPage - 2;
}
std::size_t SlotAt(std::int32_t pageNo, std::int32_t k) {
    return At(pageNo) + kPage - 2 - 2 * static_cast<std::size_t>(k);
}
// Child I of an inner page: child 0 in the page header, the others behind item I - 1.
std::size_t ChildAt(const std::string& f, std::int32_t pageNo, std::int32_t i) {
    return i == 0 ? At(pageNo) : At(pageNo) + U16(f, SlotAt(pageNo, i)) - 4;
}
std::int32_t Child(const std::string& f, std::int32_t pageNo, std::int32_t i) {
    return I32(f, ChildAt(f, pageNo, i));
}
std::size_t PrevAt(std::int32_t leaf) {
    return At(leaf);
}
std::size_t NextAt(std::int32_t leaf) {
    return At(leaf) + 4;
}

// Items that sort by their number, of several sizes, so that pages split at varying places.
Item Sized(int n) {
    return Numbered(n, 24 + static_cast<std::size_t>(n % 5) * 9);
}

// Where things are in the sound file.
struct Layout {
    std::int32_t pageCount = 0;
    std::int32_t root = 0;
    std::vector<std::int32_t> inner;        // the root's children, all inner pages
    std::vector<std::int32_t> leaves;       // in key order
    std::vector<std::vector<int>> numbers;  // the item numbers on each leaf
};

class BPlusDamageTest : public BPlusFixture {
protected:
    // Items 0 ... kItems - 1 in a tree three levels high, three of every four of 200 ... 399
    // deleted again so that merges have left pages on the free list.
    void SetUp() override {
        Create(kPage, true);
        for (int n = 0; n < kItems; ++n) {
            ASSERT_TRUE(Tree().Insert(Sized(n)));
        }
        for (int n = 0; n < kItems; ++n) {
            if (n >= 200 && n < 400 && n % 4 != 0) {
                ASSERT_TRUE(Tree().Delete(Sized(n)));
            } else {
                present_.push_back(n);
            }
        }
        ASSERT_EQ(Tree().GetHeight(), 3);
        ASSERT_NE(Tree().GetFirstFreePage(), 0);
        CloseAll();
        good_ = testing::ReadBytes(FilePath());

        layout_.pageCount = I32(good_, kPageCountAt);
        layout_.root = I32(good_, kRootAt);
        for (std::int32_t i = 0; i <= U16(good_, CountAt(layout_.root)); ++i) {
            layout_.inner.push_back(Child(good_, layout_.root, i));
        }
        for (std::int32_t leaf = Child(good_, layout_.inner[0], 0); leaf != 0;
             leaf = I32(good_, NextAt(leaf))) {
            layout_.leaves.push_back(leaf);
            layout_.numbers.emplace_back();
            for (std::int32_t k = 0; k < U16(good_, CountAt(leaf)); ++k) {
                const std::size_t start =
                    k == 0 ? At(leaf) + 8 : At(leaf) + U16(good_, SlotAt(leaf, k));
                layout_.numbers.back().push_back(std::stoi(good_.substr(start + 1, 5)));
            }
        }
        ASSERT_GE(layout_.inner.size(), 2u);
        ASSERT_GE(layout_.leaves.size(), 20u);
    }

    void WriteFile(const std::string& bytes) { testing::WriteBytes(FilePath(), bytes); }

    // Writes the sound file with Damage done to it and opens it: Open's answer.
    std::int16_t OpenDamaged(const std::function<void(std::string&)>& damage) {
        std::string file = good_;
        damage(file);
        WriteFile(file);
        return Open();
    }

    // Opens the file as it is; the engine error code of a refusal, else 0.
    std::int16_t Open() {
        tree_.reset();
        storage_.reset();
        try {
            OpenAgain();
        } catch (const ETdbEngine& e) {
            EXPECT_FALSE(Tree().IsOpen());
            return e.Code();
        }
        Tree().SetRejectEqual(true);
        return 0;
    }

    // Runs Op; an engine error must carry Code, anything else thrown is a fault of the tree.
    // Whether it answered.
    bool Attempt(const char* what, std::int16_t code, const std::function<void()>& op) {
        try {
            op();
            return true;
        } catch (const ETdbEngine& e) {
            EXPECT_EQ(e.Code(), code) << what;
        } catch (const Exception& e) {
            ADD_FAILURE() << what << ": " << ToUtf8(e.Message());
        } catch (const std::exception& e) {
            ADD_FAILURE() << what << ": " << e.what();
        }
        Tree().Undo();
        return false;
    }

    std::int16_t CheckCode(std::int32_t* items = nullptr) {
        try {
            const Checked checked = Check();
            if (items != nullptr) {
                *items = checked.wrongSorts == 0 ? checked.items : -1;
            }
        } catch (const ETdbEngine& e) {
            return e.Code();
        }
        return 0;
    }

    // Every operation once, each answering or failing with its own error; the number that
    // failed.
    int Exercise() {
        int failures = 0;
        const auto attempt = [&](const char* what, std::int16_t code,
                                 const std::function<void()>& op) {
            failures += Attempt(what, code, op) ? 0 : 1;
        };
        std::vector<Item> probes{MakeItem("a"), MakeItem("k0300"), MakeItem("z")};
        for (const int n : {0, 1, 250, 399, 420, kItems - 1}) {
            probes.push_back(Sized(n));
        }
        for (const Item& probe : probes) {
            attempt("Find", 91, [&] {
                if (Tree().Find(probe, buffer_) == kTreeFound) {
                    EXPECT_LE(Tree().LastItemSize(), Tree().MaxItemSize());
                }
            });
            attempt("FindNext", 91, [&] { Tree().FindNext(probe, buffer_); });
            attempt("FindPrev", 91, [&] { Tree().FindPrev(probe, buffer_); });
            attempt("CalcItemSequenceNo", 91,
                    [&] { EXPECT_GE(Tree().CalcItemSequenceNo(probe), 0); });
        }
        attempt("FindFirst", 91, [&] { Tree().FindFirst(buffer_); });
        attempt("FindLast", 91, [&] { Tree().FindLast(buffer_); });
        attempt("Insert", 90, [&] {
            for (int n = kItems; n < kItems + 60; ++n) {
                Tree().Insert(Sized(n));
            }
        });
        // Behind items all over the tree: splits in the middle relink the following leaf.
        attempt("Insert between", 90, [&] {
            for (int n = 0; n < kItems; n += 5) {
                Item item = Sized(n);
                item.push_back(std::byte{'!'});
                Tree().Insert(item);
            }
        });
        attempt("Delete", 90, [&] {
            for (int n = 0; n < kItems; n += 3) {
                Tree().Delete(Sized(n));
            }
        });
        attempt("Check", 95, [&] { Check(); });
        attempt("Preload", 91, [&] { Tree().Preload(); });
        // Emptying the tree merges pages at every level and takes the root away.
        attempt("Delete all", 90, [&] {
            for (int n = 0; n < kItems + 60; ++n) {
                Tree().Delete(Sized(n));
            }
        });
        return failures;
    }

    // Walks forward or back from the end, at most Limit steps: the items in the order met.
    std::vector<Item> Walk(bool forward, int limit) {
        std::vector<Item> met;
        int answer = forward ? Tree().FindFirst(buffer_) : Tree().FindLast(buffer_);
        while (answer == kTreeFound && static_cast<int>(met.size()) < limit) {
            met.emplace_back(buffer_.begin(), buffer_.begin() + Tree().LastItemSize());
            answer = forward ? Tree().FindNext(met.back(), buffer_)
                             : Tree().FindPrev(met.back(), buffer_);
        }
        return met;
    }

    std::string good_;
    Layout layout_;
    std::vector<int> present_;  // the numbers of the items in the sound file, ascending
    Item buffer_ = Item(TTdbBPlusTree::kMaxPageSize);
};

// Refused: opening fails with 95. Damaged: the tree opens, its check reports 95 and no
// operation fails otherwise than with its own error. Harmless: everything answers.
enum class Outcome { kRefused, kDamaged, kHarmless };

TEST_F(BPlusDamageTest, HeadersThatMakeNoSense) {
    const std::int32_t filePages = static_cast<std::int32_t>(good_.size() / kPage);
    const std::int32_t pages = layout_.pageCount;
    const std::int32_t lastLeaf = *std::max_element(layout_.leaves.begin(), layout_.leaves.end());
    struct Case {
        const char* what;
        Outcome outcome;
        std::function<void(std::string&)> damage;
    };
    const Case cases[] = {
        {"page count 0", Outcome::kRefused, [](std::string& f) { PutI32(f, kPageCountAt, 0); }},
        {"negative page count", Outcome::kRefused,
         [](std::string& f) { PutI32(f, kPageCountAt, -7); }},
        {"page count beyond the file", Outcome::kRefused,
         [&](std::string& f) { PutI32(f, kPageCountAt, filePages + 1); }},
        {"page count that cuts off tree pages", Outcome::kDamaged,
         [&](std::string& f) { PutI32(f, kPageCountAt, lastLeaf); }},
        {"height above the largest", Outcome::kRefused,
         [](std::string& f) { PutU16(f, kHeightAt, TTdbBPlusTree::kMaxHeight + 1); }},
        {"height as large as the page count", Outcome::kRefused,
         [&](std::string& f) { PutU16(f, kHeightAt, pages); }},
        {"negative height", Outcome::kRefused,
         [](std::string& f) { PutU16(f, kHeightAt, 0xFFFF); }},
        {"height one too large", Outcome::kDamaged,
         [](std::string& f) { PutU16(f, kHeightAt, 4); }},
        {"height one too small", Outcome::kDamaged,
         [](std::string& f) { PutU16(f, kHeightAt, 2); }},
        {"height 0 over a tree: an empty tree", Outcome::kHarmless,
         [](std::string& f) {
             PutU16(f, kHeightAt, 0);
             PutI32(f, kItemCountAt, 0);
         }},
        {"height 0 with items counted", Outcome::kDamaged,
         [](std::string& f) { PutU16(f, kHeightAt, 0); }},
        {"root 0", Outcome::kRefused, [](std::string& f) { PutI32(f, kRootAt, 0); }},
        {"negative root", Outcome::kRefused, [](std::string& f) { PutI32(f, kRootAt, -1); }},
        {"root beyond the page count", Outcome::kRefused,
         [&](std::string& f) { PutI32(f, kRootAt, pages); }},
        {"root at a leaf", Outcome::kDamaged,
         [&](std::string& f) { PutI32(f, kRootAt, layout_.leaves[5]); }},
        {"root at one of its children", Outcome::kDamaged,
         [&](std::string& f) { PutI32(f, kRootAt, layout_.inner[1]); }},
        {"page size below the smallest", Outcome::kRefused,
         [](std::string& f) { PutI32(f, kPageSizeAt, 100); }},
        {"page size the storage cannot use", Outcome::kRefused,
         [](std::string& f) { PutI32(f, kPageSizeAt, 300); }},
        {"page size above the largest", Outcome::kRefused,
         [](std::string& f) { PutI32(f, kPageSizeAt, 1 << 20); }},
        {"page size twice the file's", Outcome::kRefused,
         [](std::string& f) { PutI32(f, kPageSizeAt, 2 * kPage); }},
        {"page size half the file's", Outcome::kDamaged,
         [](std::string& f) { PutI32(f, kPageSizeAt, kPage / 2); }},
        {"negative free list head", Outcome::kRefused,
         [](std::string& f) { PutI32(f, kFreeHeadAt, -1); }},
        {"free list head beyond the page count", Outcome::kRefused,
         [&](std::string& f) { PutI32(f, kFreeHeadAt, pages); }},
        // The free list is only ever pushed: a head inside the tree is never followed.
        {"free list head at the root", Outcome::kHarmless,
         [&](std::string& f) { PutI32(f, kFreeHeadAt, layout_.root); }},
        {"item count that is wrong", Outcome::kDamaged,
         [](std::string& f) { PutI32(f, kItemCountAt, -5); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::int16_t code = OpenDamaged(c.damage);
        if (c.outcome == Outcome::kRefused) {
            EXPECT_EQ(code, 95);
            continue;
        }
        ASSERT_EQ(code, 0);
        EXPECT_EQ(CheckCode(), c.outcome == Outcome::kDamaged ? 95 : 0);
        const int failures = Exercise();
        if (c.outcome == Outcome::kHarmless) {
            EXPECT_EQ(failures, 0);
        }
        CloseAll();
    }
}

TEST_F(BPlusDamageTest, DamagedPagesFailTheOperationsThatMeetThem) {
    struct Case {
        const char* what;
        std::function<void(std::string&)> damage;
    };
    const std::int32_t leaf = layout_.leaves[0];
    const std::int32_t inner = layout_.inner[0];
    const std::int32_t root = layout_.root;
    const Case cases[] = {
        // The slotted frame.
        {"slots out of order",
         [&](std::string& f) {
             const std::int32_t first = U16(f, SlotAt(leaf, 1));
             PutU16(f, SlotAt(leaf, 1), U16(f, SlotAt(leaf, 2)));
             PutU16(f, SlotAt(leaf, 2), first);
         }},
        {"item ending beyond the page",
         [&](std::string& f) { PutU16(f, SlotAt(leaf, U16(f, CountAt(leaf))), kPage + 40); }},
        {"item ending in the slot table",
         [&](std::string& f) {
             const std::int32_t n = U16(f, CountAt(leaf));
             PutU16(f, SlotAt(leaf, n), kPage - 2 - 2 * n + 1);
         }},
        {"item larger than the tree takes",
         [&](std::string& f) {
             // Two items made one: the slot between them dropped.
             const std::int32_t n = U16(f, CountAt(leaf));
             for (std::int32_t k = 1; k < n; ++k) {
                 PutU16(f, SlotAt(leaf, k), U16(f, SlotAt(leaf, k + 1)));
             }
             PutU16(f, SlotAt(leaf, 1), 8 + TTdbBPlusTree::MaxItemSizeFor(kPage) + 1);
             PutU16(f, CountAt(leaf), n - 1);
         }},
        {"item count whose slots do not fit the page",
         [&](std::string& f) { PutU16(f, CountAt(leaf), 300); }},
        {"item count 65535 on the root", [&](std::string& f) { PutU16(f, CountAt(root), 0xFFFF); }},
        {"inner item shorter than its child pointer",
         [&](std::string& f) { PutU16(f, SlotAt(root, 1), 4 + 3); }},
        // Children.
        {"child beyond the page count",
         [&](std::string& f) { PutI32(f, ChildAt(f, root, 0), layout_.pageCount); }},
        {"child far beyond the file",
         [&](std::string& f) { PutI32(f, ChildAt(f, inner, 1), 99999); }},
        {"negative child", [&](std::string& f) { PutI32(f, ChildAt(f, inner, 0), -3); }},
        {"child at page 0", [&](std::string& f) { PutI32(f, ChildAt(f, root, 1), 0); }},
        {"child pointing back at the root",
         [&](std::string& f) { PutI32(f, ChildAt(f, inner, 0), root); }},
        {"page that is its own child",
         [&](std::string& f) { PutI32(f, ChildAt(f, inner, 0), inner); }},
        {"two children pointing at the same page",
         [&](std::string& f) { PutI32(f, ChildAt(f, root, 1), layout_.inner[0]); }},
        {"leaf one level too high", [&](std::string& f) { PutI32(f, ChildAt(f, root, 0), leaf); }},
        {"root's child that is the root itself",
         [&](std::string& f) { PutI32(f, ChildAt(f, root, 1), root); }},
        {"inner page one level too low",
         [&](std::string& f) { PutI32(f, ChildAt(f, inner, 0), layout_.inner[1]); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(OpenDamaged(c.damage), 0);
        EXPECT_EQ(CheckCode(), 95);
        Exercise();
        CloseAll();
    }
}

// Pages that are sound one by one and chained as the tree holds them, in a tree that is not
// what this tree writes: one that lost items (a page written short), and shapes where a reader
// that takes an item from every page it reaches finds none. The check reports each as damage.
TEST_F(BPlusDamageTest, TornTreesAndEmptyPagesFailTheCheck) {
    const auto itemsUpTo = [&](std::size_t leafIndex) {
        std::int32_t items = 0;
        for (std::size_t i = 0; i <= leafIndex; ++i) {
            items += static_cast<std::int32_t>(layout_.numbers[i].size());
        }
        return items;
    };
    const std::int32_t all = static_cast<std::int32_t>(present_.size());
    const std::size_t last = layout_.leaves.size() - 1;
    struct Case {
        const char* what;
        std::int32_t itemsLeft;
        std::function<void(std::string&)> damage;
    };
    const Case cases[] = {
        {"leaf that lost its last item", all - 1,
         [&](std::string& f) {
             const std::int32_t leaf = layout_.leaves[2];
             PutU16(f, CountAt(leaf), U16(f, CountAt(leaf)) - 1);
         }},
        {"last leaf without an item", itemsUpTo(last - 1),
         [&](std::string& f) {
             PutU16(f, CountAt(layout_.leaves[last]), 0);
             PutI32(f, kItemCountAt, itemsUpTo(last - 1));
         }},
        {"inner page without a key", 0,
         [&](std::string& f) {
             // The last inner page keeps only its first child, which ends the chain.
             const std::int32_t inner = layout_.inner.back();
             const std::int32_t first = Child(f, inner, 0);
             const auto at = static_cast<std::size_t>(
                 std::find(layout_.leaves.begin(), layout_.leaves.end(), first) -
                 layout_.leaves.begin());
             PutU16(f, CountAt(inner), 0);
             PutI32(f, NextAt(first), 0);
             PutI32(f, kItemCountAt, itemsUpTo(at));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(OpenDamaged(c.damage), 0);
        EXPECT_EQ(CheckCode(), 95);
        if (c.itemsLeft > 0) {
            EXPECT_EQ(static_cast<std::int32_t>(Walk(true, all + 1).size()), c.itemsLeft);
        }
        Exercise();
        CloseAll();
    }
}

// Searches trust the separators, so the check must not: one that disagrees with the items
// under it is counted as a wrong sort, though the leaves and their chain are sound.
TEST_F(BPlusDamageTest, SeparatorsThatDisagreeWithTheirItemsAreWrongSorts) {
    struct Case {
        const char* what;
        std::int32_t page;
        char firstByte;
    };
    const Case cases[] = {
        {"root separator above the items right of it", layout_.root, '|'},
        {"separator below the items left of it", layout_.inner[0], 'a'},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // The first separator's first byte.
        ASSERT_EQ(OpenDamaged([&](std::string& f) { f[At(c.page) + 4] = c.firstByte; }), 0);
        const Checked checked = Check();
        EXPECT_EQ(checked.items, static_cast<std::int32_t>(present_.size()));
        EXPECT_GT(checked.wrongSorts, 0);
        CloseAll();
    }
}

// A leaf chain that disagrees with the tree is damage to the check. Counting the items before
// one walks the chain: one that never reaches the item's leaf is damage too, not an endless
// walk. Searches do not use the chain and still find their items.
TEST_F(BPlusDamageTest, BrokenLeafChains) {
    const auto& leaves = layout_.leaves;
    const std::size_t last = leaves.size() - 1;
    struct Case {
        const char* what;
        // The second item of that leaf is asked for: a search for the first one ends behind the
        // last item of the leaf before.
        std::size_t probeLeaf;
        bool counted;  // its sequence number is the true one, else error 91
        std::function<void(std::string&)> damage;
    };
    const Case cases[] = {
        {"leaf that follows itself", 3, false,
         [&](std::string& f) { PutI32(f, NextAt(leaves[0]), leaves[0]); }},
        {"chain running in a circle", 6, false,
         [&](std::string& f) { PutI32(f, NextAt(leaves[4]), leaves[1]); }},
        {"chain ending early", 5, false, [&](std::string& f) { PutI32(f, NextAt(leaves[3]), 0); }},
        {"chain skipping the leaf", 1, false,
         [&](std::string& f) { PutI32(f, NextAt(leaves[0]), leaves[2]); }},
        {"chain leading into an inner page", 3, false,
         [&](std::string& f) { PutI32(f, NextAt(leaves[0]), layout_.inner[0]); }},
        {"chain leading beyond the page count", 3, false,
         [&](std::string& f) { PutI32(f, NextAt(leaves[1]), layout_.pageCount + 3); }},
        {"last leaf followed by the first", last, true,
         [&](std::string& f) { PutI32(f, NextAt(leaves[last]), leaves[0]); }},
        {"previous link that is wrong", 4, true,
         [&](std::string& f) { PutI32(f, PrevAt(leaves[3]), leaves[7]); }},
        {"first leaf with a previous one", 4, true,
         [&](std::string& f) { PutI32(f, PrevAt(leaves[0]), leaves[3]); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(OpenDamaged(c.damage), 0);
        EXPECT_EQ(CheckCode(), 95);
        const int number = layout_.numbers[c.probeLeaf].at(1);
        const auto position =
            std::find(present_.begin(), present_.end(), number) - present_.begin();
        std::int32_t answer = -1;
        const bool answered = Attempt("CalcItemSequenceNo", 91, [&] {
            answer = Tree().CalcItemSequenceNo(Sized(number));
        });
        EXPECT_EQ(answered, c.counted);
        if (c.counted) {
            EXPECT_EQ(answer, position + 1);
        }
        ASSERT_EQ(Tree().Find(Sized(number), buffer_), kTreeFound);
        EXPECT_EQ(Text(std::span(buffer_).first(Tree().LastItemSize())), Text(Sized(number)));
        Exercise();
        CloseAll();
    }
}

// A damaged page fails the operations that meet it and changes nothing; once the file is
// repaired, the same open tree answers again.
TEST_F(BPlusDamageTest, FailedOperationsLeaveTheFileForRepair) {
    std::string file = good_;
    const std::int32_t leaf = layout_.leaves[0];
    PutU16(file, SlotAt(leaf, 1), kPage);
    WriteFile(file);
    ASSERT_EQ(Open(), 0);
    const Item first = Sized(present_.front());
    const Item last = Sized(present_.back());
    const auto code = [&](const std::function<void()>& op) -> std::int16_t {
        try {
            op();
        } catch (const ETdbEngine& e) {
            return e.Code();
        }
        return 0;
    };
    EXPECT_EQ(code([&] { Tree().Find(first, buffer_); }), 91);
    EXPECT_EQ(code([&] { Tree().FindFirst(buffer_); }), 91);
    EXPECT_EQ(code([&] { Tree().CalcItemSequenceNo(last); }), 91);
    EXPECT_EQ(code([&] { Tree().Insert(MakeItem("k0000!")); }), 90);
    EXPECT_EQ(code([&] { Tree().Delete(first); }), 90);
    std::int32_t items = 0;
    EXPECT_EQ(CheckCode(&items), 95);
    // The pages the damage does not reach still answer.
    ASSERT_EQ(Tree().Find(last, buffer_), kTreeFound);
    EXPECT_EQ(Tree().LastItemSize(), static_cast<std::int32_t>(last.size()));
    ASSERT_EQ(Tree().FindLast(buffer_), kTreeFound);
    EXPECT_EQ(Text(std::span(buffer_).first(Tree().LastItemSize())), Text(last));

    Tree().Undo();
    Tree().Flush();
    EXPECT_EQ(testing::ReadBytes(FilePath()), file);

    WriteFile(good_);
    Tree().Update();
    EXPECT_EQ(CheckCode(&items), 0);
    EXPECT_EQ(items, static_cast<std::int32_t>(present_.size()));
    ASSERT_EQ(Tree().Find(first, buffer_), kTreeFound);
    EXPECT_EQ(Text(std::span(buffer_).first(Tree().LastItemSize())), Text(first));
    EXPECT_EQ(Tree().CalcItemSequenceNo(last), static_cast<std::int32_t>(present_.size()));
}

// A file cut short under an open tree (by another process, or a crash) is damage to every
// operation that reaches past its end.
TEST_F(BPlusDamageTest, FileCutShortUnderAnOpenTree) {
    WriteFile(good_);
    ASSERT_EQ(Open(), 0);
    WriteFile(good_.substr(0, good_.size() / 2));
    Tree().Update();
    EXPECT_EQ(CheckCode(), 95);
    EXPECT_FALSE(Attempt("Preload", 91, [&] { Tree().Preload(); }));
    EXPECT_GT(Exercise(), 0);
}

// Random bytes of the tree pages (now and then of the tree header) changed: whatever happens is
// an engine error or an answer, and a tree that passes its check walks to exactly the items it
// counted, in order, both ways.
TEST_F(BPlusDamageTest, RandomlyDamagedPagesNeverCrashTheTree) {
    const std::int32_t pages = layout_.pageCount;
    std::mt19937 rng(4711);
    const auto pick = [&](std::size_t from, std::size_t to) {
        return std::uniform_int_distribution<std::size_t>(from, to)(rng);
    };
    int refused = 0;
    int damaged = 0;
    int sound = 0;
    for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::string file = good_;
        const std::size_t changes = pick(1, 4);
        for (std::size_t i = 0; i < changes; ++i) {
            if (round % 10 == 0) {
                file[pick(kPageCountAt, kItemCountAt + 3)] = static_cast<char>(pick(0, 255));
                continue;
            }
            // Mostly the frame of a page: its links or child 0, its count and slots, and the
            // child pointers behind its items.
            const auto pageNo =
                static_cast<std::int32_t>(pick(1, static_cast<std::size_t>(pages) - 1));
            const std::size_t page = At(pageNo);
            switch (pick(0, 3)) {
                case 0:
                    file[page + pick(0, 7)] = static_cast<char>(pick(0, 255));
                    break;
                case 1:
                    file[page + pick(kPage - 24, kPage - 1)] = static_cast<char>(pick(0, 255));
                    break;
                case 2:
                    file[page + pick(0, kPage - 1)] = static_cast<char>(pick(0, 255));
                    break;
                default: {
                    // Another page of the file in a link or behind an item: cycles, pages
                    // shared by two parents, leaves where inner pages belong.
                    const std::int32_t n = U16(good_, CountAt(pageNo));
                    const auto k = static_cast<std::int32_t>(
                        pick(0, static_cast<std::size_t>(std::min(n, 20))));
                    const std::size_t at =
                        k == 0 ? page + 4 * pick(0, 1) : ChildAt(good_, pageNo, k);
                    PutI32(file, at,
                           static_cast<std::int32_t>(pick(1, static_cast<std::size_t>(pages) - 1)));
                    break;
                }
            }
        }
        WriteFile(file);
        const std::int16_t code = Open();
        if (code != 0) {
            EXPECT_EQ(code, 95);
            ++refused;
            continue;
        }
        std::int32_t items = -1;
        if (CheckCode(&items) != 0 || items < 0) {
            ++damaged;
        } else {
            ++sound;
            const std::vector<Item> forward = Walk(true, items + 1);
            EXPECT_EQ(static_cast<std::int32_t>(forward.size()), items);
            EXPECT_EQ(std::adjacent_find(forward.begin(), forward.end(),
                                         [](const Item& a, const Item& b) { return !(a < b); }),
                      forward.end())
                << "the walk must ascend strictly";
            std::vector<Item> backward = Walk(false, items + 1);
            std::reverse(backward.begin(), backward.end());
            EXPECT_EQ(backward, forward);
            int lost = 0;
            for (const Item& item : forward) {
                if (Tree().Find(item, buffer_) != kTreeFound ||
                    Item(buffer_.begin(), buffer_.begin() + Tree().LastItemSize()) != item) {
                    ++lost;
                }
            }
            EXPECT_EQ(lost, 0) << "items the check passed that a search does not find";
        }
        Exercise();
        CloseAll();
        if (HasFailure()) {
            break;
        }
    }
    EXPECT_GT(refused, 0);
    EXPECT_GT(damaged, 0);
    EXPECT_GT(sound, 0);
}

}  // namespace
}  // namespace tdb::bplustest
