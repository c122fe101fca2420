// The engine's sorter: byte strings gathered one by one, merge-sorted with a comparison the
// caller hands in and read back in order. Index builds sort their entries with a private one;
// a session's nested one lets a consumer sort again while it still reads an earlier result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "types/collation.h"

namespace tdb {

// One sorted value. Its bytes follow the element in the same block of the sorter's arena.
struct TTdbSortElement {
    TTdbSortElement* Rest = nullptr;  // next in reading order
    TTdbSortElement* Next = nullptr;  // next in insertion order
    std::int16_t Size = 0;

    std::byte* Inhalt() noexcept { return reinterpret_cast<std::byte*>(this + 1); }
    const std::byte* Inhalt() const noexcept {
        return reinterpret_cast<const std::byte*>(this + 1);
    }
    std::span<const std::byte> Bytes() const noexcept {
        return {Inhalt(), static_cast<std::size_t>(Size)};
    }
};

// Whether A sorts strictly before B. Flag is handed through from the sort (a comparison of
// index entries clears it for equal keys), SortVar is the sorter's parameter; Context is the
// caller's object behind a plain function, so that no comparison pays for type erasure.
using TTdbSortCompare = bool (*)(const void* context, std::span<const std::byte> a,
                                 std::span<const std::byte> b, bool& flag, TStrCmpOptions options,
                                 const void* sortVar);

class TTdbSorter {
public:
    // The largest element: sizes are 16-bit.
    static constexpr std::int32_t kMaxElementSize = 32767;

    // A nested sorter saves the running sort on InitSort and restores it on ExitSort; a
    // private one only starts afresh.
    explicit TTdbSorter(bool nested = false);
    ~TTdbSorter();
    TTdbSorter(const TTdbSorter&) = delete;
    TTdbSorter& operator=(const TTdbSorter&) = delete;

    // Starts an empty sort (saving the running one when nested); SortVar becomes the address
    // of the list until InitSortVar says otherwise.
    void InitSort();
    // Frees this sort's elements and, when nested, brings back the sort InitSort saved.
    void ExitSort() noexcept;
    void InitSortVar(const void* sortVar) noexcept { FSortVar = sortVar; }

    // Appends a copy of the bytes. Raises engine error 49 for more than 32767 of them.
    void ToSort(std::span<const std::byte> value);
    // Appends the 16-bit length n and the n UTF-16 code units of the text.
    void WStrToSort(std::u16string_view wstr);

    // Orders the elements by Less(a, b, flag, options, sortVar) and makes the first one
    // current. Equal elements may change their order. Takes one allocation for its working
    // array (two pointers an element), whatever the number of elements.
    template <typename Less>
    void SortStart(const Less& less, TStrCmpOptions options) {
        SortStart(&CallLess<Less>, &less, options);
    }
    void SortStart(TTdbSortCompare compare, const void* context, TStrCmpOptions options);

    // Copies the current element into V and moves on; answers its size, or -1 (and sets
    // SortError) when there is none. Raises engine error 49, moving nothing, when V is too
    // small for the element.
    std::int32_t FromSort(std::span<std::byte> v);
    // Reads an element WStrToSort wrote; false (and SortError) when there is none, WStr then
    // unchanged.
    bool WStrFromSort(std::u16string& wstr);

    bool SortEmpty() const noexcept { return FList.Aktuell == nullptr; }
    // Reads again from the first element.
    void ToStart() noexcept { FList.Aktuell = FList.Anfang; }
    // Frees every element; SortError and the current element are cleared.
    void ClearSort() noexcept;

    bool SortError() const noexcept { return FSortError; }
    const void* SortVar() const noexcept { return FSortVar; }
    bool IsNested() const noexcept { return FNested; }
    // Elements of the running sort.
    std::int64_t Count() const noexcept { return FList.Count; }

private:
    // The elements live in large blocks; a block holds as many as fit.
    struct TBlock {
        std::unique_ptr<std::byte[]> Memory;
        std::size_t Size = 0;
    };

    struct SList {
        TTdbSortElement* Start = nullptr;    // first in insertion order
        TTdbSortElement* Anfang = nullptr;   // first in reading order
        TTdbSortElement* Aktuell = nullptr;  // next to read
        TTdbSortElement* Ende = nullptr;     // last in reading order
        TTdbSortElement* Last = nullptr;     // last in insertion order
        std::int64_t Count = 0;
        std::vector<TBlock> Blocks;
        std::size_t Used = 0;  // bytes taken in the last block
    };

    struct TSavedSort {
        SList List;
        const void* SortVar;
        bool SortError;
    };

    template <typename Less>
    static bool CallLess(const void* context, std::span<const std::byte> a,
                         std::span<const std::byte> b, bool& flag, TStrCmpOptions options,
                         const void* sortVar) {
        return (*static_cast<const Less*>(context))(a, b, flag, options, sortVar);
    }

    TTdbSortElement* NewElement(std::size_t size);
    // A new last element of that many bytes, linked into both chains.
    TTdbSortElement* Append(std::size_t size);

    SList FList;
    const void* FSortVar = nullptr;
    bool FSortError = false;
    bool FNested;
    std::vector<TSavedSort> FSaved;
};

}  // namespace tdb
