// What IndexLess costs per comparison of two index entries: settlement names of the postal-code
// list in a level-6 WideString index under the Hungarian collation, and postal codes in an
// Integer index, each beside the bare comparison it builds on (the collation's Compare, a plain
// integer compare) and beside the comparator prepared once for the definition, called directly
// and through the comparison a tree holds. Neighbours in index order are compared, as a tree
// search meets them near its goal. Heap allocations are counted at malloc, so those inside ICU
// count too; there must be none.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "postal_rows.h"
#include "base/byte_image.h"
#include "index/index_keys.h"
#include "platform/text.h"
#include "types/column_def.h"
#include "types/sort_def.h"

namespace {

std::atomic<std::size_t> gMallocs{0};

}  // namespace

// glibc lets a program interpose malloc; these count and hand on to glibc's own allocator, whose
// free releases the blocks. Sanitizer builds keep their own interceptors.
#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__)
#define ZENKALO_COUNTS_MALLOC 1
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* p, std::size_t size);

void* malloc(std::size_t size) noexcept {
    gMallocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) noexcept {
    gMallocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}
void* realloc(void* p, std::size_t size) noexcept {
    gMallocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, size);
}
}
#endif

namespace {

using tdb::TTdbColumnDefs;
using tdb::TTdbDataType;
using tdb::TTdbDataValue;
using tdb::TTdbIndexKeys;
using tdb::TTdbSortDef;

using TBytes = std::vector<std::byte>;

constexpr std::int16_t kLevel = 6;

struct PostalCodes {
    std::vector<std::u16string> names;  // distinct settlement names
    std::vector<std::int32_t> codes;    // distinct postal codes
};

const PostalCodes& LoadPostalCodes() {
    static const PostalCodes data = [] {
        std::set<std::u16string> names;
        std::set<std::int32_t> codes;
        for (const tdb::bench::TPostalRow& row : tdb::bench::PostalRows()) {
            codes.insert(std::stoi(tdb::ToUtf8(row.Code)));
            names.insert(row.Name);
        }
        return PostalCodes{{names.begin(), names.end()}, {codes.begin(), codes.end()}};
    }();
    return data;
}

// One indexed column of a level-6 table and the entries of its values, in index order.
class IndexedColumn {
public:
    IndexedColumn(const TTdbDataType* type, bool varSize) : keys_(columns_, kLevel) {
        columns_.Add(u"C", type, 0);
        const tdb::TTdbColumnDef& column = *columns_.GetColumnDef(0);
        def_.AddItem(1, static_cast<std::uint8_t>(column.GetColumnType()), column.Size);
        def_.IsVarSize = varSize;
        def_.UpdateSize(kLevel);
    }

    template <typename Set>
    void Add(Set&& set) {
        TBytes record(static_cast<std::size_t>(columns_.GetRecordSize()));
        const tdb::TTdbColumnDef& column = *columns_.GetColumnDef(0);
        TTdbDataValue value;
        column.DataType->SetReference(value, record.data());
        set(column.DataType, value);
        TBytes entry(static_cast<std::size_t>(def_.GetSize()));
        const auto recordNo = static_cast<std::int32_t>(entries_.size() + 1);
        entry.resize(static_cast<std::size_t>(keys_.CalcIndexInfo(def_, record, recordNo, entry)));
        entries_.push_back(std::move(entry));
    }

    void Sort() {
        std::sort(entries_.begin(), entries_.end(), [&](const TBytes& a, const TBytes& b) {
            bool unique = true;
            return keys_.IndexLess(a, b, unique, 0, def_);
        });
    }

    void Run(benchmark::State& state) const {
        RunWith(state, [&](const TBytes& a, const TBytes& b, bool& unique) {
            return keys_.IndexLess(a, b, unique, 0, def_);
        });
    }
    void RunPrepared(benchmark::State& state) const {
        const tdb::TTdbKeyComparator comparator(keys_, def_);
        RunWith(state, [&](const TBytes& a, const TBytes& b, bool& unique) {
            return comparator.IndexLess(a, b, unique, 0);
        });
    }
    // As an index file's tree calls it: through the tree's comparison, with the definition.
    void RunTreeLess(benchmark::State& state) const {
        const tdb::TTdbTreeLess less =
            keys_.GetTreeLess(std::make_shared<const tdb::TTdbKeyComparator>(keys_, def_));
        RunWith(state, [&](const TBytes& a, const TBytes& b, bool& unique) {
            return less(a, b, unique, 0, &def_);
        });
    }

    // The floor of this walk: the 32-bit values read straight from the entries' bytes, after
    // the record number and the indicator.
    void RunRawEntries(benchmark::State& state) const {
        RunWith(state, [](const TBytes& a, const TBytes& b, bool&) {
            const auto va = tdb::LoadLE<std::int32_t>(a.data() + 5);
            const auto vb = tdb::LoadLE<std::int32_t>(b.data() + 5);
            return va < vb;
        });
    }

    // The floor of this walk for a nullable WideString key: its characters copied straight
    // from the entries' bytes (after record number, indicator and prefix) into the collation.
    void RunRawStringEntries(benchmark::State& state) const {
        const tdb::TTdbCollation& hungarian = tdb::TTdbCollation::Get(u"Hungarian");
        RunWith(state, [&](const TBytes& a, const TBytes& b, bool&) {
            char16_t charsA[64];
            char16_t charsB[64];
            const std::size_t lengthA = tdb::LoadLE<std::uint16_t>(a.data() + 5);
            const std::size_t lengthB = tdb::LoadLE<std::uint16_t>(b.data() + 5);
            std::memcpy(charsA, a.data() + 7, 2 * lengthA);
            std::memcpy(charsB, b.data() + 7, 2 * lengthB);
            return hungarian.Compare(std::u16string_view(charsA, lengthA),
                                     std::u16string_view(charsB, lengthB), hungarian.Options()) < 0;
        });
    }

    template <typename Less>
    void RunWith(benchmark::State& state, Less less) const {
        const std::size_t count = entries_.size();
        std::size_t i = 0;
        const std::size_t before = gMallocs.load();
        for (auto _ : state) {
            const std::size_t j = i + 1 == count ? 0 : i + 1;
            bool unique = true;
            benchmark::DoNotOptimize(less(entries_[i], entries_[j], unique));
            i = j;
        }
        ReportMallocs(state, before);
    }

    static void ReportMallocs(benchmark::State& state, std::size_t before) {
#ifdef ZENKALO_COUNTS_MALLOC
        state.counters["allocs/cmp"] = benchmark::Counter(
            static_cast<double>(gMallocs.load() - before), benchmark::Counter::kAvgIterations);
#else
        (void)before;
        state.SetLabel("allocations not counted in this build");
#endif
    }

private:
    TTdbColumnDefs columns_;
    TTdbIndexKeys keys_;
    TTdbSortDef def_{u"IDX"};
    std::vector<TBytes> entries_;
};

// The names in the order IndexLess gives them; the bare comparison walks the same neighbours.
std::vector<std::u16string> NamesInOrder() {
    const tdb::TTdbCollation& hungarian = tdb::TTdbCollation::Get(u"Hungarian");
    std::vector<std::u16string> names = LoadPostalCodes().names;
    std::sort(names.begin(), names.end(), [&](const auto& a, const auto& b) {
        return hungarian.Compare(a, b, hungarian.Options()) < 0;
    });
    return names;
}

const IndexedColumn& HungarianNames() {
    // Built in place: the keys refer to the columns beside them.
    static const std::unique_ptr<IndexedColumn> column = [] {
        auto c = std::make_unique<IndexedColumn>(
            TTdbDataType::GetStringType(tdb::ctWideString, true, 38, u"Hungarian", kLevel), true);
        for (const std::u16string& name : LoadPostalCodes().names) {
            c->Add([&](const TTdbDataType* t, TTdbDataValue& v) { t->SetWideString(v, name); });
        }
        c->Sort();
        return c;
    }();
    return *column;
}

const IndexedColumn& PostalCodes() {
    static const std::unique_ptr<IndexedColumn> column = [] {
        auto c = std::make_unique<IndexedColumn>(
            TTdbDataType::GetDataType(tdb::ctInteger, true, kLevel), false);
        for (const std::int32_t code : LoadPostalCodes().codes) {
            c->Add([&](const TTdbDataType* t, TTdbDataValue& v) { t->SetInteger(v, code); });
        }
        c->Sort();
        return c;
    }();
    return *column;
}

void BM_IndexLess_WideHungarian(benchmark::State& state) {
    HungarianNames().Run(state);
}
void BM_IndexLess_WideHungarian_Prepared(benchmark::State& state) {
    HungarianNames().RunPrepared(state);
}
void BM_IndexLess_WideHungarian_PreparedTreeLess(benchmark::State& state) {
    HungarianNames().RunTreeLess(state);
}

void BM_IndexLess_WideHungarian_RawEntries(benchmark::State& state) {
    HungarianNames().RunRawStringEntries(state);
}

void BM_IndexLess_WideHungarian_RawCollation(benchmark::State& state) {
    const tdb::TTdbCollation& hungarian = tdb::TTdbCollation::Get(u"Hungarian");
    const std::vector<std::u16string> names = NamesInOrder();
    std::size_t i = 0;
    const std::size_t before = gMallocs.load();
    for (auto _ : state) {
        const std::size_t j = i + 1 == names.size() ? 0 : i + 1;
        benchmark::DoNotOptimize(hungarian.Compare(names[i], names[j], hungarian.Options()));
        i = j;
    }
    IndexedColumn::ReportMallocs(state, before);
}

void BM_IndexLess_Integer(benchmark::State& state) {
    PostalCodes().Run(state);
}
void BM_IndexLess_Integer_Prepared(benchmark::State& state) {
    PostalCodes().RunPrepared(state);
}
void BM_IndexLess_Integer_PreparedTreeLess(benchmark::State& state) {
    PostalCodes().RunTreeLess(state);
}

void BM_IndexLess_Integer_RawEntries(benchmark::State& state) {
    PostalCodes().RunRawEntries(state);
}

void BM_IndexLess_Integer_RawInt32(benchmark::State& state) {
    const std::vector<std::int32_t>& codes = LoadPostalCodes().codes;
    std::size_t i = 0;
    const std::size_t before = gMallocs.load();
    for (auto _ : state) {
        const std::size_t j = i + 1 == codes.size() ? 0 : i + 1;
        benchmark::DoNotOptimize(codes[i] < codes[j] ? -1 : (codes[j] < codes[i] ? 1 : 0));
        i = j;
    }
    IndexedColumn::ReportMallocs(state, before);
}

BENCHMARK(BM_IndexLess_WideHungarian);
BENCHMARK(BM_IndexLess_WideHungarian_Prepared);
BENCHMARK(BM_IndexLess_WideHungarian_PreparedTreeLess);
BENCHMARK(BM_IndexLess_WideHungarian_RawEntries);
BENCHMARK(BM_IndexLess_WideHungarian_RawCollation);
BENCHMARK(BM_IndexLess_Integer);
BENCHMARK(BM_IndexLess_Integer_Prepared);
BENCHMARK(BM_IndexLess_Integer_PreparedTreeLess);
BENCHMARK(BM_IndexLess_Integer_RawEntries);
BENCHMARK(BM_IndexLess_Integer_RawInt32);

}  // namespace
