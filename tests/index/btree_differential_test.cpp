// The B-tree against an ordered set of the same entries: random inserts and deletes on trees of
// small pages, every search checked after every step, for several key layouts and file versions,
// across reopening the file.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "btree_test_support.h"

namespace tdb::btreetest {
namespace {

using Model = std::set<Entry, ModelLess>;

const std::vector<std::u16string>& PlaceNames() {
    static const std::vector<std::u16string> names = [] {
        std::ifstream in(std::string(ZENKALO_DATA_DIR) + "/irsz.csv");
        std::set<std::u16string> unique;
        std::string line;
        std::getline(in, line);  // IRSZ;TELEP;TELK
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string code;
            std::string place;
            if (std::getline(fields, code, ';') && std::getline(fields, place, ';')) {
                unique.insert(FromUtf8(place));
            }
        }
        return std::vector<std::u16string>(unique.begin(), unique.end());
    }();
    return names;
}

struct Layout {
    const char* name;
    std::int32_t entrySize;
    std::function<TTdbTreeLess()> less;
    std::function<Entry(std::mt19937&)> make;
    int target;  // entries at the top of the growth phase
};

std::int32_t RandomRecNo(std::mt19937& rng) {
    return std::uniform_int_distribution<std::int32_t>(1, 1000000)(rng);
}

const std::vector<Layout>& Layouts() {
    static const std::vector<Layout> layouts = {
        {"Int32", 36, [] { return TTdbTreeLess(IntLess); },
         [](std::mt19937& rng) {
             return IntEntry(RandomRecNo(rng),
                             std::uniform_int_distribution<std::int32_t>(-1000000, 1000000)(rng),
                             36);
         },
         600},
        // Few distinct keys: long runs of equal keys told apart by record number alone.
        {"DuplicateKeys", 24, [] { return TTdbTreeLess(IntLess); },
         [](std::mt19937& rng) {
             return IntEntry(RandomRecNo(rng),
                             std::uniform_int_distribution<std::int32_t>(0, 40)(rng), 24);
         },
         600},
        // A descending first component, an ascending second one, then the record number.
        {"DescendingComponent", 28,
         [] {
             return TTdbTreeLess([](std::span<const std::byte> a, std::span<const std::byte> b,
                                    bool& unique, TStrCmpOptions, const TTdbSortDef*) {
                 const auto a1 = LoadLE<std::int32_t>(a.data() + 4);
                 const auto b1 = LoadLE<std::int32_t>(b.data() + 4);
                 if (a1 != b1) {
                     return a1 > b1;
                 }
                 const auto a2 = LoadLE<std::int32_t>(a.data() + 8);
                 const auto b2 = LoadLE<std::int32_t>(b.data() + 8);
                 if (a2 != b2) {
                     return a2 < b2;
                 }
                 unique = false;
                 return LoadLE<std::int32_t>(a.data()) < LoadLE<std::int32_t>(b.data());
             });
         },
         [](std::mt19937& rng) {
             Entry e = IntEntry(RandomRecNo(rng),
                                std::uniform_int_distribution<std::int32_t>(0, 30)(rng), 28);
             StoreLE<std::int32_t>(e.data() + 8,
                                   std::uniform_int_distribution<std::int32_t>(-500, 500)(rng));
             return e;
         },
         600},
        {"BuiltInCollation", 26, [] { return CollationLess(TTdbCollation::BuiltIn()); },
         [](std::mt19937& rng) {
             static const std::u16string alphabet = u"aAbBcCéÉöÖ zZ";
             std::u16string text(std::uniform_int_distribution<std::size_t>(0, 10)(rng), u' ');
             for (char16_t& c : text) {
                 c = alphabet[std::uniform_int_distribution<std::size_t>(0,
                                                                         alphabet.size() - 1)(rng)];
             }
             return StringEntry(RandomRecNo(rng), text, 26);
         },
         600},
        {"HungarianPlaceNames", 54, [] { return CollationLess(TTdbCollation::Get(u"Hungarian")); },
         [](std::mt19937& rng) {
             const auto& names = PlaceNames();
             const auto at = std::uniform_int_distribution<std::size_t>(0, names.size() - 1)(rng);
             // Small record numbers so that some names come twice.
             return StringEntry(std::uniform_int_distribution<std::int32_t>(1, 3)(rng), names[at],
                                54);
         },
         500},
    };
    return layouts;
}

class BTreeDifferentialTest : public BTreeFixture,
                              public ::testing::WithParamInterface<std::tuple<int, int>> {
protected:
    const Layout& layout() const {
        return Layouts()[static_cast<std::size_t>(std::get<0>(GetParam()))];
    }
    std::int16_t version() const { return static_cast<std::int16_t>(std::get<1>(GetParam())); }

    Entry Buffer() const { return Entry(static_cast<std::size_t>(layout().entrySize)); }

    // Searches whose answers follow from the set: the ends, the neighbours, the position and
    // the next entry at or after an entry that is there and a probe that may not be.
    void CheckQueries(const Model& model, const Entry& probe, std::mt19937& rng) {
        TTdbBTree& tree = Tree();
        Entry out = Buffer();
        if (model.empty()) {
            EXPECT_EQ(tree.FindFirst(out), kTreeNone);
            EXPECT_EQ(tree.FindLast(out), kTreeNone);
            EXPECT_EQ(tree.Find(probe, out), kTreeNone);
            EXPECT_EQ(tree.FindNext(probe, out), kTreeMissing);
            return;
        }
        ASSERT_EQ(tree.FindFirst(out), kTreeFound);
        EXPECT_EQ(out, *model.begin());
        ASSERT_EQ(tree.FindLast(out), kTreeFound);
        EXPECT_EQ(out, *model.rbegin());

        const auto index = std::uniform_int_distribution<std::size_t>(0, model.size() - 1)(rng);
        const auto it = std::next(model.begin(), static_cast<std::ptrdiff_t>(index));
        EXPECT_EQ(tree.Find(*it, out), kTreeFound);
        EXPECT_EQ(out, *it);
        // The same buffer in and out, as the index file passes it.
        Entry walk = *it;
        const auto next = std::next(it);
        if (next == model.end()) {
            EXPECT_EQ(tree.FindNext(walk, walk), kTreeNone);
        } else {
            EXPECT_EQ(tree.FindNext(walk, walk), kTreeFound);
            EXPECT_EQ(walk, *next);
        }
        walk = *it;
        if (it == model.begin()) {
            EXPECT_EQ(tree.FindPrev(walk, walk), kTreeNone);
        } else {
            EXPECT_EQ(tree.FindPrev(walk, walk), kTreeFound);
            EXPECT_EQ(walk, *std::prev(it));
        }

        const auto lower = model.lower_bound(probe);
        Entry probeOut = probe;
        if (lower == model.end()) {
            EXPECT_EQ(tree.Find(probeOut, probeOut), kTreeNone);
        } else {
            EXPECT_EQ(tree.Find(probeOut, probeOut), kTreeFound);
            EXPECT_EQ(probeOut, *lower);
        }
        if (model.count(probe) == 0) {
            EXPECT_EQ(tree.FindNext(probe, out), kTreeMissing);
            EXPECT_EQ(tree.FindPrev(probe, out), kTreeMissing);
        }
        if (tree.GetTreePageCount() <= 1000) {
            EXPECT_EQ(tree.CalcItemSequenceNo(*it), static_cast<std::int32_t>(index) + 1);
            EXPECT_EQ(tree.CalcItemSequenceNo(probe), std::distance(model.begin(), lower) + 1);
        }
    }

    // The whole tree, forwards and backwards, and its own walk.
    void CheckWhole(const Model& model) {
        TTdbBTree& tree = Tree();
        std::int32_t items = -1;
        std::int32_t wrong = -1;
        tree.Check(items, wrong);
        EXPECT_EQ(items, static_cast<std::int32_t>(model.size()));
        EXPECT_EQ(wrong, 0);
        Entry walk = Buffer();
        int answer = tree.FindFirst(walk);
        for (const Entry& e : model) {
            ASSERT_EQ(answer, kTreeFound);
            ASSERT_EQ(walk, e);
            answer = tree.FindNext(walk, walk);
        }
        EXPECT_EQ(answer, kTreeNone);
        answer = tree.FindLast(walk);
        for (auto it = model.rbegin(); it != model.rend(); ++it) {
            ASSERT_EQ(answer, kTreeFound);
            ASSERT_EQ(walk, *it);
            answer = tree.FindPrev(walk, walk);
        }
        EXPECT_EQ(answer, kTreeNone);
    }

    // One random step: insert (sometimes an entry that is there) or delete (sometimes one that
    // is not), with the given chance of inserting.
    void Step(Model& model, std::mt19937& rng, double insertChance) {
        std::bernoulli_distribution insert(insertChance);
        std::bernoulli_distribution known(0.8);
        if (insert(rng) || model.empty()) {
            Entry e = layout().make(rng);
            if (!model.empty() && known(rng) && std::bernoulli_distribution(0.1)(rng)) {
                e = *model.begin();  // already there: nothing changes
            }
            Tree().Insert(e);
            model.insert(e);
            return;
        }
        Entry e = layout().make(rng);
        if (known(rng)) {
            const auto index = std::uniform_int_distribution<std::size_t>(0, model.size() - 1)(rng);
            e = *std::next(model.begin(), static_cast<std::ptrdiff_t>(index));
        }
        const bool there = model.erase(e) == 1;
        EXPECT_EQ(Tree().Delete(e), there);
    }

    void Run(std::uint32_t seed) {
        const Layout& l = layout();
        Create(version(), l.entrySize, 256, l.less());
        ModelLess order{less_};
        Model model(order);
        std::mt19937 rng(seed);
        int step = 0;
        const auto verify = [&](bool whole) {
            SCOPED_TRACE("step " + std::to_string(step));
            CheckQueries(model, l.make(rng), rng);
            if (whole) {
                CheckWhole(model);
            }
        };

        std::int32_t highest = 0;
        while (static_cast<int>(model.size()) < l.target && !HasFailure()) {
            Step(model, rng, 0.75);
            verify(++step % 200 == 0);
            highest = std::max(highest, Tree().GetHeight());
            if (step == l.target / 2) {
                Reopen();
                verify(true);
            }
        }
        EXPECT_GE(highest, 4) << "small pages should make a deep tree";
        Reopen();
        verify(true);

        while (!model.empty() && !HasFailure()) {
            Step(model, rng, 0.2);
            verify(++step % 200 == 0);
        }
        verify(true);
        EXPECT_EQ(Tree().GetHeight(), 1);

        // The pages the shrinking freed are taken again before the file grows (versions 1 and 2
        // keep no list and always grow).
        const std::int32_t pages = Tree().GetTreePageCount();
        for (int i = 0; i < 40 && !HasFailure(); ++i) {
            Step(model, rng, 1.0);
        }
        if (version() >= 3) {
            EXPECT_EQ(Tree().GetTreePageCount(), pages);
        } else {
            EXPECT_GT(Tree().GetTreePageCount(), pages);
        }
        Reopen();
        verify(true);
    }
};

TEST_P(BTreeDifferentialTest, MatchesAnOrderedSetThroughGrowthShrinkingAndReopening) {
    Run(1234 + static_cast<std::uint32_t>(std::get<0>(GetParam()) * 10 + std::get<1>(GetParam())));
}

INSTANTIATE_TEST_SUITE_P(
    LayoutsAndVersions, BTreeDifferentialTest,
    ::testing::Combine(::testing::Range(0, 5), ::testing::Values(6, 3, 1)),
    [](const ::testing::TestParamInfo<std::tuple<int, int>>& info) {
        return std::string(Layouts()[static_cast<std::size_t>(std::get<0>(info.param))].name) +
               "_Version" + std::to_string(std::get<1>(info.param));
    });

}  // namespace
}  // namespace tdb::btreetest
