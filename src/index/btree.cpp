// The B-tree's life cycle, its header on page 0, the searches and the walks over the whole tree.
// Insertion and deletion are in btree_update.cpp.
#include "index/btree.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "base/engine_error.h"
#include "index/index_entry.h"
#include "platform/text.h"
#include "storage/page_manager.h"

namespace tdb {

namespace {

constexpr std::int32_t kMinPageSize = 256;
constexpr std::int32_t kMaxPageSizeWide = 16777216;
constexpr std::int32_t kMaxPageSizeNarrow = 16384;
constexpr std::int32_t kMaxTreePagesWide = 1073741822;
constexpr std::int32_t kMaxTreePagesNarrow = 32766;
// Item counts are 16-bit on the page and the order and capacity 16-bit in the header; keeping
// 2n below 32768 lets every reader take them as signed or unsigned alike.
constexpr std::int32_t kMaxOrder = 16383;
constexpr std::int32_t kWideHeaderSize = 24;
constexpr std::int32_t kNarrowHeaderSize = 14;
constexpr std::int32_t kExactSequenceLimit = 1000;
constexpr int kMaxHalvings = 100;


std::int32_t PtrSizeOf(std::int16_t version) {
    return version >= 4 ? 4 : 2;
}

std::int32_t DataOffsetOf(std::int16_t version) {
    return version >= 4 ? 6 : 4;
}

}  // namespace

TTdbBTree::TTdbBTree(TTdbClientStorage& storage, std::int16_t version, std::int32_t offset,
                     TTdbTreeLess less)
    : FStorage(storage), Less(std::move(less)), FOffset(offset), FVersion(version) {
    SetLayout();
}

TTdbBTree::TTdbBTree(const TTdbBTree& source, TTdbClientStorage& storage)
    : FStorage(storage),
      Less(source.Less),
      FOffset(source.FOffset),
      FKeySize(source.FKeySize),
      FItemSize(source.FItemSize),
      FVersion(source.FVersion) {
    SetLayout();
}

TTdbBTree::~TTdbBTree() {
    Close();
}

std::unique_ptr<TTdbTreeBase> TTdbBTree::Clone(TTdbClientStorage& storage) const {
    return std::make_unique<TTdbBTree>(*this, storage);
}

void TTdbBTree::SetItemSize(std::int32_t entrySize) {
    // The work items and every page are laid out for the entry size of the open file.
    if (IsOpen()) {
        throw Exception(u"The entry size of the open B-tree of " + QuotedText(StorageName()) +
                        u" cannot change");
    }
    FKeySize = entrySize;
    FItemSize = entrySize + FPtrSize;
}

std::int32_t TTdbBTree::GetMaxPageSize(std::int16_t version) noexcept {
    return version >= 4 ? kMaxPageSizeWide : kMaxPageSizeNarrow;
}

std::int32_t TTdbBTree::MaxTreePages() const noexcept {
    return IsWide() ? kMaxTreePagesWide : kMaxTreePagesNarrow;
}

std::int32_t TTdbBTree::GetHeaderSize() const {
    return IsWide() ? kWideHeaderSize : kNarrowHeaderSize;
}

void TTdbBTree::SetLayout() {
    FPtrSize = PtrSizeOf(FVersion);
    FDataOffset = DataOffsetOf(FVersion);
    FItemCountOffset = FPtrSize;
    if (IsWide()) {
        FHeightOffset = FOffset + 8;
        FPageCountOffset = FOffset + 10;
        FNextPageOffset = FOffset + 18;
    } else {
        FHeightOffset = FOffset + 6;
        FPageCountOffset = FOffset + 8;
        // Versions 1-3 had no room left in the header: the head sits at the end of page 0.
        FNextPageOffset = HasFreeList() && FPageSize > 0 ? FPageSize - 2 : -1;
    }
    if (FKeySize > 0) {
        FItemSize = FKeySize + FPtrSize;
    }
}

bool TTdbBTree::GeometryFits(std::int32_t pageSize, std::int32_t order) const noexcept {
    return order >= 1 && order <= kMaxOrder &&
           std::int64_t{FDataOffset} + std::int64_t{2} * order * FItemSize <= pageSize;
}

std::u16string TTdbBTree::StorageName() const {
    return FStorage.Name();
}

// ---------------------------------------------------------------------------------------------
// Page sizes and capacities

namespace {

// Items of size S a page holds, times the pages a file may have, as the rule counts it.
std::int64_t CapacityForPage(std::int16_t version, std::int64_t pageSize, std::int64_t itemSize) {
    const std::int64_t items = pageSize / itemSize;
    if (version >= 4) {
        return std::min<std::int64_t>(items * 2147483647LL, 2147483647LL);
    }
    return items * 65535;
}

}  // namespace

std::int32_t TTdbBTree::CalcPageSizeFor(std::int16_t version, std::int32_t maxKeySize,
                                        std::int64_t capacity) noexcept {
    const std::int64_t itemSize =
        std::max<std::int64_t>(std::int64_t{maxKeySize} + PtrSizeOf(version), 1);
    const std::int64_t maxPage = GetMaxPageSize(version);
    std::int64_t page = 4096;
    // A key no page can hold ends just above the maximum, which New refuses.
    while (page < itemSize + 8 && page <= maxPage) {
        page *= 2;
    }
    while (page / itemSize + 1 < 40 && page * 2 <= maxPage) {
        page *= 2;
    }
    const std::int64_t wanted = std::max<std::int64_t>(capacity, 0);
    while (CapacityForPage(version, page, itemSize) / 2 < wanted && page * 2 <= maxPage) {
        page *= 2;
    }
    return static_cast<std::int32_t>(page);
}

std::int32_t TTdbBTree::CalcPageSize(std::int16_t version, std::int32_t maxKeySize,
                                     std::int64_t capacity) const {
    return CalcPageSizeFor(version, maxKeySize, capacity);
}

std::int64_t TTdbBTree::CalcCapacity() const {
    if (IsWide()) {
        return std::min<std::int64_t>(std::int64_t{FPageCapacity} * 2147483647LL, 2147483647LL);
    }
    return std::int64_t{FPageCapacity} * 65535;
}

// ---------------------------------------------------------------------------------------------
// Life cycle

bool TTdbBTree::IsOpen() const {
    return FHeaderPage != nullptr;
}

void TTdbBTree::RequireOpen() const {
    if (!IsOpen()) {
        throw Exception(u"The B-tree of " + QuotedText(StorageName()) + u" is not open");
    }
}

void TTdbBTree::RequireComparison() const {
    if (!Less) {
        throw Exception(u"The B-tree of " + QuotedText(StorageName()) + u" has no comparison");
    }
}

void TTdbBTree::AllocateWork() {
    for (PathSlot& slot : FPath) {
        if (!slot.site) {
            slot.site = FStorage.CreatePageSite();
        }
        slot.pos = 0;
    }
    const auto size = static_cast<std::size_t>(FKeySize) + 4;
    u.assign(size, std::byte{0});
    v.assign(size, std::byte{0});
    w.assign(size, std::byte{0});
    FPageStack.reserve(256);
}

void TTdbBTree::UnloadPath() noexcept {
    FLastLevel = 0;
    for (PathSlot& slot : FPath) {
        if (slot.site) {
            slot.site->UnloadPage();
        }
        slot.pos = 0;
    }
}

void TTdbBTree::Close() {
    for (PathSlot& slot : FPath) {
        slot.site.reset();
        slot.pos = 0;
    }
    FHeaderPage.reset();
    u.clear();
    v.clear();
    w.clear();
    u.shrink_to_fit();
    v.shrink_to_fit();
    w.shrink_to_fit();
}

void TTdbBTree::New(std::int32_t pageSize, const TTdbSortDef* compareParam) {
    Close();
    RequireComparison();
    FTreeError = kBTreeOk;
    FCompareParam = compareParam;
    const auto refuse = [&](std::u16string why) {
        FTreeError = kBTreeBadPageSize;
        RaiseEngineError(98, {StorageName() + u": " + why});
    };
    if (FVersion < 1 || FVersion > 6) {
        refuse(u"version " + NumberText(FVersion) + u" has no B-tree");
    }
    if (FKeySize < 1 || FKeySize > kTdbLongIndexInfoSize) {
        refuse(u"entry size " + NumberText(FKeySize));
    }
    if (FOffset < 0 || FOffset + GetHeaderSize() > kMinPageSize - (HasFreeList() ? 2 : 0)) {
        refuse(u"header offset " + NumberText(FOffset));
    }
    const std::int32_t itemSize = FKeySize + FPtrSize;
    const std::int64_t order =
        pageSize >= kMinPageSize ? (std::int64_t{pageSize} - FDataOffset) / itemSize / 2 : 0;
    if (pageSize < kMinPageSize || pageSize > GetMaxPageSize(FVersion) || order < 1 ||
        order > kMaxOrder) {
        refuse(u"page size " + NumberText(pageSize) + u" for entries of " + NumberText(FKeySize) +
               u" bytes");
    }
    try {
        FStorage.SetPageSize(pageSize);
    } catch (const Exception& e) {
        refuse(u"page size " + NumberText(pageSize) + u" (" + e.Message() + u")");
    }
    FPageSize = pageSize;
    FItemSize = itemSize;
    FOrder = static_cast<std::int32_t>(order);
    FPageCapacity = 2 * FOrder;
    SetLayout();
    try {
        FStorage.SetPageCount(1);
        FHeaderPage = FStorage.CreatePageSite();
        FHeaderPage->InitPage(0);
        FHeaderPage->Modify();
        std::byte* h = FHeaderPage->GetAddress(0);
        if (IsWide()) {
            StoreLE<std::int32_t>(h + FOffset, FPageSize);
            StoreLE<std::uint16_t>(h + FOffset + 4, static_cast<std::uint16_t>(FKeySize));
            StoreLE<std::uint16_t>(h + FOffset + 6, static_cast<std::uint16_t>(FItemSize));
            StoreLE<std::int16_t>(h + FOffset + 8, 0);
            StoreLE<std::int32_t>(h + FOffset + 10, 0);
            StoreLE<std::uint16_t>(h + FOffset + 14, static_cast<std::uint16_t>(FOrder));
            StoreLE<std::uint16_t>(h + FOffset + 16, static_cast<std::uint16_t>(FPageCapacity));
            StoreLE<std::int32_t>(h + FOffset + 18, 0);
            StoreLE<std::int16_t>(h + FOffset + 22, 0);
        } else {
            StoreLE<std::uint16_t>(h + FOffset, static_cast<std::uint16_t>(FPageSize));
            StoreLE<std::uint16_t>(h + FOffset + 2, static_cast<std::uint16_t>(FKeySize));
            StoreLE<std::uint16_t>(h + FOffset + 4, static_cast<std::uint16_t>(FItemSize));
            StoreLE<std::int16_t>(h + FOffset + 6, 0);
            StoreLE<std::int16_t>(h + FOffset + 8, 0);
            StoreLE<std::uint16_t>(h + FOffset + 10, static_cast<std::uint16_t>(FOrder));
            StoreLE<std::uint16_t>(h + FOffset + 12, static_cast<std::uint16_t>(FPageCapacity));
            if (HasFreeList()) {
                StoreLE<std::int16_t>(h + FNextPageOffset, 0);
            }
        }
        AllocateWork();
    } catch (const Exception&) {
        FTreeError = kBTreeWriteFailed;
        Close();
        throw;
    }
}

void TTdbBTree::RaiseCorrupt() {
    RaiseEngineError(95, {StorageName()});
}

void TTdbBTree::Open(const TTdbSortDef* compareParam) {
    Close();
    RequireComparison();
    FTreeError = kBTreeOk;
    FCompareParam = compareParam;
    const auto damaged = [this]() {
        FTreeError = kBTreeDamaged;
        Close();
        RaiseCorrupt();
    };
    if (FVersion < 1 || FVersion > 6 || FOffset < 0 ||
        FOffset + GetHeaderSize() > kMinPageSize - (HasFreeList() ? 2 : 0)) {
        damaged();
    }
    try {
        FHeaderPage = FStorage.CreatePageSite();
        FHeaderPage->LoadPage(0);
        // Through a bounds-checked copy: the storage's page size is still provisional.
        std::array<std::byte, kWideHeaderSize> header{};
        FHeaderPage->CopyTo(FOffset,
                            std::span(header).first(static_cast<std::size_t>(GetHeaderSize())));
        const std::byte* h = header.data();
        std::int32_t pageSize = 0;
        std::int32_t entrySize = 0;
        std::int32_t itemSize = 0;
        std::int32_t order = 0;
        std::int32_t capacity = 0;
        if (IsWide()) {
            pageSize = LoadLE<std::int32_t>(h);
            entrySize = LoadLE<std::uint16_t>(h + 4);
            itemSize = LoadLE<std::uint16_t>(h + 6);
            order = LoadLE<std::uint16_t>(h + 14);
            capacity = LoadLE<std::uint16_t>(h + 16);
        } else {
            pageSize = LoadLE<std::uint16_t>(h);
            entrySize = LoadLE<std::uint16_t>(h + 2);
            itemSize = LoadLE<std::uint16_t>(h + 4);
            order = LoadLE<std::uint16_t>(h + 10);
            capacity = LoadLE<std::uint16_t>(h + 12);
        }
        FItemSize = itemSize;
        if (pageSize < kMinPageSize || pageSize > GetMaxPageSize(FVersion) || entrySize < 1 ||
            entrySize > kTdbLongIndexInfoSize || itemSize != entrySize + FPtrSize ||
            capacity != 2 * order || !GeometryFits(pageSize, order)) {
            damaged();
        }
        if (pageSize != FStorage.GetPageSize()) {
            FStorage.SetPageSize(pageSize);  // releases every site of the storage
        }
        FPageSize = pageSize;
        FKeySize = entrySize;
        FOrder = order;
        FPageCapacity = capacity;
        SetLayout();
        FHeaderPage->LoadPage(0);
    } catch (const BTreeFault&) {
        damaged();
    } catch (const ETdbEngine&) {
        throw;
    } catch (const Exception&) {
        damaged();
    }
    try {
        const Shape shape = ReadShape();
        const std::int32_t head = ReadFreeHead();
        if (head != 0 && (head < 2 || head > shape.pages)) {
            damaged();
        }
        if (std::int64_t{shape.pages} + 1 > FStorage.GetPageCount()) {
            damaged();
        }
    } catch (const BTreeFault&) {
        damaged();
    }
    AllocateWork();
}

void TTdbBTree::Flush() {
    if (!IsOpen() || FStorage.GetReadOnly()) {
        return;
    }
    PrepareFlush();
    try {
        FStorage.Flush();
    } catch (const Exception&) {
        FTreeError = kBTreeWriteFailed;
        throw;
    }
}

void TTdbBTree::PrepareFlush() {
    if (!IsOpen() || FStorage.GetReadOnly()) {
        return;
    }
    try {
        const std::int64_t pages = GetTreePageCount();
        if (pages < 0 || pages > MaxTreePages()) {
            return;  // nothing to cut by a header that makes no sense
        }
        // The storage counts whole tiles: the page count a cut would leave.
        const std::int64_t tile = FStorage.FileSystem().GetPageSize();
        const std::int64_t tiles = ((pages + 1) * FPageSize + tile - 1) / tile;
        const std::int64_t expected = (tiles * tile + FPageSize - 1) / FPageSize;
        if (expected != FStorage.GetPageCount()) {
            UnloadPath();
            FStorage.SetPageCount(static_cast<std::int32_t>(pages + 1));
        }
    } catch (const Exception&) {
        FTreeError = kBTreeWriteFailed;
        throw;
    }
}

void TTdbBTree::Undo() {
    if (!IsOpen()) {
        return;
    }
    UnloadPath();
    FTreeError = kBTreeOk;
    FStorage.Undo();
}

void TTdbBTree::Update(std::int64_t changeCount) {
    if (!IsOpen()) {
        return;
    }
    UnloadPath();
    FStorage.Invalidate(changeCount);
}

void TTdbBTree::UpdateDir() {
    FStorage.UpdateDir();
}

void TTdbBTree::Preload() {
    RequireOpen();
    FTreeError = kBTreeOk;
    try {
        const Shape shape = ReadShape();
        TTdbStoragePageSite& site = *FPath[0].site;
        for (std::int32_t pageNo = 1; pageNo <= shape.pages; ++pageNo) {
            LoadSite(site, pageNo);
        }
        site.UnloadPage();
        HeaderAddress();
    } catch (const BTreeFault&) {
        UnloadPath();
        RaiseCorrupt();
    }
}

// ---------------------------------------------------------------------------------------------
// Page 0

[[noreturn]] void TTdbBTree::Fault(std::int16_t state) {
    FTreeError = state;
    throw BTreeFault{};
}

const std::byte* TTdbBTree::HeaderAddress() {
    try {
        return FHeaderPage->GetAddress(0);
    } catch (const Exception&) {
        Fault(kBTreeDamaged);
    }
}

std::byte* TTdbBTree::HeaderWritable() {
    try {
        FHeaderPage->Modify();
        return FHeaderPage->GetAddress(0);
    } catch (const Exception&) {
        Fault(kBTreeWriteFailed);
    }
}

TTdbBTree::Shape TTdbBTree::ReadShape() {
    const std::byte* h = HeaderAddress();
    const std::int32_t height = LoadLE<std::int16_t>(h + FHeightOffset);
    const std::int32_t pages = IsWide() ? LoadLE<std::int32_t>(h + FPageCountOffset)
                                        : LoadLE<std::int16_t>(h + FPageCountOffset);
    if (height < 0 || height > kBTreeMaxHeight || pages < 0 || pages > MaxTreePages() ||
        pages < height) {
        Fault(kBTreeDamaged);
    }
    return {height, pages};
}

std::int32_t TTdbBTree::ReadFreeHead() {
    if (FNextPageOffset < 0) {
        return 0;
    }
    const std::byte* h = HeaderAddress();
    return IsWide() ? LoadLE<std::int32_t>(h + FNextPageOffset)
                    : LoadLE<std::int16_t>(h + FNextPageOffset);
}

void TTdbBTree::WriteHeight(std::int32_t height) {
    StoreLE<std::int16_t>(HeaderWritable() + FHeightOffset, static_cast<std::int16_t>(height));
}

void TTdbBTree::WritePages(std::int32_t pages) {
    std::byte* h = HeaderWritable();
    if (IsWide()) {
        StoreLE<std::int32_t>(h + FPageCountOffset, pages);
    } else {
        StoreLE<std::int16_t>(h + FPageCountOffset, static_cast<std::int16_t>(pages));
    }
}

void TTdbBTree::WriteFreeHead(std::int32_t page) {
    if (FNextPageOffset < 0) {
        return;
    }
    std::byte* h = HeaderWritable();
    if (IsWide()) {
        StoreLE<std::int32_t>(h + FNextPageOffset, page);
    } else {
        StoreLE<std::int16_t>(h + FNextPageOffset, static_cast<std::int16_t>(page));
    }
}

std::int32_t TTdbBTree::GetHeight() {
    if (!IsOpen()) {
        return 0;
    }
    return LoadLE<std::int16_t>(FHeaderPage->GetAddress(0) + FHeightOffset);
}

std::int32_t TTdbBTree::GetTreePageCount() {
    if (!IsOpen()) {
        return 0;
    }
    const std::byte* h = FHeaderPage->GetAddress(0);
    return IsWide() ? LoadLE<std::int32_t>(h + FPageCountOffset)
                    : LoadLE<std::int16_t>(h + FPageCountOffset);
}

std::int32_t TTdbBTree::GetFirstFreePage() {
    if (!IsOpen() || FNextPageOffset < 0) {
        return 0;
    }
    const std::byte* h = FHeaderPage->GetAddress(0);
    return IsWide() ? LoadLE<std::int32_t>(h + FNextPageOffset)
                    : LoadLE<std::int16_t>(h + FNextPageOffset);
}

namespace {

// The owner's bytes end where the free-list head of versions 1-3 begins.
[[noreturn]] void RaiseUserDataRange(const std::u16string& name, std::int32_t offset,
                                     std::size_t size) {
    throw Exception(u"User data at offset " + NumberText(offset) + u" (" +
                    NumberText(static_cast<std::int64_t>(size)) +
                    u" bytes) lies outside the header page of " + QuotedText(name));
}

}  // namespace

void TTdbBTree::ReadUserData(std::int32_t offset, std::span<std::byte> data) {
    RequireOpen();
    const std::int64_t start = std::int64_t{FOffset} + GetHeaderSize() + offset;
    const std::int64_t end = FNextPageOffset >= 0 && !IsWide() ? FNextPageOffset : FPageSize;
    if (offset < 0 || start + static_cast<std::int64_t>(data.size()) > end) {
        RaiseUserDataRange(StorageName(), offset, data.size());
    }
    FHeaderPage->CopyTo(static_cast<std::int32_t>(start), data);
}

void TTdbBTree::WriteUserData(std::int32_t offset, std::span<const std::byte> data) {
    RequireOpen();
    const std::int64_t start = std::int64_t{FOffset} + GetHeaderSize() + offset;
    const std::int64_t end = FNextPageOffset >= 0 && !IsWide() ? FNextPageOffset : FPageSize;
    if (offset < 0 || start + static_cast<std::int64_t>(data.size()) > end) {
        RaiseUserDataRange(StorageName(), offset, data.size());
    }
    try {
        FHeaderPage->CopyFrom(data, static_cast<std::int32_t>(start));
    } catch (const Exception&) {
        FTreeError = kBTreeWriteFailed;
        throw;
    }
}

// ---------------------------------------------------------------------------------------------
// Tree pages

const std::byte* TTdbBTree::LoadSite(TTdbStoragePageSite& site, std::int32_t pageNo) {
    try {
        if (site.PageNo() != pageNo) {
            site.LoadPage(pageNo);
        }
        return site.GetAddress(0);
    } catch (const Exception&) {
        site.UnloadPage();
        Fault(kBTreeDamaged);
    }
}

bool TTdbBTree::OnPath(std::int32_t pageNo, std::int32_t levels) const noexcept {
    for (std::int32_t level = 1; level <= levels; ++level) {
        if (FPath[static_cast<std::size_t>(level)].site->PageNo() == pageNo) {
            return true;
        }
    }
    return false;
}

const std::byte* TTdbBTree::LoadLevel(std::int32_t level, std::int32_t pageNo) {
    // A page met twice on the way down means a cycle; following it would never end.
    if (OnPath(pageNo, level - 1)) {
        Fault(kBTreeDamaged);
    }
    return LoadSite(*FPath[static_cast<std::size_t>(level)].site, pageNo);
}

const std::byte* TTdbBTree::Address(TTdbStoragePageSite& site) {
    try {
        return site.GetAddress(0);
    } catch (const Exception&) {
        Fault(kBTreeDamaged);
    }
}

std::byte* TTdbBTree::Writable(TTdbStoragePageSite& site) {
    try {
        site.Modify();
        return site.GetAddress(0);
    } catch (const Exception&) {
        Fault(kBTreeWriteFailed);
    }
}

std::int32_t TTdbBTree::Count(const std::byte* page) {
    const std::int32_t count = LoadLE<std::uint16_t>(page + FItemCountOffset);
    if (count > FPageCapacity) {
        Fault(kBTreeOverfull);
    }
    return count;
}

std::int32_t TTdbBTree::CheckedChild(const std::byte* page, std::int32_t i, std::int32_t pages) {
    const std::int32_t child = Child(page, i);
    if (child < 1 || child > pages) {
        Fault(kBTreeDamaged);
    }
    return child;
}

void TTdbBTree::LoadItem(const std::byte* page, std::int32_t i,
                         std::vector<std::byte>& item) const {
    StoreLE<std::int32_t>(item.data(), ReadPtr(Item(page, i)));
    std::memcpy(item.data() + 4, Item(page, i) + FPtrSize, static_cast<std::size_t>(FKeySize));
}

void TTdbBTree::StoreItem(std::byte* page, std::int32_t i,
                          const std::vector<std::byte>& item) const {
    WritePtr(Item(page, i), LoadLE<std::int32_t>(item.data()));
    std::memcpy(Item(page, i) + FPtrSize, item.data() + 4, static_cast<std::size_t>(FKeySize));
}

void TTdbBTree::MoveItems(std::byte* to, std::int32_t toIndex, const std::byte* from,
                          std::int32_t fromIndex, std::int32_t count) const noexcept {
    if (count > 0) {
        std::memmove(Item(to, toIndex), Item(from, fromIndex),
                     static_cast<std::size_t>(count) * static_cast<std::size_t>(FItemSize));
    }
}

void TTdbBTree::CopyEntryOut(const std::byte* page, std::int32_t i,
                             std::span<std::byte> out) const {
    std::memcpy(out.data(), Item(page, i) + FPtrSize, static_cast<std::size_t>(FKeySize));
}

// ---------------------------------------------------------------------------------------------
// Searches

void TTdbBTree::CheckItemSize(std::span<const std::byte> item) const {
    if (item.size() < static_cast<std::size_t>(FKeySize)) {
        RaiseEngineError(49, {u"Item: " + NumberText(static_cast<std::int64_t>(item.size())) +
                              u" bytes, the entries of " + QuotedText(StorageName()) + u" have " +
                              NumberText(FKeySize)});
    }
}

void TTdbBTree::CheckBufferSize(std::span<std::byte> buffer) const {
    CheckItemSize(buffer);
}

std::int32_t TTdbBTree::SearchPage(const std::byte* page, std::int32_t count,
                                   std::span<const std::byte> key, bool& exact) {
    exact = false;
    if (count == 0) {
        return 0;
    }
    std::int32_t lo = 1;
    std::int32_t hi = count;
    bool hiNotBefore = false;  // item hi is known not to sort before the key
    int halvings = 0;
    while (lo < hi) {
        if (++halvings > kMaxHalvings) {
            Fault(kBTreeOverfull);
        }
        const std::int32_t mid = (lo + hi) / 2;
        if (IsLess(Entry(page, mid), key)) {
            lo = mid + 1;
        } else {
            hi = mid;
            hiNotBefore = true;
        }
    }
    if (IsLess(key, Entry(page, hi))) {
        return hi - 1;
    }
    exact = hiNotBefore || !IsLess(Entry(page, hi), key);
    return hi;
}

TTdbBTree::SearchResult TTdbBTree::Descend(std::span<const std::byte> key, const Shape& shape) {
    std::int32_t pageNo = 1;
    for (std::int32_t level = 1;; ++level) {
        const std::byte* page = LoadLevel(level, pageNo);
        const std::int32_t count = Count(page);
        bool exact = false;
        const std::int32_t answer = SearchPage(page, count, key, exact);
        FPath[static_cast<std::size_t>(level)].pos = answer;
        if (exact || level == shape.height) {
            return {level, answer, exact};
        }
        pageNo = CheckedChild(page, answer, shape.pages);
    }
}

const std::byte* TTdbBTree::DescendEdge(std::int32_t level, std::int32_t pageNo, const Shape& shape,
                                        bool last) {
    for (;; ++level) {
        const std::byte* page = LoadLevel(level, pageNo);
        const std::int32_t count = Count(page);
        const std::int32_t i = last ? count : 0;
        FPath[static_cast<std::size_t>(level)].pos = i;
        if (level == shape.height) {
            // Only the root may be an empty leaf.
            if (count == 0 && level > 1) {
                Fault(kBTreeDamaged);
            }
            return page;
        }
        pageNo = CheckedChild(page, i, shape.pages);
    }
}

int TTdbBTree::Found(std::int32_t level, std::int32_t pos, const std::byte* page,
                     std::span<std::byte> out) {
    CopyEntryOut(page, pos, out);
    FPath[static_cast<std::size_t>(level)].pos = pos;
    FLastLevel = level;
    return kTreeFound;
}

bool TTdbBTree::Resume(std::span<const std::byte> key, const Shape& shape, SearchResult& at) {
    // Walking a cursor forward passes back the entry it was just given. Checking that the pinned
    // path is still one from the root to that entry costs no comparisons, and another tree over
    // the same file may have changed any page since: a path that no longer holds is dropped.
    const std::int32_t last = FLastLevel;
    if (last < 1 || last > shape.height) {
        return false;
    }
    std::int32_t expected = 1;
    for (std::int32_t level = 1; level <= last; ++level) {
        const PathSlot& slot = FPath[static_cast<std::size_t>(level)];
        if (slot.site->PageNo() != expected) {
            return false;
        }
        const std::byte* page = Address(*slot.site);
        const std::int32_t count = Count(page);
        if (level == last) {
            if (slot.pos < 1 || slot.pos > count ||
                std::memcmp(Entry(page, slot.pos).data(), key.data(),
                            static_cast<std::size_t>(FKeySize)) != 0) {
                return false;
            }
            at = {level, slot.pos, true};
            return true;
        }
        if (slot.pos > count) {
            return false;
        }
        expected = Child(page, slot.pos);
        if (expected < 1 || expected > shape.pages) {
            return false;
        }
    }
    return false;
}

int TTdbBTree::ClimbNext(std::int32_t level, std::span<std::byte> out) {
    for (std::int32_t l = level - 1; l >= 1; --l) {
        const PathSlot& slot = FPath[static_cast<std::size_t>(l)];
        const std::byte* page = Address(*slot.site);
        if (slot.pos + 1 <= Count(page)) {
            return Found(l, slot.pos + 1, page, out);
        }
    }
    return kTreeNone;
}

int TTdbBTree::ClimbPrev(std::int32_t level, std::span<std::byte> out) {
    for (std::int32_t l = level - 1; l >= 1; --l) {
        const PathSlot& slot = FPath[static_cast<std::size_t>(l)];
        const std::byte* page = Address(*slot.site);
        if (slot.pos >= 1 && slot.pos <= Count(page)) {
            return Found(l, slot.pos, page, out);
        }
    }
    return kTreeNone;
}

int TTdbBTree::DoFind(std::span<const std::byte> key, std::span<std::byte> out) {
    FLastLevel = 0;
    const Shape shape = ReadShape();
    if (shape.height == 0) {
        return kTreeNone;
    }
    const SearchResult at = Descend(key, shape);
    const std::byte* page = Address(*FPath[static_cast<std::size_t>(at.level)].site);
    if (at.exact) {
        return Found(at.level, at.pos, page, out);
    }
    if (at.pos < Count(page)) {
        return Found(at.level, at.pos + 1, page, out);
    }
    // Past the leaf's last item (or in the empty root): the next one up, if any.
    return ClimbNext(at.level, out);
}

int TTdbBTree::Find(std::span<const std::byte> item, std::span<std::byte> foundItem) {
    RequireOpen();
    CheckItemSize(item);
    CheckBufferSize(foundItem);
    FTreeError = kBTreeOk;
    FUnique = true;
    try {
        return DoFind(item.first(static_cast<std::size_t>(FKeySize)), foundItem);
    } catch (const BTreeFault&) {
        UnloadPath();
        RaiseEngineError(91, {StorageName()});
    }
}

// The first or the last entry: down the leftmost or the rightmost edge. Failures of both are
// reported as "FindFirst".
int TTdbBTree::FindEdge(std::span<std::byte> item, bool last) {
    RequireOpen();
    CheckBufferSize(item);
    FTreeError = kBTreeOk;
    FLastLevel = 0;
    try {
        const Shape shape = ReadShape();
        if (shape.height == 0) {
            return kTreeNone;
        }
        const std::byte* leaf = DescendEdge(1, 1, shape, last);
        const std::int32_t count = Count(leaf);
        if (count == 0) {
            return kTreeNone;
        }
        return Found(shape.height, last ? count : 1, leaf, item);
    } catch (const BTreeFault&) {
        UnloadPath();
        throw Exception(u"FindFirst");
    }
}

int TTdbBTree::FindFirst(std::span<std::byte> item) {
    return FindEdge(item, false);
}

int TTdbBTree::FindLast(std::span<std::byte> item) {
    return FindEdge(item, true);
}

// Where the given entry of a step stands: from the pinned path when it still leads there, else
// by a descent. False when the entry is not in the tree.
bool TTdbBTree::LocateGiven(std::span<const std::byte> item, const Shape& shape,
                            SearchResult& at) {
    const std::span<const std::byte> key = item.first(static_cast<std::size_t>(FKeySize));
    if (!Resume(key, shape, at)) {
        FLastLevel = 0;
        at = Descend(key, shape);
        if (!at.exact) {
            return false;
        }
    }
    FLastLevel = 0;
    return true;
}

int TTdbBTree::FindNext(std::span<const std::byte> item, std::span<std::byte> succItem) {
    RequireOpen();
    CheckItemSize(item);
    CheckBufferSize(succItem);
    FTreeError = kBTreeOk;
    FUnique = true;
    try {
        const Shape shape = ReadShape();
        SearchResult at{};
        if (shape.height == 0 || !LocateGiven(item, shape, at)) {
            return kTreeMissing;
        }
        const std::byte* page = Address(*FPath[static_cast<std::size_t>(at.level)].site);
        if (at.level < shape.height) {
            const std::int32_t child = CheckedChild(page, at.pos, shape.pages);
            const std::byte* leaf = DescendEdge(at.level + 1, child, shape, false);
            return Found(shape.height, 1, leaf, succItem);
        }
        if (at.pos < Count(page)) {
            return Found(at.level, at.pos + 1, page, succItem);
        }
        return ClimbNext(at.level, succItem);
    } catch (const BTreeFault&) {
        UnloadPath();
        throw Exception(u"FindNext");
    }
}

int TTdbBTree::FindPrev(std::span<const std::byte> item, std::span<std::byte> prevItem) {
    RequireOpen();
    CheckItemSize(item);
    CheckBufferSize(prevItem);
    FTreeError = kBTreeOk;
    FUnique = true;
    try {
        const Shape shape = ReadShape();
        SearchResult at{};
        if (shape.height == 0 || !LocateGiven(item, shape, at)) {
            return kTreeMissing;
        }
        const std::byte* page = Address(*FPath[static_cast<std::size_t>(at.level)].site);
        if (at.level < shape.height) {
            // Child pos - 1 is the subtree left of the entry.
            FPath[static_cast<std::size_t>(at.level)].pos = at.pos - 1;
            const std::int32_t child = CheckedChild(page, at.pos - 1, shape.pages);
            const std::byte* leaf = DescendEdge(at.level + 1, child, shape, true);
            return Found(shape.height, Count(leaf), leaf, prevItem);
        }
        if (at.pos >= 2) {
            return Found(at.level, at.pos - 1, page, prevItem);
        }
        return ClimbPrev(at.level, prevItem);
    } catch (const BTreeFault&) {
        UnloadPath();
        throw Exception(u"FindPrev");
    }
}

// ---------------------------------------------------------------------------------------------
// Sequence numbers

std::int64_t TTdbBTree::CountSubtree(std::int32_t pageNo, std::int32_t level, const Shape& shape,
                                     std::int32_t& budget) {
    // Depth first with a stack of (page, level); every page of a sound tree is counted once, so
    // running out of the page budget means a page is reached twice.
    FPageStack.clear();
    FPageStack.push_back(pageNo);
    FPageStack.push_back(level);
    std::int64_t total = 0;
    TTdbStoragePageSite& site = *FPath[0].site;
    while (!FPageStack.empty()) {
        const std::int32_t l = FPageStack.back();
        FPageStack.pop_back();
        const std::int32_t p = FPageStack.back();
        FPageStack.pop_back();
        if (--budget < 0) {
            Fault(kBTreeDamaged);
        }
        const std::byte* page = LoadSite(site, p);
        const std::int32_t count = Count(page);
        total += count;
        if (l < shape.height) {
            for (std::int32_t i = 0; i <= count; ++i) {
                FPageStack.push_back(CheckedChild(page, i, shape.pages));
                FPageStack.push_back(l + 1);
            }
        }
    }
    return total;
}

std::int32_t TTdbBTree::DoSequenceNo(std::span<const std::byte> key) {
    FLastLevel = 0;
    const Shape shape = ReadShape();
    if (shape.height == 0) {
        return 0;
    }
    constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
    if (shape.pages > kExactSequenceLimit) {
        // Counting would touch every page before the key: estimate from the root instead, with
        // pages filled one and a half times the order on average.
        const std::byte* root = LoadLevel(1, 1);
        const std::int32_t count = Count(root);
        if (count == 0) {
            Fault(kBTreeDamaged);
        }
        bool exact = false;
        const std::int32_t answer = SearchPage(root, count, key, exact);
        const double estimate =
            std::round(1.5 * shape.pages * FOrder * answer / static_cast<double>(count)) + 1;
        return static_cast<std::int32_t>(std::min<double>(estimate, static_cast<double>(kMax)));
    }
    std::int64_t before = 0;
    std::int32_t budget = shape.pages;
    std::int32_t pageNo = 1;
    for (std::int32_t level = 1;; ++level) {
        if (--budget < 0) {
            Fault(kBTreeDamaged);
        }
        const std::byte* page = LoadLevel(level, pageNo);
        const std::int32_t count = Count(page);
        bool exact = false;
        const std::int32_t answer = SearchPage(page, count, key, exact);
        before += exact ? answer - 1 : answer;
        if (level == shape.height) {
            break;
        }
        // The subtrees left of the way down hold entries before the key only.
        for (std::int32_t i = 0; i < answer; ++i) {
            before += CountSubtree(CheckedChild(page, i, shape.pages), level + 1, shape, budget);
        }
        if (exact) {
            break;
        }
        pageNo = CheckedChild(page, answer, shape.pages);
    }
    return static_cast<std::int32_t>(std::min(before + 1, kMax));
}

std::int32_t TTdbBTree::CalcItemSequenceNo(std::span<const std::byte> item) {
    RequireOpen();
    CheckItemSize(item);
    FTreeError = kBTreeOk;
    FUnique = true;
    try {
        return DoSequenceNo(item.first(static_cast<std::size_t>(FKeySize)));
    } catch (const BTreeFault&) {
        UnloadPath();
        RaiseEngineError(91, {StorageName()});
    }
}

// ---------------------------------------------------------------------------------------------
// Check

void TTdbBTree::Check(std::int32_t& itemCount, std::int32_t& wrongSortCount) {
    RequireOpen();
    FTreeError = kBTreeOk;
    FUnique = true;
    itemCount = 0;
    wrongSortCount = 0;
    FLastLevel = 0;
    try {
        const Shape shape = ReadShape();
        std::vector<bool> seen(static_cast<std::size_t>(shape.pages) + 1);
        bool havePrevious = false;
        const std::span<const std::byte> previous(w.data() + 4, static_cast<std::size_t>(FKeySize));
        const auto visit = [&](const std::byte* page, std::int32_t i) {
            const std::span<const std::byte> entry = Entry(page, i);
            if (havePrevious && !IsLess(previous, entry)) {
                ++wrongSortCount;
            }
            ++itemCount;
            std::memcpy(w.data() + 4, entry.data(), entry.size());
            havePrevious = true;
        };
        // Each level's slot holds its page; pos is the next child to go down into.
        const auto enter = [&](std::int32_t level, std::int32_t pageNo) {
            if (seen[static_cast<std::size_t>(pageNo)]) {
                Fault(kBTreeDamaged);
            }
            seen[static_cast<std::size_t>(pageNo)] = true;
            const std::byte* page = LoadLevel(level, pageNo);
            const std::int32_t count = Count(page);
            const bool leaf = level == shape.height;
            if ((leaf && P0(page) != 0) || (!leaf && count == 0) ||
                (leaf && count == 0 && level > 1)) {
                Fault(kBTreeDamaged);
            }
            FPath[static_cast<std::size_t>(level)].pos = 0;
        };
        if (shape.height > 0) {
            enter(1, 1);
            std::int32_t level = 1;
            while (level >= 1) {
                PathSlot& slot = FPath[static_cast<std::size_t>(level)];
                const std::byte* page = Address(*slot.site);
                const std::int32_t count = Count(page);
                if (level == shape.height) {
                    for (std::int32_t i = 1; i <= count; ++i) {
                        visit(page, i);
                    }
                    --level;
                    continue;
                }
                const std::int32_t next = slot.pos;
                if (next > count) {
                    --level;
                    continue;
                }
                if (next >= 1) {
                    visit(page, next);
                }
                slot.pos = next + 1;
                enter(level + 1, CheckedChild(page, next, shape.pages));
                ++level;
            }
        }
        // The free pages: in range, empty, not in the tree and each listed once.
        std::int32_t free = ReadFreeHead();
        while (free != 0) {
            if (free < 2 || free > shape.pages || seen[static_cast<std::size_t>(free)]) {
                Fault(kBTreeDamaged);
            }
            seen[static_cast<std::size_t>(free)] = true;
            const std::byte* page = LoadSite(*FPath[0].site, free);
            if (LoadLE<std::uint16_t>(page + FItemCountOffset) != 0 || P0(page) > 0) {
                Fault(kBTreeDamaged);
            }
            free = -P0(page);
        }
    } catch (const BTreeFault&) {
        UnloadPath();
        RaiseCorrupt();
    }
}

}  // namespace tdb
