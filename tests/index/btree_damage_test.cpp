// Damaged and hostile B-tree files, built by writing bytes: headers that make no sense are
// refused on opening, damaged pages make every operation fail with an error, and no file makes
// the tree crash, read out of bounds or loop for ever.
#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>

#include "base/engine_error.h"
#include "btree_test_support.h"

namespace tdb::btreetest {
namespace {

constexpr std::size_t kPage = 256;

std::size_t PageAt(std::int32_t pageNo) {
    return static_cast<std::size_t>(pageNo) * kPage;
}

// Version 6 header fields, behind the 6 bytes the index file keeps for itself.
constexpr std::size_t kPageSizeAt = 6;
constexpr std::size_t kEntrySizeAt = 10;
constexpr std::size_t kItemSizeAt = 12;
constexpr std::size_t kHeightAt = 14;
constexpr std::size_t kPagesAt = 16;
constexpr std::size_t kOrderAt = 20;
constexpr std::size_t kCapacityAt = 22;
constexpr std::size_t kFreeAt = 24;

class BTreeDamageTest : public BTreeFixture {
protected:
    // Keys 1 ... 300 in a tree three levels high; optionally with a stretch deleted again so
    // that the file has a free list.
    std::string BuildFile(bool withFreePages) {
        Create(6, 12, static_cast<std::int32_t>(kPage), IntLess);
        for (std::int32_t k = 1; k <= 300; ++k) {
            Tree().Insert(IntEntry(k, k));
        }
        if (withFreePages) {
            for (std::int32_t k = 100; k <= 250; ++k) {
                Tree().Delete(IntEntry(k, k));
            }
        }
        EXPECT_EQ(Tree().GetHeight(), 3);
        CloseAll();
        return FileBytes();
    }

    void WriteFile(const std::string& bytes) { testing::WriteBytes(FilePath(), bytes); }

    // Every operation once; each must either answer or fail with an engine exception. The
    // number of failures.
    int Exercise() {
        int failures = 0;
        const auto attempt = [&](const std::function<void()>& op) {
            try {
                op();
            } catch (const Exception&) {
                ++failures;
                EXPECT_NE(Tree().TreeError(), kBTreeOk);
                Tree().Undo();
            }
        };
        Entry out(12);
        for (const std::int32_t k : {0, 1, 50, 150, 299, 300, 1000}) {
            attempt([&] { Tree().Find(IntEntry(0, k), out); });
            attempt([&] { Tree().FindNext(IntEntry(k, k), out); });
            attempt([&] { Tree().FindPrev(IntEntry(k, k), out); });
            attempt([&] { Tree().CalcItemSequenceNo(IntEntry(k, k)); });
        }
        attempt([&] { Tree().FindFirst(out); });
        attempt([&] { Tree().FindLast(out); });
        attempt([&] {
            for (std::int32_t k = 1000; k < 1200; ++k) {
                Tree().Insert(IntEntry(k, k));
            }
        });
        attempt([&] {
            for (std::int32_t k = 1; k <= 300; k += 2) {
                Tree().Delete(IntEntry(k, k));
            }
        });
        attempt([&] {
            std::int32_t items = 0;
            std::int32_t wrong = 0;
            Tree().Check(items, wrong);
        });
        attempt([&] { Tree().Preload(); });
        return failures;
    }

    std::int16_t CheckCode() {
        try {
            std::int32_t items = 0;
            std::int32_t wrong = 0;
            Tree().Check(items, wrong);
        } catch (const ETdbEngine& e) {
            return e.Code();
        }
        return 0;
    }
};

TEST_F(BTreeDamageTest, HeadersThatMakeNoSenseAreRefusedOnOpening) {
    const std::string good = BuildFile(false);
    ASSERT_GT(I32(good, kPagesAt), 32) << "the tree must outgrow one tile of the file";
    struct Case {
        const char* what;
        std::function<void(std::string&)> damage;
    };
    const Case cases[] = {
        {"more tree pages than the file holds",
         [](std::string& f) { PutI32(f, kPagesAt, I32(f, kPagesAt) + 40); }},
        {"file cut short", [](std::string& f) { f.resize(8192); }},
        {"empty file", [](std::string& f) { f.clear(); }},
        {"page size below the minimum", [](std::string& f) { PutI32(f, kPageSizeAt, 100); }},
        {"page size the storage cannot use", [](std::string& f) { PutI32(f, kPageSizeAt, 300); }},
        {"page size above the maximum", [](std::string& f) { PutI32(f, kPageSizeAt, 1 << 30); }},
        {"entry size 0", [](std::string& f) { PutI16(f, kEntrySizeAt, 0); }},
        {"item size not entry plus pointer", [](std::string& f) { PutI16(f, kItemSizeAt, 20); }},
        {"order 0",
         [](std::string& f) {
             PutI16(f, kOrderAt, 0);
             PutI16(f, kCapacityAt, 0);
         }},
        {"capacity not twice the order", [](std::string& f) { PutI16(f, kCapacityAt, 13); }},
        {"more items than the page holds",
         [](std::string& f) {
             PutI16(f, kOrderAt, 100);
             PutI16(f, kCapacityAt, 200);
         }},
        {"height 31", [](std::string& f) { PutI16(f, kHeightAt, 31); }},
        {"negative height", [](std::string& f) { PutI16(f, kHeightAt, -1); }},
        {"negative page count", [](std::string& f) { PutI32(f, kPagesAt, -5); }},
        {"free list head out of range", [](std::string& f) { PutI32(f, kFreeAt, 99999); }},
        {"free list head at the root", [](std::string& f) { PutI32(f, kFreeAt, 1); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string file = good;
        c.damage(file);
        WriteFile(file);
        std::int16_t code = 0;
        try {
            OpenAgain();
        } catch (const ETdbEngine& e) {
            code = e.Code();
        }
        EXPECT_EQ(code, 95);
        ASSERT_TRUE(tree_);
        EXPECT_FALSE(Tree().IsOpen());
        tree_.reset();
        storage_.reset();
    }
}

TEST_F(BTreeDamageTest, DamagedPagesFailEveryOperationThatMeetsThem) {
    struct Case {
        const char* what;
        bool withFreePages;
        std::function<void(std::string&)> damage;
    };
    // The root is page 1; its leftmost child is an inner page whose leftmost child is a leaf.
    const auto inner = [](const std::string& f) { return I32(f, PageAt(1)); };
    const auto leaf = [inner](const std::string& f) { return I32(f, PageAt(inner(f))); };
    const Case cases[] = {
        {"leaf with more items than its capacity", false,
         [leaf](std::string& f) { PutI16(f, PageAt(leaf(f)) + 4, 15); }},
        {"item count of 65535", false,
         [leaf](std::string& f) { PutI16(f, PageAt(leaf(f)) + 4, -1); }},
        {"child pointer 0 in an inner page", false,
         [](std::string& f) { PutI32(f, PageAt(1) + 6, 0); }},
        {"child pointer beyond the tree", false,
         [](std::string& f) { PutI32(f, PageAt(1), 9999); }},
        {"child pointing back at the root", false,
         [inner](std::string& f) { PutI32(f, PageAt(inner(f)), 1); }},
        {"page that is its own child", false,
         [inner](std::string& f) { PutI32(f, PageAt(inner(f)), inner(f)); }},
        {"leaf one level too high", false,
         [leaf](std::string& f) { PutI32(f, PageAt(1), leaf(f)); }},
        {"free list running in a circle", true,
         [](std::string& f) {
             const std::int32_t first = I32(f, kFreeAt);
             const std::int32_t second = -I32(f, PageAt(first));
             ASSERT_GT(second, 0);
             PutI32(f, PageAt(second), -first);
         }},
        {"free list leading into the tree", true,
         [inner](std::string& f) { PutI32(f, kFreeAt, inner(f)); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string file = BuildFile(c.withFreePages);
        c.damage(file);
        WriteFile(file);
        OpenAgain();
        EXPECT_EQ(CheckCode(), 95);
        EXPECT_EQ(Tree().TreeError() == kBTreeOverfull || Tree().TreeError() == kBTreeDamaged,
                  true);
        EXPECT_GT(Exercise(), 0);
        CloseAll();
    }
}

TEST_F(BTreeDamageTest, OperationsOnADamagedPageRaiseTheirOwnErrors) {
    std::string file = BuildFile(false);
    const std::int32_t inner = I32(file, PageAt(1));
    PutI32(file, PageAt(inner), 1);  // a cycle on the way to the smallest keys
    WriteFile(file);
    OpenAgain();
    Entry out(12);
    const auto message = [](const std::function<void()>& op) -> std::string {
        try {
            op();
        } catch (const ETdbEngine& e) {
            return "engine " + std::to_string(e.Code());
        } catch (const Exception& e) {
            return e.what();
        }
        return "no error";
    };
    EXPECT_EQ(message([&] { Tree().FindFirst(out); }), "FindFirst");
    EXPECT_EQ(message([&] { Tree().FindNext(IntEntry(1, 1), out); }), "FindNext");
    EXPECT_EQ(message([&] { Tree().FindPrev(IntEntry(1, 1), out); }), "FindPrev");
    EXPECT_EQ(message([&] { Tree().Find(IntEntry(1, 1), out); }), "engine 91");
    EXPECT_EQ(message([&] { Tree().CalcItemSequenceNo(IntEntry(1, 1)); }), "engine 91");
    EXPECT_EQ(message([&] { Tree().Insert(IntEntry(0, 0)); }),
              "BTree error while searching start node for insertion");
    EXPECT_EQ(message([&] { Tree().Delete(IntEntry(1, 1)); }), "engine 5");
    EXPECT_EQ(Tree().TreeError(), kBTreeDamaged);
    // The undamaged part still answers.
    ASSERT_EQ(Tree().FindLast(out), kTreeFound);
    EXPECT_EQ(IntKey(out), 300);
    ASSERT_EQ(Tree().Find(IntEntry(0, 290), out), kTreeFound);
    EXPECT_EQ(IntKey(out), 290);
}

// Random bytes of the header and the pages changed: whatever happens is an error or an answer,
// and a tree that passes its check walks to exactly the entries the check counted.
TEST_F(BTreeDamageTest, RandomlyDamagedFilesNeverCrashTheTree) {
    const std::string good = BuildFile(true);
    std::mt19937 rng(77);
    int refused = 0;
    int opened = 0;
    for (int round = 0; round < 150; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::string file = good;
        const int flips = std::uniform_int_distribution<int>(1, 4)(rng);
        // Every fourth round aims at the tree header, the others anywhere after the magic.
        const std::size_t last = round % 4 == 0 ? 29 : file.size() - 1;
        for (int i = 0; i < flips; ++i) {
            const auto at = std::uniform_int_distribution<std::size_t>(6, last)(rng);
            file[at] = static_cast<char>(std::uniform_int_distribution<int>(0, 255)(rng));
        }
        WriteFile(file);
        try {
            OpenAgain();
        } catch (const Exception&) {
            ++refused;
            tree_.reset();
            storage_.reset();
            continue;
        }
        ++opened;
        std::int32_t items = 0;
        std::int32_t wrong = 0;
        bool sound = true;
        try {
            Tree().Check(items, wrong);
        } catch (const Exception&) {
            sound = false;
        }
        if (sound && wrong == 0) {
            Entry e(12);
            std::int32_t walked = 0;
            for (int r = Tree().FindFirst(e); r == kTreeFound && walked <= items;
                 r = Tree().FindNext(e, e)) {
                ++walked;
            }
            EXPECT_EQ(walked, items);
        }
        Exercise();
        tree_.reset();
        storage_.reset();
    }
    EXPECT_GT(opened, 0);
    EXPECT_GT(refused, 0);
}

}  // namespace
}  // namespace tdb::btreetest
