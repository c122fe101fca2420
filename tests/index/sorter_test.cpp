// The sorter: order, reading past the end, wide strings, nested sorts, limits and the heap
// traffic of a batch.
#include "index/sorter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "allocation_counter.h"
#include "base/engine_errors.h"
#include "engine_code.h"

namespace tdb {
namespace {

using testing::EngineCode;
using TBytes = std::vector<std::byte>;

TBytes Bytes(std::initializer_list<int> values) {
    TBytes bytes;
    for (int v : values) {
        bytes.push_back(static_cast<std::byte>(v));
    }
    return bytes;
}

// Byte strings in lexicographic order.
const auto kLexLess = [](std::span<const std::byte> a, std::span<const std::byte> b, bool&,
                         TStrCmpOptions, const void*) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end());
};

// Only the first byte decides; the rest tells equal elements apart.
const auto kFirstByteLess = [](std::span<const std::byte> a, std::span<const std::byte> b,
                               bool& flag, TStrCmpOptions, const void*) {
    if (a[0] == b[0]) {
        flag = false;
    }
    return a[0] < b[0];
};

std::vector<TBytes> ReadAll(TTdbSorter& sorter) {
    std::vector<TBytes> out;
    TBytes buffer(TTdbSorter::kMaxElementSize);
    for (std::int32_t size = sorter.FromSort(buffer); size >= 0; size = sorter.FromSort(buffer)) {
        out.emplace_back(buffer.begin(), buffer.begin() + size);
    }
    return out;
}

TEST(SorterTest, SortsOneByteValuesAndAnswersMinusOneAfterTheLast) {
    TTdbSorter sorter;
    sorter.InitSort();
    for (int v : {3, 1, 2}) {
        sorter.ToSort(Bytes({v}));
    }
    EXPECT_TRUE(sorter.SortEmpty());  // nothing to read before the sort
    sorter.SortStart(kLexLess, 0);
    EXPECT_FALSE(sorter.SortEmpty());
    TBytes out(1);
    for (int expected : {1, 2, 3}) {
        ASSERT_EQ(sorter.FromSort(out), 1);
        EXPECT_EQ(out[0], static_cast<std::byte>(expected));
    }
    EXPECT_FALSE(sorter.SortError());
    out[0] = std::byte{0x55};
    EXPECT_EQ(sorter.FromSort(out), -1);
    EXPECT_TRUE(sorter.SortError());
    EXPECT_EQ(out[0], std::byte{0x55});  // nothing copied

    // ToStart reads the same order again; ClearSort empties and forgets the error.
    sorter.ToStart();
    EXPECT_EQ(ReadAll(sorter), (std::vector<TBytes>{Bytes({1}), Bytes({2}), Bytes({3})}));
    sorter.ClearSort();
    EXPECT_FALSE(sorter.SortError());
    EXPECT_TRUE(sorter.SortEmpty());
    EXPECT_EQ(sorter.Count(), 0);
    sorter.ToStart();
    EXPECT_TRUE(sorter.SortEmpty());
    sorter.ExitSort();
}

TEST(SorterTest, RandomValuesComeOutOnceEachInOrder) {
    std::mt19937 random(11);
    for (int count : {0, 1, 2, 3, 17, 1000, 4099}) {
        TTdbSorter sorter;
        sorter.InitSort();
        std::vector<TBytes> expected;
        for (int i = 0; i < count; ++i) {
            TBytes value(random() % 12);  // empty ones too
            for (std::byte& b : value) {
                b = static_cast<std::byte>(random() % 4);  // many equal values
            }
            sorter.ToSort(value);
            expected.push_back(value);
        }
        EXPECT_EQ(sorter.Count(), count);
        sorter.SortStart(kLexLess, 0);
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(ReadAll(sorter), expected) << count << " values";
        sorter.ExitSort();
    }
}

TEST(SorterTest, MergeTakesTheSecondChainOnlyWhenItSortsStrictlyFirst) {
    // Three equal elements: dealt into {0, 2} and {1}; the first chain wins every tie.
    TTdbSorter sorter;
    sorter.InitSort();
    for (int tag : {0, 1, 2}) {
        sorter.ToSort(Bytes({7, tag}));
    }
    sorter.SortStart(kFirstByteLess, 0);
    EXPECT_EQ(ReadAll(sorter), (std::vector<TBytes>{Bytes({7, 0}), Bytes({7, 2}), Bytes({7, 1})}));
}

TEST(SorterTest, ComparisonGetsOptionsAndSortVar) {
    TTdbSorter sorter;
    sorter.InitSort();
    EXPECT_NE(sorter.SortVar(), nullptr);  // the list itself until told otherwise
    const int parameter = 42;
    sorter.InitSortVar(&parameter);
    for (int v : {5, 4, 6, 1}) {
        sorter.ToSort(Bytes({v}));
    }
    int calls = 0;
    bool sawOther = false;
    const auto less = [&](std::span<const std::byte> a, std::span<const std::byte> b, bool&,
                          TStrCmpOptions options, const void* sortVar) {
        ++calls;
        sawOther = sawOther || options != scoCaseSensitive || sortVar != &parameter;
        return a[0] < b[0];
    };
    sorter.SortStart(less, scoCaseSensitive);
    EXPECT_GT(calls, 0);
    EXPECT_FALSE(sawOther);
    EXPECT_EQ(ReadAll(sorter).front(), Bytes({1}));
}

TEST(SorterTest, ElementsAppendedAfterASortFollowItAndSortAgain) {
    TTdbSorter sorter;
    sorter.InitSort();
    for (int v : {9, 2}) {
        sorter.ToSort(Bytes({v}));
    }
    sorter.SortStart(kLexLess, 0);
    for (int v : {5, 1}) {
        sorter.ToSort(Bytes({v}));
    }
    sorter.ToStart();
    EXPECT_EQ(ReadAll(sorter),
              (std::vector<TBytes>{Bytes({2}), Bytes({9}), Bytes({5}), Bytes({1})}));
    sorter.SortStart(kLexLess, 0);
    EXPECT_EQ(ReadAll(sorter),
              (std::vector<TBytes>{Bytes({1}), Bytes({2}), Bytes({5}), Bytes({9})}));
}

TEST(SorterTest, WideStringsRoundTripInOrder) {
    TTdbSorter sorter;
    sorter.InitSort();
    const std::vector<std::u16string> texts = {u"Győr", u"", u"Ábrahámhegy", u"\U0001F600x",
                                               u"Aba"};
    for (const std::u16string& text : texts) {
        sorter.WStrToSort(text);
    }
    // The elements are the length word and the code units, little-endian.
    TBytes first(10);
    sorter.ToStart();
    ASSERT_EQ(sorter.FromSort(first), 2 + 2 * 4);
    EXPECT_EQ(first[0], std::byte{4});
    EXPECT_EQ(first[1], std::byte{0});
    EXPECT_EQ(first[2], std::byte{'G'});

    const auto textLess = [](std::span<const std::byte> a, std::span<const std::byte> b, bool&,
                             TStrCmpOptions, const void*) {
        const auto text = [](std::span<const std::byte> e) {
            std::u16string s((e.size() - 2) / 2, u'\0');
            std::memcpy(s.data(), e.data() + 2, e.size() - 2);
            return s;
        };
        return text(a) < text(b);
    };
    sorter.SortStart(textLess, 0);
    std::vector<std::u16string> expected = texts;
    std::sort(expected.begin(), expected.end());
    for (const std::u16string& text : expected) {
        std::u16string read = u"stale";
        ASSERT_TRUE(sorter.WStrFromSort(read));
        EXPECT_EQ(read, text);
    }
    std::u16string untouched = u"kept";
    EXPECT_FALSE(sorter.WStrFromSort(untouched));
    EXPECT_TRUE(sorter.SortError());
    EXPECT_EQ(untouched, u"kept");

    EXPECT_EQ(EngineCode([&] { sorter.WStrToSort(std::u16string(16383, u'x')); }),
              kTdbErrInvalidParameter);
    sorter.WStrToSort(std::u16string(16382, u'x'));  // 32766 bytes still fit
}

TEST(SorterTest, NestedSortsKeepTheOuterSortReadable) {
    TTdbSorter sorter(true);
    ASSERT_TRUE(sorter.IsNested());
    sorter.InitSort();
    const int outerVar = 1;
    sorter.InitSortVar(&outerVar);
    for (int v : {30, 10, 20}) {
        sorter.ToSort(Bytes({v}));
    }
    sorter.SortStart(kLexLess, 0);
    TBytes out(1);
    ASSERT_EQ(sorter.FromSort(out), 1);
    EXPECT_EQ(out[0], std::byte{10});

    // An inner sort while the outer one is half read.
    sorter.InitSort();
    EXPECT_TRUE(sorter.SortEmpty());
    EXPECT_EQ(sorter.Count(), 0);
    for (int v : {3, 1}) {
        sorter.ToSort(Bytes({v}));
    }
    sorter.SortStart(kLexLess, 0);
    EXPECT_EQ(ReadAll(sorter), (std::vector<TBytes>{Bytes({1}), Bytes({3})}));
    EXPECT_TRUE(sorter.SortError());
    sorter.ExitSort();

    // Back where the outer sort was, with its parameter and without the inner error.
    EXPECT_EQ(sorter.SortVar(), &outerVar);
    EXPECT_FALSE(sorter.SortError());
    EXPECT_EQ(sorter.Count(), 3);
    EXPECT_EQ(ReadAll(sorter), (std::vector<TBytes>{Bytes({20}), Bytes({30})}));
    sorter.ExitSort();
    EXPECT_EQ(sorter.Count(), 0);
    sorter.ExitSort();  // one too many leaves an empty sorter
    EXPECT_TRUE(sorter.SortEmpty());

    // A private sorter has nothing to come back to: InitSort starts afresh.
    TTdbSorter own;
    own.InitSort();
    own.ToSort(Bytes({1}));
    own.InitSort();
    EXPECT_EQ(own.Count(), 0);
    own.ExitSort();
    EXPECT_EQ(own.Count(), 0);
}

TEST(SorterTest, RefusesOversizedElementsAndTooSmallBuffers) {
    TTdbSorter sorter;
    sorter.InitSort();
    const TBytes largest(TTdbSorter::kMaxElementSize, std::byte{1});
    sorter.ToSort(largest);
    EXPECT_EQ(EngineCode([&] { sorter.ToSort(TBytes(largest.size() + 1)); }),
              kTdbErrInvalidParameter);
    EXPECT_EQ(sorter.Count(), 1);
    sorter.SortStart(kLexLess, 0);
    TBytes small(100);
    EXPECT_EQ(EngineCode([&] { sorter.FromSort(small); }), kTdbErrInvalidParameter);
    // Nothing was read: the element is still there for a buffer that holds it.
    TBytes big(largest.size());
    EXPECT_EQ(sorter.FromSort(big), TTdbSorter::kMaxElementSize);
    EXPECT_EQ(big, largest);
}

TEST(SorterTest, ABatchGoesToTheHeapInBlocksNotPerElement) {
    if (!testing::CanCountAllocations()) {
        GTEST_SKIP() << "allocations cannot be counted in this build";
    }
    TTdbSorter sorter;
    const TBytes value(60, std::byte{3});
    constexpr int kCount = 20000;  // 20000 * 88 bytes: about 7 blocks
    sorter.InitSort();
    const std::int64_t filling = testing::AllocationsIn([&] {
        for (int i = 0; i < kCount; ++i) {
            sorter.ToSort(value);
        }
    });
    EXPECT_LE(filling, 16);
    TBytes out(value.size());
    EXPECT_LE(testing::AllocationsIn([&] { sorter.SortStart(kLexLess, 0); }), 1);
    EXPECT_EQ(testing::AllocationsIn([&] {
                  while (sorter.FromSort(out) >= 0) {
                  }
              }),
              0);
    // The next batch starts in the block the last one kept.
    sorter.ExitSort();
    sorter.InitSort();
    EXPECT_EQ(testing::AllocationsIn([&] { sorter.ToSort(value); }), 0);
    sorter.ExitSort();
}

}  // namespace
}  // namespace tdb
