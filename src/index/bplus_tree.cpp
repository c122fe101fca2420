// The B+ tree's life cycle, its header on page 0, page access and the searches. Insertion and
// deletion are in bplus_tree_update.cpp.
#include "index/bplus_tree.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

#include "base/byte_image.h"
#include "base/engine_error.h"
#include "base/engine_errors.h"
#include "platform/text.h"
#include "storage/page_manager.h"

namespace tdb {

namespace {

// Header fields, relative to the tree's offset on page 0.
constexpr std::int32_t kPageCountField = 0;
constexpr std::int32_t kHeightField = 4;
constexpr std::int32_t kRootField = 6;
constexpr std::int32_t kFreeHeadField = 10;
constexpr std::int32_t kPageSizeField = 14;
constexpr std::int32_t kItemCountField = 18;

constexpr std::size_t kInitialLevels = 10;

// What a level's page was last checked as.
constexpr std::int8_t kUnchecked = -1;


}  // namespace

TTdbBPlusTree::TTdbBPlusTree(TTdbClientStorage& storage, std::int32_t offset, TTdbTreeLess less)
    : FStorage(storage), FOffset(offset), Less(std::move(less)) {}

TTdbBPlusTree::TTdbBPlusTree(const TTdbBPlusTree& source, TTdbClientStorage& storage)
    : FStorage(storage),
      FOffset(source.FOffset),
      Less(source.Less),
      FRejectEqual(source.FRejectEqual) {}

TTdbBPlusTree::~TTdbBPlusTree() {
    Close();
}

std::unique_ptr<TTdbTreeBase> TTdbBPlusTree::Clone(TTdbClientStorage& storage) const {
    return std::make_unique<TTdbBPlusTree>(*this, storage);
}

std::int32_t TTdbBPlusTree::MaxItemSizeFor(std::int32_t pageSize) noexcept {
    // The inner page is the tighter one: a separator costs its key, a child and a slot.
    const std::int32_t inner =
        (pageSize - TTdbBPlusPage::kInnerItemOffset - TTdbBPlusPage::kSlotSize) / 3;
    return std::max(inner - TTdbBPlusPage::kChildSize - TTdbBPlusPage::kSlotSize, 0);
}

std::int32_t TTdbBPlusTree::CalcPageSize(std::int16_t, std::int32_t, std::int64_t) const {
    return 4096;
}

std::u16string TTdbBPlusTree::StorageName() const {
    return FStorage.Name();
}

// ---------------------------------------------------------------------------------------------
// Life cycle

bool TTdbBPlusTree::IsOpen() const {
    return FHeaderPageSite != nullptr;
}

void TTdbBPlusTree::RequireOpen() const {
    if (!IsOpen()) {
        throw Exception(u"The B+ tree of " + QuotedText(StorageName()) + u" is not open");
    }
}

void TTdbBPlusTree::Close() {
    FPages.clear();
    FWorkPageSite.reset();
    FLinkPageSite.reset();
    FHeaderPageSite.reset();
    FResumable = false;
    for (std::vector<std::byte>& separator : FSeparators) {
        std::vector<std::byte>().swap(separator);
    }
    std::vector<std::byte>().swap(FScratch);
    std::vector<std::byte>().swap(FLifted);
}

void TTdbBPlusTree::New(std::int32_t pageSize, const TTdbSortDef* compareParam) {
    Close();
    if (!Less) {
        throw Exception(u"The B+ tree of " + QuotedText(StorageName()) + u" has no comparison");
    }
    pageSize = std::min(pageSize, kMaxPageSize);
    const auto refuse = [this](const std::u16string& why) {
        RaiseEngineError(kTdbErrInvalidIndexSpec, {StorageName() + u": " + why});
    };
    if (FOffset < 0 || FOffset + kHeaderSize > kMinPageSize) {
        refuse(u"header offset " + NumberText(FOffset));
    }
    if (pageSize < kMinPageSize) {
        refuse(u"page size " + NumberText(pageSize));
    }
    try {
        FStorage.SetPageSize(pageSize);
    } catch (const Exception& e) {
        refuse(u"page size " + NumberText(pageSize) + u" (" + e.Message() + u")");
    }
    {
        const std::unique_ptr<TTdbStoragePageSite> site = FStorage.CreatePageSite();
        site->InitPage(0);
        site->Modify();
        std::byte* h = site->GetAddress(0) + FOffset;
        StoreLE<std::int32_t>(h + kPageCountField, 1);
        StoreLE<std::int16_t>(h + kHeightField, 0);
        StoreLE<std::int32_t>(h + kRootField, 0);
        StoreLE<std::int32_t>(h + kFreeHeadField, 0);
        StoreLE<std::int32_t>(h + kPageSizeField, pageSize);
        StoreLE<std::int32_t>(h + kItemCountField, 0);
    }
    FStorage.Flush();
    Open(compareParam);
}

void TTdbBPlusTree::Open(const TTdbSortDef* compareParam) {
    Close();
    if (!Less) {
        throw Exception(u"The B+ tree of " + QuotedText(StorageName()) + u" has no comparison");
    }
    FIsLessParam = compareParam;
    const auto corrupt = [this]() {
        Close();
        RaiseEngineError(kTdbErrIndexCorrupt, {StorageName()});
    };
    if (FOffset < 0 || FOffset + kHeaderSize > kMinPageSize) {
        corrupt();
    }
    try {
        FHeaderPageSite = FStorage.CreatePageSite();
        FHeaderPageSite->LoadPage(0);
        // Through a bounds-checked copy: the storage's page size is still provisional.
        std::array<std::byte, kHeaderSize> header{};
        FHeaderPageSite->CopyTo(FOffset, header);
        const std::int32_t pageSize = LoadLE<std::int32_t>(header.data() + kPageSizeField);
        if (pageSize < kMinPageSize || pageSize > kMaxPageSize) {
            corrupt();
        }
        if (pageSize != FStorage.GetPageSize()) {
            FStorage.SetPageSize(pageSize);  // releases every site of the storage
        }
        FPageSize = pageSize;
        FHeaderPageSite->LoadPage(0);
        FWorkPageSite = FStorage.CreatePageSite();
        FLinkPageSite = FStorage.CreatePageSite();
        FPages.reserve(kInitialLevels);
        const Header shape = ReadHeader();
        const std::int32_t freeHead = GetFirstFreePage();
        if (shape.pageCount > FStorage.GetPageCount() || freeHead < 0 ||
            freeHead >= shape.pageCount) {
            corrupt();
        }
    } catch (const Fault&) {
        corrupt();
    } catch (const ETdbEngine&) {
        throw;
    } catch (const Exception&) {
        corrupt();
    }
    for (std::vector<std::byte>& separator : FSeparators) {
        separator.reserve(static_cast<std::size_t>(FPageSize));
    }
    FLifted.reserve(static_cast<std::size_t>(FPageSize));
    FScratch.assign(static_cast<std::size_t>(FPageSize), std::byte{0});
}

void TTdbBPlusTree::UnloadLevels() noexcept {
    FResumable = false;
    for (Level& level : FPages) {
        level.site->UnloadPage();
        level.kind = kUnchecked;
    }
    if (FWorkPageSite) {
        FWorkPageSite->UnloadPage();
    }
    if (FLinkPageSite) {
        FLinkPageSite->UnloadPage();
    }
}

void TTdbBPlusTree::Flush() {
    if (!IsOpen() || FStorage.GetReadOnly()) {
        return;
    }
    PrepareFlush();
    FStorage.Flush();
}

void TTdbBPlusTree::PrepareFlush() {
    if (!IsOpen() || FStorage.GetReadOnly()) {
        return;
    }
    const std::int64_t pages = GetPageCount();
    if (pages < 1) {
        return;  // nothing to cut by a header that makes no sense
    }
    // The storage counts whole tiles: the page count a cut would leave.
    const std::int64_t tile = FStorage.FileSystem().GetPageSize();
    const std::int64_t tiles = (pages * FPageSize + tile - 1) / tile;
    const std::int64_t expected = (tiles * tile + FPageSize - 1) / FPageSize;
    if (expected != FStorage.GetPageCount()) {
        UnloadLevels();
        FStorage.SetPageCount(static_cast<std::int32_t>(pages));
    }
}

void TTdbBPlusTree::Undo() {
    if (!IsOpen()) {
        return;
    }
    UnloadLevels();
    FStorage.Undo();
}

void TTdbBPlusTree::Update(std::int64_t changeCount) {
    if (!IsOpen()) {
        return;
    }
    UnloadLevels();
    FPages.clear();
    FHeaderPageSite->UnloadPage();
    FStorage.Invalidate(changeCount);
    FHeaderPageSite->LoadPage(0);
}

void TTdbBPlusTree::UpdateDir() {
    FStorage.UpdateDir();
}

void TTdbBPlusTree::Preload() {
    RequireOpen();
    try {
        const Header header = ReadHeader();
        for (std::int32_t pageNo = 1; pageNo < header.pageCount; ++pageNo) {
            // A header that counts more pages than the file has (one cut short under an open
            // tree) is damage, as it is to a search.
            try {
                FWorkPageSite->LoadPage(pageNo);
            } catch (const Exception&) {
                Damaged();
            }
        }
        FWorkPageSite->UnloadPage();
    } catch (const Fault&) {
        UnloadLevels();
        RaiseEngineError(kTdbErrIndexRead, {StorageName()});
    }
}

// ---------------------------------------------------------------------------------------------
// Page 0

std::byte* TTdbBPlusTree::HeaderBytes() {
    try {
        return FHeaderPageSite->GetAddress(0) + FOffset;
    } catch (const Exception&) {
        Damaged();
    }
}

std::byte* TTdbBPlusTree::WritableHeader() {
    FHeaderPageSite->Modify();
    return HeaderBytes();
}

TTdbBPlusTree::Header TTdbBPlusTree::ReadHeader() {
    const std::byte* h = HeaderBytes();
    const Header header{LoadLE<std::int32_t>(h + kPageCountField),
                        LoadLE<std::int16_t>(h + kHeightField), LoadLE<std::int32_t>(h + kRootField)};
    if (header.pageCount < 1 || header.height < 0 || header.height > kMaxHeight ||
        header.height > header.pageCount - 1 ||
        LoadLE<std::int32_t>(h + kPageSizeField) != FPageSize) {
        Damaged();
    }
    if (header.height > 0 && (header.root < 1 || header.root >= header.pageCount)) {
        Damaged();
    }
    return header;
}

void TTdbBPlusTree::WriteHeaderField(std::int32_t field, std::int32_t value) {
    StoreLE<std::int32_t>(WritableHeader() + field, value);
}

void TTdbBPlusTree::WriteHeight(std::int32_t height) {
    StoreLE<std::int16_t>(WritableHeader() + kHeightField, static_cast<std::int16_t>(height));
}

void TTdbBPlusTree::WriteRoot(std::int32_t root) {
    WriteHeaderField(kRootField, root);
}

void TTdbBPlusTree::AddToItemCount(std::int32_t delta) {
    std::byte* h = WritableHeader();
    StoreLE<std::int32_t>(h + kItemCountField, LoadLE<std::int32_t>(h + kItemCountField) + delta);
}

std::int32_t TTdbBPlusTree::ReadField(std::int32_t field) {
    if (!IsOpen()) {
        return 0;
    }
    return LoadLE<std::int32_t>(FHeaderPageSite->GetAddress(0) + FOffset + field);
}

std::int32_t TTdbBPlusTree::GetHeight() {
    if (!IsOpen()) {
        return 0;
    }
    return LoadLE<std::int16_t>(FHeaderPageSite->GetAddress(0) + FOffset + kHeightField);
}

std::int32_t TTdbBPlusTree::GetItemCount() {
    return ReadField(kItemCountField);
}

std::int32_t TTdbBPlusTree::GetPageCount() {
    return ReadField(kPageCountField);
}

std::int32_t TTdbBPlusTree::GetRootPage() {
    return ReadField(kRootField);
}

std::int32_t TTdbBPlusTree::GetFirstFreePage() {
    return ReadField(kFreeHeadField);
}

void TTdbBPlusTree::SetPageCountField(std::int32_t pageCount) {
    WriteHeaderField(kPageCountField, pageCount);
}

void TTdbBPlusTree::SetFreeHead(std::int32_t pageNo) {
    WriteHeaderField(kFreeHeadField, pageNo);
}

void TTdbBPlusTree::ResetHeader() {
    std::byte* h = WritableHeader();
    StoreLE<std::int32_t>(h + kPageCountField, 1);
    StoreLE<std::int16_t>(h + kHeightField, 0);
    StoreLE<std::int32_t>(h + kRootField, 0);
    StoreLE<std::int32_t>(h + kFreeHeadField, 0);
    StoreLE<std::int32_t>(h + kItemCountField, 0);
}

// ---------------------------------------------------------------------------------------------
// Pages

TTdbBPlusPage TTdbBPlusTree::View(TTdbStoragePageSite& site, bool leaf) {
    try {
        return {site.GetAddress(0), FPageSize, leaf};
    } catch (const Exception&) {
        Damaged();
    }
}

TTdbBPlusPage TTdbBPlusTree::WritableView(TTdbStoragePageSite& site, bool leaf) {
    site.Modify();
    return View(site, leaf);
}

TTdbBPlusPage TTdbBPlusTree::LoadInto(TTdbStoragePageSite& site, std::int32_t pageNo, bool leaf,
                                      const Header& header) {
    if (pageNo < 1 || pageNo >= header.pageCount) {
        Damaged();
    }
    try {
        if (site.PageNo() != pageNo) {
            site.LoadPage(pageNo);
        }
    } catch (const Exception&) {
        site.UnloadPage();
        Damaged();
    }
    const TTdbBPlusPage page = View(site, leaf);
    if (!page.IsSound(MaxItemSize())) {
        site.UnloadPage();
        Damaged();
    }
    return page;
}

TTdbBPlusTree::Level& TTdbBPlusTree::LevelAt(std::int32_t level) {
    while (FPages.size() <= static_cast<std::size_t>(level)) {
        FPages.push_back(Level{FStorage.CreatePageSite(), 0, kUnchecked});
    }
    return FPages[static_cast<std::size_t>(level)];
}

TTdbBPlusTree::Header TTdbBPlusTree::BeginOperation() {
    const Header header = ReadHeader();
    if (FPages.size() > static_cast<std::size_t>(header.height)) {
        FPages.erase(FPages.begin() + header.height, FPages.end());
        FResumable = false;
    }
    return header;
}

TTdbBPlusPage TTdbBPlusTree::LevelPage(std::int32_t level, const Header& header) {
    Level& slot = FPages[static_cast<std::size_t>(level)];
    const bool leaf = level == header.height - 1;
    const TTdbBPlusPage page = View(*slot.site, leaf);
    // A page is checked once for the kind it is read as; the writes of this tree keep it sound.
    if (slot.kind != static_cast<std::int8_t>(leaf)) {
        if (!page.IsSound(MaxItemSize())) {
            slot.site->UnloadPage();
            Damaged();
        }
        slot.kind = static_cast<std::int8_t>(leaf);
    }
    return page;
}

TTdbBPlusPage TTdbBPlusTree::LoadLevel(std::int32_t level, std::int32_t pageNo,
                                       const Header& header) {
    if (pageNo < 1 || pageNo >= header.pageCount) {
        Damaged();
    }
    // A page met twice on the way down means a cycle.
    for (std::int32_t above = 0; above < level; ++above) {
        if (FPages[static_cast<std::size_t>(above)].site->PageNo() == pageNo) {
            Damaged();
        }
    }
    Level& slot = LevelAt(level);
    if (slot.site->PageNo() != pageNo) {
        slot.kind = kUnchecked;
        try {
            slot.site->LoadPage(pageNo);
        } catch (const Exception&) {
            slot.site->UnloadPage();
            Damaged();
        }
    }
    return LevelPage(level, header);
}

void TTdbBPlusTree::MarkChecked(std::int32_t level, bool leaf) noexcept {
    FPages[static_cast<std::size_t>(level)].kind = static_cast<std::int8_t>(leaf);
}

std::int32_t TTdbBPlusTree::CheckedChild(const TTdbBPlusPage& page, std::int32_t i,
                                         const Header& header) {
    const std::int32_t child = page.Child(i);
    if (child < 1 || child >= header.pageCount) {
        Damaged();
    }
    return child;
}

// ---------------------------------------------------------------------------------------------
// Searching

std::int32_t TTdbBPlusTree::Bound(const TTdbBPlusPage& page, std::span<const std::byte> key,
                                  bool lower) {
    std::int32_t lo = -1;
    std::int32_t hi = page.Count();
    while (lo + 1 < hi) {
        const std::int32_t mid = (lo + hi) / 2;
        const bool right = lower ? IsLess(page.Key(mid), key) : !IsLess(key, page.Key(mid));
        if (right) {
            lo = mid;
        } else {
            hi = mid;
        }
    }
    return hi;
}

std::int32_t TTdbBPlusTree::Descend(std::span<const std::byte> key, bool lower,
                                    const Header& header) {
    std::int32_t pageNo = header.root;
    for (std::int32_t level = 0;; ++level) {
        const TTdbBPlusPage page = LoadLevel(level, pageNo, header);
        const std::int32_t bound = Bound(page, key, lower);
        FPages[static_cast<std::size_t>(level)].pos = bound;
        if (level == header.height - 1) {
            return bound;
        }
        pageNo = CheckedChild(page, bound, header);
    }
}

void TTdbBPlusTree::DescendEdge(std::int32_t level, bool first, const Header& header) {
    for (;; ++level) {
        const TTdbBPlusPage page = LevelPage(level, header);
        const std::int32_t n = page.Count();
        if (level == header.height - 1) {
            FPages[static_cast<std::size_t>(level)].pos = first ? 0 : n - 1;
            return;
        }
        FPages[static_cast<std::size_t>(level)].pos = first ? 0 : n;
        LoadLevel(level + 1, CheckedChild(page, first ? 0 : n, header), header);
    }
}

bool TTdbBPlusTree::StepLeaf(bool forward, bool skipEmpty, const Header& header) {
    const std::int32_t leafLevel = header.height - 1;
    for (std::int32_t steps = 0;; ++steps) {
        // Empty leaves (ones their parent could not merge away) are passed over; a walk longer
        // than the file only goes round in a damaged tree.
        if (steps > header.pageCount) {
            Damaged();
        }
        std::int32_t level = leafLevel - 1;
        for (; level >= 0; --level) {
            const std::int32_t pos = FPages[static_cast<std::size_t>(level)].pos;
            if (forward ? pos < LevelPage(level, header).Count() : pos > 0) {
                break;
            }
        }
        if (level < 0) {
            return false;
        }
        std::int32_t& pos = FPages[static_cast<std::size_t>(level)].pos;
        pos += forward ? 1 : -1;
        LoadLevel(level + 1, CheckedChild(LevelPage(level, header), pos, header), header);
        DescendEdge(level + 1, forward, header);
        if (!skipEmpty || LevelPage(leafLevel, header).Count() > 0) {
            return true;
        }
    }
}

bool TTdbBPlusTree::PredecessorEquals(std::span<const std::byte> key, const Header& header) {
    // Everything on earlier leaves sorts at or before the nearest separator on the left of the
    // path; only when that separator equals Key can an equal item lie there (equal items
    // that a split parted).
    const std::int32_t leafLevel = header.height - 1;
    std::int32_t level = leafLevel - 1;
    while (level >= 0 && FPages[static_cast<std::size_t>(level)].pos == 0) {
        --level;
    }
    if (level < 0) {
        return false;
    }
    const TTdbBPlusPage parent = LevelPage(level, header);
    if (IsLess(parent.Key(FPages[static_cast<std::size_t>(level)].pos - 1), key)) {
        return false;
    }
    if (StepLeaf(false, true, header)) {
        const TTdbBPlusPage leaf = LevelPage(leafLevel, header);
        const std::int32_t last = leaf.Count() - 1;
        if (!IsLess(leaf.Item(last), key)) {
            FPages[static_cast<std::size_t>(leafLevel)].pos = last;
            return true;
        }
    }
    Descend(key, false, header);
    return false;
}

bool TTdbBPlusTree::LocateEqual(std::span<const std::byte> key, const Header& header) {
    const std::int32_t a = Descend(key, false, header);
    if (a == 0) {
        return PredecessorEquals(key, header);
    }
    const std::int32_t leafLevel = header.height - 1;
    if (IsLess(LevelPage(leafLevel, header).Item(a - 1), key)) {
        return false;
    }
    FPages[static_cast<std::size_t>(leafLevel)].pos = a - 1;
    return true;
}

int TTdbBPlusTree::Found(const Header& header, std::span<std::byte> out) {
    return Found(LevelPage(header.height - 1, header), out);
}

int TTdbBPlusTree::Found(const TTdbBPlusPage& leaf, std::span<std::byte> out) {
    const std::span<const std::byte> item = leaf.Item(FPages.back().pos);
    if (out.size() < item.size()) {
        RaiseEngineError(kTdbErrInvalidParameter,
                         {u"Buffer: " + NumberText(static_cast<std::int64_t>(out.size())) +
                          u" bytes, the item of " + QuotedText(StorageName()) + u" has " +
                          NumberText(static_cast<std::int64_t>(item.size()))});
    }
    std::memcpy(out.data(), item.data(), item.size());
    FLastItemSize = static_cast<std::int32_t>(item.size());
    FResumable = true;
    return kTreeFound;
}

bool TTdbBPlusTree::StepItem(bool forward, const Header& header) {
    std::int32_t& pos = FPages.back().pos;
    if (forward ? pos + 1 < LevelPage(header.height - 1, header).Count() : pos > 0) {
        pos += forward ? 1 : -1;
        return true;
    }
    return StepLeaf(forward, true, header);
}

bool TTdbBPlusTree::Resumable(std::span<const std::byte> key, const Header& header) {
    // A cursor walking on passes back the item it was just given. Whether the pages of the path
    // still lead from the root to it costs no comparisons; another tree over the same file may
    // have changed them since, and then the path is not used.
    if (!FResumable || header.height == 0 ||
        FPages.size() != static_cast<std::size_t>(header.height) ||
        FPages[0].site->PageNo() != header.root) {
        return false;
    }
    for (std::int32_t level = 0; level < header.height - 1; ++level) {
        const TTdbBPlusPage page = LevelPage(level, header);
        const std::int32_t pos = FPages[static_cast<std::size_t>(level)].pos;
        if (pos < 0 || pos > page.Count() ||
            page.Child(pos) != FPages[static_cast<std::size_t>(level) + 1].site->PageNo()) {
            return false;
        }
    }
    const TTdbBPlusPage leaf = LevelPage(header.height - 1, header);
    const std::int32_t pos = FPages.back().pos;
    if (pos < 0 || pos >= leaf.Count()) {
        return false;
    }
    const std::span<const std::byte> item = leaf.Item(pos);
    if (key.size() < item.size() || std::memcmp(item.data(), key.data(), item.size()) != 0) {
        return false;
    }
    // A longer given buffer holds the item and whatever follows it; the order decides.
    return key.size() == item.size() || IsEqual(item, key);
}

int TTdbBPlusTree::FirstFrom(std::span<std::byte> out, bool first, const Header& header) {
    LoadLevel(0, header.root, header);
    DescendEdge(0, first, header);
    if (LevelPage(header.height - 1, header).Count() == 0 && !StepLeaf(first, true, header)) {
        return kTreeNone;
    }
    return Found(header, out);
}

int TTdbBPlusTree::DoFind(std::span<const std::byte> key, std::span<std::byte> out) {
    const Header header = BeginOperation();
    if (header.height == 0) {
        return kTreeNone;
    }
    const std::int32_t a = Descend(key, false, header);
    if (a > 0 ? !IsLess(LevelPage(header.height - 1, header).Item(a - 1), key)
              : PredecessorEquals(key, header)) {
        if (a > 0) {
            FPages.back().pos = a - 1;
        }
        return Found(header, out);
    }
    FPages.back().pos = a - 1;
    return StepItem(true, header) ? Found(header, out) : kTreeNone;
}

int TTdbBPlusTree::DoStep(std::span<const std::byte> key, bool forward, std::span<std::byte> out) {
    const Header header = BeginOperation();
    if (header.height == 0) {
        return kTreeNone;
    }
    if (Resumable(key, header)) {
        if (!StepItem(forward, header)) {
            return kTreeNone;
        }
        // Without equal items the neighbour is the answer; otherwise it must not equal Key, and
        // when it does the full search passes over all of them.
        const TTdbBPlusPage leaf = LevelPage(header.height - 1, header);
        const auto beyond = [&] {
            const std::span<const std::byte> item = leaf.Item(FPages.back().pos);
            return forward ? IsLess(key, item) : IsLess(item, key);
        };
        if (FRejectEqual || beyond()) {
            return Found(leaf, out);
        }
    }
    FResumable = false;
    if (!LocateEqual(key, header)) {
        return kTreeMissing;
    }
    // Forwards from the last equal item, backwards from the first: equal items are passed
    // over both ways, so that walks in either direction end.
    const std::int32_t bound = Descend(key, !forward, header);
    FPages.back().pos = forward ? bound - 1 : bound;
    return StepItem(forward, header) ? Found(header, out) : kTreeNone;
}

std::int32_t TTdbBPlusTree::DoSequenceNo(std::span<const std::byte> key) {
    const Header header = BeginOperation();
    if (header.height == 0) {
        return 0;
    }
    // The items before Key are those of the leaves before the one a lower-bound descent
    // reaches and those before the bound on it; the leaves before are counted, not compared.
    const std::int32_t b = Descend(key, true, header);
    const std::int32_t target = FPages.back().site->PageNo();
    FPages.back().pos = b - 1;
    if (!StepItem(true, header) ||
        IsLess(key, LevelPage(header.height - 1, header).Item(FPages.back().pos))) {
        return 0;
    }
    LoadLevel(0, header.root, header);
    DescendEdge(0, true, header);
    std::int64_t before = b;
    std::int32_t pageNo = FPages.back().site->PageNo();
    for (std::int32_t steps = 0; pageNo != target; ++steps) {
        if (pageNo == 0 || steps > header.pageCount) {
            Damaged();
        }
        const TTdbBPlusPage leaf = LoadInto(*FWorkPageSite, pageNo, true, header);
        before += leaf.Count();
        pageNo = leaf.NextLeaf();
    }
    FWorkPageSite->UnloadPage();
    if (before >= std::numeric_limits<std::int32_t>::max()) {
        Damaged();
    }
    return static_cast<std::int32_t>(before + 1);
}

// The searches turn damage into "Error while reading from index".
template <typename Operation>
auto TTdbBPlusTree::Reading(Operation operation) -> decltype(operation()) {
    RequireOpen();
    try {
        return operation();
    } catch (const Fault&) {
        UnloadLevels();
        RaiseEngineError(kTdbErrIndexRead, {StorageName()});
    }
}

int TTdbBPlusTree::FindFirst(std::span<std::byte> item) {
    return Reading([&] {
        FResumable = false;
        const Header header = BeginOperation();
        return header.height == 0 ? kTreeNone : FirstFrom(item, true, header);
    });
}

int TTdbBPlusTree::FindLast(std::span<std::byte> item) {
    return Reading([&] {
        FResumable = false;
        const Header header = BeginOperation();
        return header.height == 0 ? kTreeNone : FirstFrom(item, false, header);
    });
}

int TTdbBPlusTree::FindNext(std::span<const std::byte> item, std::span<std::byte> succItem) {
    return Reading([&] { return DoStep(item, true, succItem); });
}

int TTdbBPlusTree::FindPrev(std::span<const std::byte> item, std::span<std::byte> prevItem) {
    return Reading([&] { return DoStep(item, false, prevItem); });
}

int TTdbBPlusTree::Find(std::span<const std::byte> item, std::span<std::byte> foundItem) {
    return Reading([&] {
        FResumable = false;
        return DoFind(item, foundItem);
    });
}

std::int32_t TTdbBPlusTree::CalcItemSequenceNo(std::span<const std::byte> item) {
    return Reading([&] {
        FResumable = false;
        return DoSequenceNo(item);
    });
}

void TTdbBPlusTree::Check(std::int32_t& itemCount, std::int32_t& wrongSortCount) {
    RequireOpen();
    itemCount = 0;
    wrongSortCount = 0;
    FResumable = false;
    try {
        const Header header = BeginOperation();
        const std::int32_t storedCount = LoadLE<std::int32_t>(HeaderBytes() + kItemCountField);
        if (header.height == 0) {
            if (storedCount != 0) {
                Damaged();
            }
            return;
        }
        const std::int32_t leafLevel = header.height - 1;
        LoadLevel(0, header.root, header);
        DescendEdge(0, true, header);
        std::vector<std::byte> last;
        bool haveLast = false;
        std::int32_t previousPage = 0;
        std::int32_t expectedPage = FPages.back().site->PageNo();
        std::int64_t count = 0;
        for (std::int32_t visits = 0;; ++visits) {
            if (visits >= header.pageCount) {
                Damaged();
            }
            const TTdbBPlusPage leaf = LevelPage(leafLevel, header);
            const std::int32_t pageNo = FPages.back().site->PageNo();
            // The chain must lead through the leaves in the order the tree holds them.
            if (pageNo != expectedPage || leaf.PrevLeaf() != previousPage) {
                Damaged();
            }
            // Readers take an item from every page they reach: only the root may be empty.
            if (leaf.Count() == 0 && leafLevel > 0) {
                Damaged();
            }
            for (std::int32_t k = 0; k < leaf.Count(); ++k) {
                const std::span<const std::byte> item = leaf.Item(k);
                if (haveLast && (IsLess(item, last) || (FRejectEqual && !IsLess(last, item)))) {
                    ++wrongSortCount;
                }
                last.assign(item.begin(), item.end());
                haveLast = true;
                ++count;
            }
            // Searches trust the separators: those of an inner page must be in order (checked
            // when the walk enters it, at the first leaf under it), and the leaf's items must
            // lie between the separators on either side of its path at every level, or a search
            // misses items the chain holds.
            bool firstUnder = true;
            for (std::int32_t level = leafLevel - 1; level >= 0; --level) {
                const TTdbBPlusPage inner = LevelPage(level, header);
                const std::int32_t pos = FPages[static_cast<std::size_t>(level)].pos;
                firstUnder = firstUnder && pos == 0;
                if (firstUnder) {
                    if (inner.Count() == 0) {
                        Damaged();
                    }
                    for (std::int32_t k = 1; k < inner.Count(); ++k) {
                        if (IsLess(inner.Key(k), inner.Key(k - 1))) {
                            ++wrongSortCount;
                        }
                    }
                }
                if (leaf.Count() == 0) {
                    continue;
                }
                const std::span<const std::byte> lowest = leaf.Item(0);
                const std::span<const std::byte> highest = leaf.Item(leaf.Count() - 1);
                if ((pos > 0 && IsLess(lowest, inner.Key(pos - 1))) ||
                    (pos < inner.Count() && IsLess(inner.Key(pos), highest))) {
                    ++wrongSortCount;
                }
            }
            previousPage = pageNo;
            expectedPage = leaf.NextLeaf();
            if (!StepLeaf(true, false, header)) {
                break;
            }
        }
        // A tree that lost items (a page written short) walks in order all the same; only the
        // count in the header tells.
        if (expectedPage != 0 || count != storedCount) {
            Damaged();
        }
        itemCount = static_cast<std::int32_t>(std::min<std::int64_t>(count, 2147483647));
    } catch (const Fault&) {
        UnloadLevels();
        RaiseEngineError(kTdbErrIndexCorrupt, {StorageName()});
    }
}

}  // namespace tdb
