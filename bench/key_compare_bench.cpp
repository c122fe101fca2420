// What one key comparison costs: TTdbDataType::Compare on reference values over column images
// (8-bit and UTF-16 strings under the built-in collation, UTF-16 under the Hungarian locale, also
// against prefix bounds, 32-bit integers) beside the raw comparisons they build on. A counting
// operator new reports heap allocations per comparison, which must stay at zero.
#include <benchmark/benchmark.h>
#include <unicode/ucol.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "allocation_count.h"
#include "types/data_type.h"

// The counting operator new hands out malloc'ed memory, so free is its matching release.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {

std::atomic<std::size_t> gAllocations{0};

}  // namespace

std::size_t tdb::bench::AllocationCount() noexcept {
    return gAllocations.load(std::memory_order_relaxed);
}

void* operator new(std::size_t size) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

using tdb::TTdbDataType;
using tdb::TTdbDataValue;

// Neighbouring settlement names, as an index search meets them.
const std::u16string_view kNames[] = {
    u"Aba",
    u"Abádszalók",
    u"Abaliget",
    u"Abasár",
    u"Abaújszántó",
    u"Ács",
    u"Acsa",
    u"Ajka",
    u"Alsónémedi",
    u"Aszaló",
    u"Asszonyfa",
    u"Baja",
    u"Balatonfüred",
    u"Bonnya",
    u"Bonyhád",
    u"Budakeszi",
    u"Budaörs",
    u"Budapest",
    u"Cegléd",
    u"Csákvár",
    u"Debrecen",
    u"Eger",
    u"Érd",
    u"Győr",
    u"Gyula",
    u"Hosszúhetény",
    u"Hosztót",
    u"Kecskemét",
    u"Megyaszó",
    u"Meggyeskovácsi",
    u"Nagykanizsa",
    u"Nyíregyháza",
    u"Öcs",
    u"Őcsény",
    u"Öcsöd",
    u"Pécs",
    u"Sellye",
    u"Selyeb",
    u"Sopron",
    u"Szeged",
    u"Székesfehérvár",
    u"Szolnok",
    u"Tata",
    u"Vác",
    u"Zalaegerszeg",
    u"Zsámbék",
};
constexpr std::size_t kCount = std::size(kNames);
constexpr std::int32_t kLength = 38;

// Column images of one type, one per name, each with a reference value onto it.
struct Column {
    const TTdbDataType* type;
    std::vector<std::vector<std::uint8_t>> images;
    std::vector<TTdbDataValue> refs;

    explicit Column(const TTdbDataType* t) : type(t), images(kCount), refs(kCount) {
        for (std::size_t i = 0; i < kCount; ++i) {
            images[i].assign(static_cast<std::size_t>(t->GetDataSize()), 0);
            TTdbDataValue owned;
            if (t->GetColumnType() == tdb::ctInteger) {
                t->SetInteger(owned, static_cast<std::int64_t>(i) * 7919 - 100000);
            } else {
                t->SetWideString(owned, kNames[i]);
            }
            t->CopyTo(owned, images[i].data());
            t->SetReference(refs[i], images[i].data());
        }
    }
};

void RunCompare(benchmark::State& state, const TTdbDataType* type) {
    Column column(type);
    std::size_t i = 0;
    std::size_t before = gAllocations.load();
    for (auto _ : state) {
        std::size_t j = i + 1 == kCount ? 0 : i + 1;
        benchmark::DoNotOptimize(TTdbDataType::Compare(column.refs[i], column.refs[j], type, type));
        i = j;
    }
    state.counters["allocs/cmp"] = benchmark::Counter(
        static_cast<double>(gAllocations.load() - before), benchmark::Counter::kAvgIterations);
}

void BM_Compare_AnsiBuiltIn(benchmark::State& state) {
    RunCompare(state, TTdbDataType::GetStringType(tdb::ctString, true, kLength, u"", 6));
}
// A prefix search: each bound meets every name in turn, as the descents of one range search
// meet it again and again, before the next bound takes over. Among the bounds are prefixes
// that end inside or at a Hungarian digraph, whose bounds reach past their contractions.
const std::u16string_view kBoundPrefixes[] = {
    u"Aba", u"Ács", u"Bonn", u"Buda", u"C", u"Gy", u"Hossz", u"Megy", u"N", u"Sely", u"Sz", u"Zs",
};
constexpr std::size_t kBoundCount = std::size(kBoundPrefixes);

void BM_Compare_WideHungarianToBound(benchmark::State& state) {
    const auto* type = static_cast<const tdb::TTdbStringType*>(
        TTdbDataType::GetStringType(tdb::ctWideString, true, kLength, u"Hungarian", 6));
    Column column(type);
    std::vector<std::vector<std::uint8_t>> boundImages(kBoundCount);
    std::vector<TTdbDataValue> bounds(kBoundCount);
    for (std::size_t b = 0; b < kBoundCount; ++b) {
        TTdbDataValue owned;
        type->SetWideString(owned, kBoundPrefixes[b]);
        type->GetMaximumFill(owned);
        boundImages[b].assign(static_cast<std::size_t>(type->GetDataSize()), 0);
        type->CopyTo(owned, boundImages[b].data());
        type->SetReference(bounds[b], boundImages[b].data());
    }
    std::size_t i = 0;
    std::size_t b = 0;
    const std::size_t before = gAllocations.load();
    for (auto _ : state) {
        benchmark::DoNotOptimize(TTdbDataType::Compare(column.refs[i], bounds[b], type, type));
        if (++i == kCount) {
            i = 0;
            b = b + 1 == kBoundCount ? 0 : b + 1;
        }
    }
    state.counters["allocs/cmp"] = benchmark::Counter(
        static_cast<double>(gAllocations.load() - before), benchmark::Counter::kAvgIterations);
}
// The same through the collation alone.
void BM_Collation_WideHungarianToBound(benchmark::State& state) {
    const tdb::TTdbCollation& collation = tdb::TTdbCollation::Get(u"Hungarian");
    std::vector<std::u16string> bounds;
    for (std::u16string_view prefix : kBoundPrefixes) {
        bounds.emplace_back(prefix).push_back(u'\0');
    }
    std::size_t i = 0;
    std::size_t b = 0;
    const std::size_t before = gAllocations.load();
    for (auto _ : state) {
        benchmark::DoNotOptimize(collation.Compare(kNames[i], bounds[b], collation.Options()));
        if (++i == kCount) {
            i = 0;
            b = b + 1 == kBoundCount ? 0 : b + 1;
        }
    }
    state.counters["allocs/cmp"] = benchmark::Counter(
        static_cast<double>(gAllocations.load() - before), benchmark::Counter::kAvgIterations);
}

void BM_Compare_WideBuiltIn(benchmark::State& state) {
    RunCompare(state, TTdbDataType::GetStringType(tdb::ctWideString, true, kLength, u"", 6));
}
void BM_Compare_WideHungarian(benchmark::State& state) {
    RunCompare(state,
               TTdbDataType::GetStringType(tdb::ctWideString, true, kLength, u"Hungarian", 6));
}
void BM_Compare_Integer(benchmark::State& state) {
    RunCompare(state, TTdbDataType::GetDataType(tdb::ctInteger, true, 6));
}

// Baselines: the same neighbours without the types.
void BM_Raw_Memcmp(benchmark::State& state) {
    std::vector<std::string> names;
    for (std::u16string_view n : kNames) {
        names.emplace_back(n.begin(), n.end());  // narrowed; only the length matters here
    }
    std::size_t i = 0;
    for (auto _ : state) {
        std::size_t j = i + 1 == kCount ? 0 : i + 1;
        std::size_t n = std::min(names[i].size(), names[j].size());
        benchmark::DoNotOptimize(std::memcmp(names[i].data(), names[j].data(), n));
        i = j;
    }
}
void BM_Raw_U16ViewCompare(benchmark::State& state) {
    std::size_t i = 0;
    for (auto _ : state) {
        std::size_t j = i + 1 == kCount ? 0 : i + 1;
        benchmark::DoNotOptimize(kNames[i].compare(kNames[j]));
        i = j;
    }
}
void BM_Raw_UcolStrcollHungarian(benchmark::State& state) {
    UErrorCode status = U_ZERO_ERROR;
    UCollator* collator = ucol_open("hu", &status);
    ucol_setStrength(collator, UCOL_SECONDARY);
    std::size_t i = 0;
    for (auto _ : state) {
        std::size_t j = i + 1 == kCount ? 0 : i + 1;
        benchmark::DoNotOptimize(
            ucol_strcoll(collator, kNames[i].data(), static_cast<int32_t>(kNames[i].size()),
                         kNames[j].data(), static_cast<int32_t>(kNames[j].size())));
        i = j;
    }
    ucol_close(collator);
}
// What a comparison against a known bound builds on: one primary sort key of the name.
void BM_Raw_UcolGetSortKeyHungarian(benchmark::State& state) {
    UErrorCode status = U_ZERO_ERROR;
    UCollator* collator = ucol_open("hu", &status);
    ucol_setStrength(collator, UCOL_PRIMARY);
    std::uint8_t key[256];
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ucol_getSortKey(collator, kNames[i].data(),
                                                 static_cast<int32_t>(kNames[i].size()), key,
                                                 static_cast<int32_t>(sizeof key)));
        benchmark::ClobberMemory();
        i = i + 1 == kCount ? 0 : i + 1;
    }
    ucol_close(collator);
}
// The collation alone, to tell its cost from the types' reading of the images.
void BM_Collation_WideHungarian(benchmark::State& state) {
    const tdb::TTdbCollation& collation = tdb::TTdbCollation::Get(u"Hungarian");
    std::size_t i = 0;
    for (auto _ : state) {
        std::size_t j = i + 1 == kCount ? 0 : i + 1;
        benchmark::DoNotOptimize(collation.Compare(kNames[i], kNames[j], collation.Options()));
        i = j;
    }
}
void BM_Raw_Int32(benchmark::State& state) {
    std::vector<std::int32_t> values(kCount);
    for (std::size_t i = 0; i < kCount; ++i) {
        values[i] = static_cast<std::int32_t>(i) * 7919 - 100000;
    }
    std::size_t i = 0;
    for (auto _ : state) {
        std::size_t j = i + 1 == kCount ? 0 : i + 1;
        benchmark::DoNotOptimize(values[i] < values[j] ? 1 : (values[j] < values[i] ? 3 : 2));
        i = j;
    }
}

BENCHMARK(BM_Compare_AnsiBuiltIn);
BENCHMARK(BM_Raw_Memcmp);
BENCHMARK(BM_Compare_WideBuiltIn);
BENCHMARK(BM_Raw_U16ViewCompare);
BENCHMARK(BM_Compare_WideHungarian);
BENCHMARK(BM_Collation_WideHungarian);
BENCHMARK(BM_Raw_UcolStrcollHungarian);
BENCHMARK(BM_Compare_WideHungarianToBound);
BENCHMARK(BM_Collation_WideHungarianToBound);
BENCHMARK(BM_Raw_UcolGetSortKeyHungarian);
BENCHMARK(BM_Compare_Integer);
BENCHMARK(BM_Raw_Int32);

}  // namespace
