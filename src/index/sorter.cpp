// The sorter: elements in arena blocks, a top-down merge sort of the reading chain, and the
// saved sorts of a nested sorter.
#include "index/sorter.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "base/byte_image.h"
#include "base/engine_error.h"
#include "base/engine_errors.h"

namespace tdb {

namespace {

// Large enough that a batch of index entries costs few trips to the heap, small enough that a
// short sort of bookmarks does not hold much.
constexpr std::size_t kBlockSize = 256 * 1024;
constexpr std::size_t kElementAlign = alignof(TTdbSortElement);

static_assert(sizeof(TTdbSortElement) % kElementAlign == 0);
static_assert(sizeof(TTdbSortElement) + TTdbSorter::kMaxElementSize <= kBlockSize);

std::size_t Footprint(std::size_t size) {
    const std::size_t bytes = sizeof(TTdbSortElement) + size;
    return (bytes + kElementAlign - 1) / kElementAlign * kElementAlign;
}

// What one sort compares with.
struct TComparison {
    TTdbSortCompare Compare;
    const void* Context;
    TStrCmpOptions Options;
    const void* SortVar;
    bool Flag;

    bool Less(const TTdbSortElement* a, const TTdbSortElement* b) {
        return Compare(Context, a->Bytes(), b->Bytes(), Flag, Options, SortVar);
    }
};

// Sorts the N elements of Order, using Scratch (N more) on the way. The elements are dealt
// alternately into two runs (the first element to A), both are sorted and then merged; B's head
// goes first only when it sorts strictly before A's. Working on an array of the elements rather
// than chasing their links keeps the dealing and merging in cache: the result and every
// comparison are those of the same sort on the chain.
void MergeSort(TTdbSortElement** order, TTdbSortElement** scratch, std::size_t n,
               TComparison& comparison) {
    if (n < 2) {
        return;
    }
    const std::size_t countA = (n + 1) / 2;
    for (std::size_t i = 0; i < n; ++i) {
        scratch[(i % 2 == 0 ? 0 : countA) + i / 2] = order[i];
    }
    // The runs now live in Scratch, so Order is free to serve them as scratch space.
    TTdbSortElement** a = scratch;
    TTdbSortElement** b = scratch + countA;
    MergeSort(a, order, countA, comparison);
    MergeSort(b, order + countA, n - countA, comparison);
    TTdbSortElement** const aEnd = b;
    TTdbSortElement** const bEnd = scratch + n;
    TTdbSortElement** out = order;
    while (a != aEnd && b != bEnd) {
        if (comparison.Less(*b, *a)) {
            *out++ = *b++;
        } else {
            *out++ = *a++;
        }
    }
    out = std::copy(a, aEnd, out);
    std::copy(b, bEnd, out);
}

[[noreturn]] void RaiseBadSize(std::size_t size) {
    const std::string text = "sort element of " + std::to_string(size) + " bytes";
    RaiseEngineError(kTdbErrInvalidParameter, {std::u16string(text.begin(), text.end())});
}

}  // namespace

TTdbSorter::TTdbSorter(bool nested) : FNested(nested) {}

TTdbSorter::~TTdbSorter() = default;

void TTdbSorter::InitSort() {
    if (FNested) {
        FSaved.reserve(FSaved.size() + 1);  // so that saving cannot lose the running sort
        FSaved.push_back({std::move(FList), FSortVar, FSortError});
        FList = SList{};
    } else {
        // A private sorter has nothing to come back to: what is left goes now.
        ClearSort();
    }
    FSortError = false;
    FSortVar = &FList;
}

void TTdbSorter::ExitSort() noexcept {
    ClearSort();
    if (FNested && !FSaved.empty()) {
        TSavedSort& saved = FSaved.back();
        FList = std::move(saved.List);
        FSortVar = saved.SortVar;
        FSortError = saved.SortError;
        FSaved.pop_back();
    }
}

TTdbSortElement* TTdbSorter::NewElement(std::size_t size) {
    const std::size_t footprint = Footprint(size);
    if (FList.Blocks.empty() || FList.Used + footprint > FList.Blocks.back().Size) {
        TBlock block;
        block.Memory = std::make_unique_for_overwrite<std::byte[]>(kBlockSize);
        block.Size = kBlockSize;
        FList.Blocks.push_back(std::move(block));
        FList.Used = 0;
    }
    std::byte* at = FList.Blocks.back().Memory.get() + FList.Used;
    FList.Used += footprint;
    auto* element = new (at) TTdbSortElement;
    element->Size = static_cast<std::int16_t>(size);
    return element;
}

TTdbSortElement* TTdbSorter::Append(std::size_t size) {
    if (size > static_cast<std::size_t>(kMaxElementSize)) {
        RaiseBadSize(size);
    }
    TTdbSortElement* element = NewElement(size);
    // The reading chain grows at its end, which after a sort is not the element appended last;
    // the insertion chain keeps its own end.
    if (FList.Start == nullptr) {
        FList.Start = element;
        FList.Anfang = element;
    } else {
        FList.Last->Next = element;
        FList.Ende->Rest = element;
    }
    FList.Last = element;
    FList.Ende = element;
    ++FList.Count;
    return element;
}

void TTdbSorter::ToSort(std::span<const std::byte> value) {
    TTdbSortElement* element = Append(value.size());
    if (!value.empty()) {
        std::memcpy(element->Inhalt(), value.data(), value.size());
    }
}

void TTdbSorter::WStrToSort(std::u16string_view wstr) {
    constexpr std::size_t kMaxChars = (kMaxElementSize - 2) / 2;
    const std::size_t length = std::min(wstr.size(), kMaxChars + 1);
    std::byte* image = Append(2 + 2 * length)->Inhalt();
    StoreLE<std::uint16_t>(image, static_cast<std::uint16_t>(length));
    for (std::size_t i = 0; i < length; ++i) {
        StoreLE<std::uint16_t>(image + 2 + 2 * i, static_cast<std::uint16_t>(wstr[i]));
    }
}

void TTdbSorter::SortStart(TTdbSortCompare compare, const void* context, TStrCmpOptions options) {
    TComparison comparison{compare, context, options, FSortVar, true};
    if (FList.Anfang != nullptr && FList.Anfang->Rest != nullptr) {
        // The elements in reading order, then as much room again for the sort to work in.
        const auto n = static_cast<std::size_t>(FList.Count);
        std::vector<TTdbSortElement*> order(2 * n);
        std::size_t i = 0;
        for (TTdbSortElement* e = FList.Anfang; e != nullptr && i < n; e = e->Rest) {
            order[i++] = e;
        }
        MergeSort(order.data(), order.data() + n, n, comparison);
        for (i = 0; i + 1 < n; ++i) {
            order[i]->Rest = order[i + 1];
        }
        order[n - 1]->Rest = nullptr;
        FList.Anfang = order[0];
        FList.Ende = order[n - 1];
    }
    FList.Aktuell = FList.Anfang;
}

std::int32_t TTdbSorter::FromSort(std::span<std::byte> v) {
    TTdbSortElement* element = FList.Aktuell;
    if (element == nullptr) {
        FSortError = true;
        return -1;
    }
    const auto size = static_cast<std::size_t>(element->Size);
    if (size > v.size()) {
        RaiseBadSize(size);
    }
    if (size > 0) {
        std::memcpy(v.data(), element->Inhalt(), size);
    }
    FList.Aktuell = element->Rest;
    return element->Size;
}

bool TTdbSorter::WStrFromSort(std::u16string& wstr) {
    TTdbSortElement* element = FList.Aktuell;
    if (element == nullptr) {
        FSortError = true;
        return false;
    }
    const auto size = static_cast<std::size_t>(element->Size);
    const std::byte* bytes = element->Inhalt();
    std::size_t length = size >= 2 ? LoadLE<std::uint16_t>(bytes) : 0;
    // An element ToSort wrote may claim more than it holds; only what it holds is read.
    if (size < 2 + 2 * length) {
        length = size >= 2 ? (size - 2) / 2 : 0;
    }
    wstr.resize(length);
    for (std::size_t i = 0; i < length; ++i) {
        wstr[i] = static_cast<char16_t>(LoadLE<std::uint16_t>(bytes + 2 + 2 * i));
    }
    FList.Aktuell = element->Rest;
    return true;
}

void TTdbSorter::ClearSort() noexcept {
    // The first block stays for the next sort, so that batch after batch does not go back to
    // the heap for it.
    std::vector<TBlock> blocks = std::move(FList.Blocks);
    if (!blocks.empty()) {
        blocks.resize(1);
    }
    FList = SList{};
    FList.Blocks = std::move(blocks);
    FSortError = false;
}

}  // namespace tdb
