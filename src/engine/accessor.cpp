// Accessors: the steps of each order, the filter over them, sequence numbers, searches, the
// edit flow and what an accessor does when its relation changes under it.
#include "engine/accessor.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <string>

#include "base/engine_error.h"
#include "base/engine_errors.h"
#include "engine/base_table.h"
#include "index/index_entry.h"
#include "index/index_file.h"
#include "index/index_keys.h"
#include "platform/clock.h"
#include "platform/text.h"

namespace tdb {

namespace {

constexpr std::int32_t kUpperRecNoPart = std::numeric_limits<std::int32_t>::max();
// Scratch buffers: keys for searches and a record image.
constexpr int kScratchSearch = 0;
constexpr int kScratchSaved = 1;
constexpr int kScratchRecord = 2;
constexpr int kScratchLower = 3;
constexpr int kScratchUpper = 4;
constexpr int kScratchStemLower = 5;
constexpr int kScratchStemUpper = 6;
constexpr int kScratchLanding = 7;
constexpr int kScratchBest = 8;
constexpr int kScratchCount = 9;

// The jokers of the pattern a prefix search matches with.
constexpr char16_t kMultiJoker = u'%';
constexpr char16_t kSingleJoker = u'_';
constexpr char16_t kEscape = u'\\';

char16_t KeyChar(std::span<const std::byte> chars, std::size_t i) {
    return static_cast<char16_t>(static_cast<std::uint8_t>(chars[2 * i]) |
                                 static_cast<std::uint8_t>(chars[2 * i + 1]) << 8);
}

// The text followed by the multi joker, its own jokers and escapes escaped.
template <typename Text, typename Char>
void PrefixPattern(Text& pattern, std::span<const std::byte> chars, std::int32_t length,
                   Char (*charAt)(std::span<const std::byte>, std::size_t)) {
    pattern.clear();
    for (std::size_t i = 0; i < static_cast<std::size_t>(length); ++i) {
        const Char c = charAt(chars, i);
        if (c == static_cast<Char>(kMultiJoker) || c == static_cast<Char>(kSingleJoker) ||
            c == static_cast<Char>(kEscape))
            pattern.push_back(static_cast<Char>(kEscape));
        pattern.push_back(c);
    }
    pattern.push_back(static_cast<Char>(kMultiJoker));
}

char AnsiChar(std::span<const std::byte> chars, std::size_t i) {
    return static_cast<char>(chars[i]);
}

TTdbCalculationPurposes Purposes(bool init, bool append, bool update) {
    TTdbCalculationPurposes purposes;
    purposes[0] = init;
    purposes[1] = append;
    purposes[2] = update;
    return purposes;
}

std::u16string NumberText(std::int32_t value) {
    const std::string text = std::to_string(value);
    return {text.begin(), text.end()};
}

}  // namespace

TTdbAccessor::TTdbAccessor(TTdbRelation& relation, std::u16string name, std::u16string tag)
    : FRelation(relation),
      FName(std::move(name)),
      FTag(std::move(tag)),
      FBookmarks(std::make_unique<TTdbBookmarkList>()),
      FOwnCurrentRecBuf(static_cast<std::size_t>(relation.GetRecordSize())),
      FCurrentRecBuf(FOwnCurrentRecBuf),
      FOwnWorkRecBuf(static_cast<std::size_t>(relation.GetRecordSize())),
      FWorkRecBuf(FOwnWorkRecBuf),
      FSortInfoWorkBuffers(kScratchCount) {
    AllocateKeyBuffers();
    FRelation.AddAccessor(this);
}

TTdbAccessor::~TTdbAccessor() {
    if (FCurrentEditState == esEdit && FWorkRecordNo > 0)
        FRelation.EndEdit(FWorkRecordNo);
    FRelation.RemoveAccessor(this);
}

std::unique_ptr<TTdbAccessor> TTdbAccessor::CreateClone() const {
    auto clone = std::make_unique<TTdbAccessor>(FRelation, FName, FTag);
    clone->FIsUnidirectional = FIsUnidirectional;
    return clone;
}

std::int16_t TTdbAccessor::Fail(std::int16_t code, const TdbFormatArgs& args) {
    return Services().SetLastError(code, args);
}

// ---- Keys and ranges ----

TTdbIndexFile* TTdbAccessor::CurrentIndex() const {
    return FCurrentAccessType == tatIndex ? FRelation.GetIndexFile(FCurrentIndexNo) : nullptr;
}

const TTdbSortDef* TTdbAccessor::CurrentKeyDef() const {
    if (FCurrentAccessType == tatIndex) {
        const TTdbIndexFile* index = CurrentIndex();
        return index != nullptr ? &index->IndexDef() : nullptr;
    }
    if (FCurrentAccessType == tatRecordNo && FRelation.GetNativeSortDef().LevelCount > 0)
        return &FRelation.GetNativeSortDef();
    return nullptr;
}

void TTdbAccessor::AllocateKeyBuffers() {
    std::size_t size = 4;
    if (FCurrentAccessType == tatIndex) {
        if (const TTdbIndexFile* index = CurrentIndex())
            size = static_cast<std::size_t>(std::max(index->IndSize(), 4));
    } else if (FCurrentAccessType == tatRecordNo) {
        size = static_cast<std::size_t>(std::max(FRelation.GetNativeSortDef().GetSize(), 4));
    }
    FCurrentIndexInfo.assign(size, std::byte{0});
    FRangeLowerBound.assign(size, std::byte{0});
    FRangeUpperBound.assign(size, std::byte{0});
    for (auto& scratch : FSortInfoWorkBuffers)
        if (scratch.size() < size)
            scratch.resize(size);
}

std::span<std::byte> TTdbAccessor::Scratch(int no, std::size_t size) {
    std::vector<std::byte>& buffer = FSortInfoWorkBuffers[static_cast<std::size_t>(no)];
    if (buffer.size() < size)
        buffer.resize(size);
    return std::span<std::byte>(buffer).first(size);
}

bool TTdbAccessor::LowerSet() const noexcept {
    return GetDateiVerweis(FRangeLowerBound) != 0;
}
bool TTdbAccessor::UpperSet() const noexcept {
    return GetDateiVerweis(FRangeUpperBound) != 0;
}
bool TTdbAccessor::HasRange() const noexcept {
    return LowerSet() || UpperSet();
}

void TTdbAccessor::ClearRange() noexcept {
    std::fill(FRangeLowerBound.begin(), FRangeLowerBound.end(), std::byte{0});
    std::fill(FRangeUpperBound.begin(), FRangeUpperBound.end(), std::byte{0});
}

bool TTdbAccessor::KeyLess(std::span<const std::byte> x, std::span<const std::byte> y) const {
    const TTdbIndexFile* index = CurrentIndex();
    bool unique = true;
    return index->KeyComparator().IndexLess(x, y, unique, TStrCmpOptions{0}, index->IndexDef());
}

bool TTdbAccessor::KeyInRange(std::span<const std::byte> key) const {
    if (LowerSet() && KeyLess(key, FRangeLowerBound))
        return false;
    return !(UpperSet() && KeyLess(FRangeUpperBound, key));
}

void TTdbAccessor::ComputeCurrentKey() {
    const TTdbSortDef* def = CurrentKeyDef();
    if (def == nullptr) {
        SetDateiVerweis(FCurrentIndexInfo, std::max(FCurrentRecordNo, 0));
        return;
    }
    if (FCurrentRecordNo < 0) {
        std::fill(FCurrentIndexInfo.begin(), FCurrentIndexInfo.end(), std::byte{0});
        return;
    }
    std::span<std::byte> record = RecordPtr();
    FRelation.Keys().CalcIndexInfo(*def, record, FCurrentRecordNo, FCurrentIndexInfo);
}

void TTdbAccessor::Positioned(std::int32_t recNo) {
    FCurrentRecordNo = recNo;
    FCurrentRecBufUpdated = false;
}

// ---- Record buffers ----

std::int16_t TTdbAccessor::UpdateRecBuf() {
    if (FCurrentRecordNo < 1) {
        FPendingBlobs.clear();
        const std::int16_t result = FRelation.InitRecord(FCurrentRecBuf, false);
        FCurrentRecBufUpdated = result >= 0;
        return result;
    }
    const std::int16_t result = FHeldReads > 0
                                    ? FRelation.ReadRecordLocked(FCurrentRecordNo, FCurrentRecBuf)
                                    : FRelation.ReadRecord(FCurrentRecordNo, FCurrentRecBuf);
    if (result < 0)
        return result;
    // The current key stays where the index put the accessor: a record edited meanwhile keeps
    // its place in the walk until the accessor moves.
    FCurrentRecBufUpdated = true;
    return 0;
}

std::span<std::byte> TTdbAccessor::RecordPtr() {
    if (FCurrentRecordNo >= 0 && FCurrentRecordNo == FWorkRecordNo)
        return FWorkRecBuf;
    if (!FCurrentRecBufUpdated)
        UpdateRecBuf();
    return FCurrentRecBuf;
}

std::span<std::byte> TTdbAccessor::RecordPtrExc() {
    if (FCurrentRecordNo >= 0 && FCurrentRecordNo == FWorkRecordNo)
        return FWorkRecBuf;
    if (!FCurrentRecBufUpdated && UpdateRecBuf() < 0)
        RaiseNonCritical();
    return FCurrentRecBuf;
}

void TTdbAccessor::GetRecord(std::span<std::byte> recBuffer) {
    std::span<const std::byte> record = RecordPtr();
    std::copy_n(record.begin(), std::min(record.size(), recBuffer.size()), recBuffer.begin());
}

void TTdbAccessor::SetRecord(std::span<const std::byte> recBuffer) {
    std::span<std::byte> record = RecordPtr();
    std::copy_n(recBuffer.begin(), std::min(record.size(), recBuffer.size()), record.begin());
}

std::span<std::byte> TTdbAccessor::SwitchRecBuffer(std::span<std::byte> recBuffer) {
    if (FCurrentRecordNo >= 0 && FCurrentRecordNo == FWorkRecordNo) {
        return std::exchange(FWorkRecBuf, recBuffer);
    }
    FCurrentRecBufUpdated = true;
    return std::exchange(FCurrentRecBuf, recBuffer);
}

void TTdbAccessor::UnswitchRecBuffer(std::span<std::byte> recBuffer) {
    if (FCurrentRecordNo >= 0 && FCurrentRecordNo == FWorkRecordNo) {
        FWorkRecBuf = recBuffer;
        return;
    }
    if (recBuffer.data() != FCurrentRecBuf.data())
        FCurrentRecBufUpdated = false;
    FCurrentRecBuf = recBuffer;
}

// ---- Raw steps ----

std::int32_t TTdbAccessor::LowRecNo() const {
    return LowerSet() ? std::max(GetDateiVerweis(FRangeLowerBound), 1) : 1;
}

std::int32_t TTdbAccessor::HighRecNo() const {
    const std::int32_t count = FRelation.GetRecordCount();
    return UpperSet() ? std::min(GetDateiVerweis(FRangeUpperBound), count) : count;
}

std::int32_t TTdbAccessor::BookmarkSlot() const {
    const std::int32_t bySequence = FCurrentSequenceNo - 1;
    if (bySequence >= 0 && bySequence < FBookmarks->Size() &&
        FBookmarks->Item(bySequence) == FCurrentRecordNo)
        return bySequence;
    return FBookmarks->Find(FCurrentRecordNo);
}

std::int16_t TTdbAccessor::RawIndexFirst(TTdbIndexFile& index) {
    std::span<std::byte> key = FCurrentIndexInfo;
    int found;
    if (LowerSet()) {
        std::copy(FRangeLowerBound.begin(), FRangeLowerBound.end(), key.begin());
        found = index.Suche_Index(key);
    } else {
        found = index.Erster_Index(key);
    }
    if (found < 0 && found != -1)
        return static_cast<std::int16_t>(found);
    if (found != 0 || !KeyInRange(key))
        return kTdbNoRecord;
    Positioned(GetDateiVerweis(key));
    return 0;
}

std::int16_t TTdbAccessor::RawIndexLast(TTdbIndexFile& index) {
    std::span<std::byte> key = FCurrentIndexInfo;
    int found;
    if (UpperSet()) {
        std::copy(FRangeUpperBound.begin(), FRangeUpperBound.end(), key.begin());
        found = index.Suche_Index(key);
        if (found == 1) {
            found = index.Letzter_Index(key);
        } else if (found == 0 && !KeyInRange(key)) {
            found = index.Vorheriger_Index(key);
        }
    } else {
        found = index.Letzter_Index(key);
    }
    if (found < -1)
        return static_cast<std::int16_t>(found);
    if (found != 0 || !KeyInRange(key))
        return kTdbNoRecord;
    Positioned(GetDateiVerweis(key));
    return 0;
}

std::int16_t TTdbAccessor::RawIndexStep(TTdbIndexFile& index, bool forward) {
    std::span<std::byte> key = FCurrentIndexInfo;
    std::span<std::byte> saved = Scratch(kScratchSaved, key.size());
    std::copy(key.begin(), key.end(), saved.begin());
    int found = forward ? index.Naechster_Index(key) : index.Vorheriger_Index(key);
    if (found == -1) {
        // The current entry is gone (its record was deleted or changed): go on from where it
        // would stand.
        std::copy(saved.begin(), saved.end(), key.begin());
        found = index.Suche_Index(key);
        if (!forward)
            found = found == 0 ? index.Vorheriger_Index(key) : index.Letzter_Index(key);
    }
    if (found != 0 || !KeyInRange(key)) {
        std::copy(saved.begin(), saved.end(), key.begin());
        return found < -1 ? static_cast<std::int16_t>(found) : kTdbNoRecord;
    }
    Positioned(GetDateiVerweis(key));
    return 0;
}

std::int16_t TTdbAccessor::RawFirst() {
    if (FRelation.GetRecordCount() <= 0)
        return kTdbNoRecord;
    switch (FCurrentAccessType) {
        case tatRecordNo: {
            const std::int32_t recNo = LowerSet() ? LowRecNo() : FRelation.GetFirstRecordNo();
            if (recNo <= 0 || recNo > HighRecNo())
                return kTdbNoRecord;
            Positioned(recNo);
            ComputeCurrentKey();
            return 0;
        }
        case tatBookmarks: {
            const std::int32_t slot = FBookmarks->FindFirst();
            if (slot < 0)
                return kTdbNoRecord;
            Positioned(FBookmarks->Item(slot));
            return 0;
        }
        case tatIndex:
            return RawIndexFirst(*CurrentIndex());
        default:
            return kTdbNoRecord;
    }
}

std::int16_t TTdbAccessor::RawLast() {
    if (FRelation.GetRecordCount() <= 0)
        return kTdbNoRecord;
    switch (FCurrentAccessType) {
        case tatRecordNo: {
            const std::int32_t recNo = UpperSet() ? HighRecNo() : FRelation.GetLastRecordNo();
            if (recNo < 1 || recNo < LowRecNo())
                return kTdbNoRecord;
            Positioned(recNo);
            ComputeCurrentKey();
            return 0;
        }
        case tatBookmarks: {
            const std::int32_t slot = FBookmarks->FindLast();
            if (slot < 0)
                return kTdbNoRecord;
            Positioned(FBookmarks->Item(slot));
            return 0;
        }
        case tatIndex:
            return RawIndexLast(*CurrentIndex());
        default:
            return kTdbNoRecord;
    }
}

std::int16_t TTdbAccessor::RawNext() {
    if (FRelation.GetRecordCount() <= 0)
        return kTdbNoRecord;
    if (FCurrentRecordNo < 0)
        return RawFirst();
    switch (FCurrentAccessType) {
        case tatRecordNo: {
            if (FCurrentRecordNo == 0)
                return kTdbNoRecord;
            const std::int32_t recNo = FRelation.GetNextRecordNo(FCurrentRecordNo);
            if (recNo < 1 || recNo > HighRecNo())
                return kTdbNoRecord;
            Positioned(std::max(recNo, LowRecNo()));
            ComputeCurrentKey();
            return 0;
        }
        case tatBookmarks: {
            const std::int32_t slot = BookmarkSlot();
            const std::int32_t next =
                slot < 0 ? FBookmarks->FindFirst() : FBookmarks->FindNext(slot);
            if (next < 0)
                return kTdbNoRecord;
            Positioned(FBookmarks->Item(next));
            return 0;
        }
        case tatIndex:
            if (FCurrentRecordNo == 0)
                return kTdbNoRecord;
            return RawIndexStep(*CurrentIndex(), true);
        default:
            return kTdbNoRecord;
    }
}

std::int16_t TTdbAccessor::RawPrior() {
    if (FRelation.GetRecordCount() <= 0)
        return kTdbNoRecord;
    if (FCurrentRecordNo < 0)
        return RawLast();
    switch (FCurrentAccessType) {
        case tatRecordNo: {
            std::int32_t recNo = FCurrentRecordNo == 0
                                     ? FRelation.GetRecordCount()
                                     : FRelation.GetPrevRecordNo(FCurrentRecordNo);
            recNo = std::min(recNo, HighRecNo());
            if (recNo <= 0 || recNo < LowRecNo())
                return kTdbNoRecord;
            Positioned(recNo);
            ComputeCurrentKey();
            return 0;
        }
        case tatBookmarks: {
            const std::int32_t slot = BookmarkSlot();
            const std::int32_t prev =
                slot < 0 ? FBookmarks->FindLast() : FBookmarks->FindPrev(slot);
            if (prev < 0)
                return kTdbNoRecord;
            Positioned(FBookmarks->Item(prev));
            return 0;
        }
        case tatIndex:
            if (FCurrentRecordNo == 0)
                return RawLast();
            return RawIndexStep(*CurrentIndex(), false);
        default:
            return kTdbNoRecord;
    }
}

// ---- Filter ----

int TTdbAccessor::FilterTest(std::span<const std::byte> recBuffer) {
    if (!FFilter)
        return 1;
    try {
        return FFilter->Evaluate(static_cast<TTdbRltnIdx>(RltnIdx()), recBuffer) == tvTrue ? 1 : 0;
    } catch (const ETdbEngine& e) {
        return Services().SetLastError(e);
    }
}

int TTdbAccessor::FilterTestCurrent() {
    if (!FFilter)
        return 1;
    if (FCurrentRecordNo != FWorkRecordNo && !FCurrentRecBufUpdated) {
        const std::int16_t read = UpdateRecBuf();
        if (read < 0)
            return read;
    }
    return FilterTest(RecordPtr());
}

// ---- Navigation ----

std::int32_t TTdbAccessor::UnfilteredCount() {
    switch (FCurrentAccessType) {
        case tatRecordNo:
            return std::max(HighRecNo() - LowRecNo() + 1, 0);
        case tatBookmarks:
            return FBookmarks->Count();
        case tatIndex:
            return HasRange() ? -1 : CurrentIndex()->ItemCount();
        default:
            return 0;
    }
}

std::int16_t TTdbAccessor::First() {
    // A step sees one state of the table: the index it walks, the record it lands on and the
    // filter's verdict; a writer of another session keeps its changes until it lets go.
    const TReadLock lock(*this);
    if (!lock.Held())
        return lock.Result();
    std::int16_t result = FReverse ? RawLast() : RawFirst();
    FCurrentSequenceNo = 1;
    while (result == 0) {
        const int accepted = FilterTestCurrent();
        if (accepted > 0)
            break;
        result = RawForward();
        ++FCurrentSequenceNo;
    }
    if (result == 0)
        FRecordDeleted = false;
    return result;
}

std::int16_t TTdbAccessor::Last() {
    const TReadLock lock(*this);
    if (!lock.Held())
        return lock.Result();
    std::int16_t result = FReverse ? RawFirst() : RawLast();
    FCurrentSequenceNo = UnfilteredCount();
    while (result == 0) {
        const int accepted = FilterTestCurrent();
        if (accepted > 0)
            break;
        result = RawBackward();
        if (FCurrentSequenceNo > 0)
            --FCurrentSequenceNo;
    }
    if (result == 0)
        FRecordDeleted = false;
    return result;
}

std::int16_t TTdbAccessor::Next() {
    const TReadLock lock(*this);
    if (!lock.Held())
        return lock.Result();
    // Before the first record the count starts from 0.
    if (FCurrentRecordNo < 0)
        FCurrentSequenceNo = 0;
    int result;
    do {
        result = RawForward();
        if (result == 0)
            result = FilterTestCurrent();
        if (result >= 0 && FCurrentSequenceNo >= 0)
            ++FCurrentSequenceNo;
    } while (result == 0);
    if (result < 0) {
        if (result == kTdbNoRecord && FWorkRecordNo == 0) {
            // Past the end stands the record being appended.
            FCurrentRecordNo = 0;
            FCurrentSequenceNo = -2;
        }
        return static_cast<std::int16_t>(result);
    }
    FRecordDeleted = false;
    return 0;
}

std::int16_t TTdbAccessor::Prior() {
    const TReadLock lock(*this);
    if (!lock.Held())
        return lock.Result();
    const bool fromOutside = FCurrentRecordNo <= 0;
    int result;
    do {
        result = RawBackward();
        if (result == 0)
            result = FilterTestCurrent();
        if (result >= 0 && FCurrentSequenceNo > 1)
            --FCurrentSequenceNo;
    } while (result == 0);
    if (result < 0)
        return static_cast<std::int16_t>(result);
    if (fromOutside)
        FCurrentSequenceNo = -1;
    FRecordDeleted = false;
    return 0;
}

std::int16_t TTdbAccessor::MoveBy(std::int32_t delta) {
    std::int16_t result = 0;
    if (delta > 0) {
        for (std::int32_t i = 0; i < delta && result == 0; ++i)
            result = Next();
        return result;
    }
    if (delta < 0) {
        for (std::int32_t i = 0; i > delta && result == 0; --i)
            result = Prior();
        return result;
    }
    if (FCurrentRecordNo > FRelation.GetRecordCount())
        ToBoT();
    if (FCurrentRecordNo < 0)
        return kTdbNoRecord;
    if (IsValidRecord())
        return 0;
    result = MoveBy(1);
    if (result == kTdbNoRecord)
        result = Last();
    return result;
}

std::int16_t TTdbAccessor::ToBoT() {
    FCurrentRecordNo = -1;
    FCurrentSequenceNo = 0;
    FCurrentRecBufUpdated = false;
    std::fill(FCurrentIndexInfo.begin(), FCurrentIndexInfo.end(), std::byte{0});
    return 0;
}

std::int16_t TTdbAccessor::GotoRecord(std::int32_t recNo) {
    // The count as other sessions left it, and their moves applied before the number is taken.
    TReadLock lock(*this);
    if (!lock.Held())
        return lock.Result();
    if (recNo < -1 || recNo > FRelation.GetRecordCount())
        return kTdbNoRecord;
    if (recNo == -1)
        return ToBoT();
    if (recNo == FCurrentRecordNo) {
        FRecordDeleted = false;
        return 0;
    }
    if (recNo == 0) {
        if (FWorkRecordNo != 0)
            return kTdbNoRecord;
        FCurrentRecordNo = 0;
        FCurrentSequenceNo = -2;
    } else {
        Positioned(recNo);
        FCurrentSequenceNo = -1;
        if (CurrentKeyDef() != nullptr) {
            const std::int16_t read = UpdateRecBuf();
            if (read < 0)
                return read;
            ComputeCurrentKey();
        } else {
            SetDateiVerweis(FCurrentIndexInfo, recNo);
        }
    }
    FRecordDeleted = false;
    return 0;
}

bool TTdbAccessor::IsValidRecord(std::int32_t recNo, std::span<const std::byte> recBuffer,
                                 std::span<const std::byte> indexBuffer) {
    if (recNo < 0 || recNo > FRelation.GetRecordCount())
        return false;
    switch (FCurrentAccessType) {
        case tatRecordNo:
            if (recNo > 0 && (recNo < LowRecNo() || recNo > HighRecNo()))
                return false;
            break;
        case tatBookmarks:
            if (recNo != 0 && FBookmarks->Find(recNo) < 0)
                return false;
            break;
        case tatIndex:
            if (!KeyInRange(indexBuffer))
                return false;
            break;
        default:
            return false;
    }
    return FilterTest(recBuffer) > 0;
}

bool TTdbAccessor::IsValidRecord() {
    if (FCurrentRecordNo < 0)
        return false;
    if (FCurrentRecordNo > 0 && FCurrentRecordNo != FWorkRecordNo && !FCurrentRecBufUpdated &&
        UpdateRecBuf() < 0)
        return false;
    if (FCurrentAccessType == tatIndex && FCurrentRecordNo == FWorkRecordNo)
        ComputeCurrentKey();
    return IsValidRecord(FCurrentRecordNo, RecordPtr(), FCurrentIndexInfo);
}

bool TTdbAccessor::IndexRankBounds(TTdbIndexFile& index, std::int32_t& first, std::int32_t& last) {
    std::span<std::byte> key = Scratch(kScratchSearch, FCurrentIndexInfo.size());
    first = 1;
    last = index.ItemCount();
    if (LowerSet()) {
        std::copy(FRangeLowerBound.begin(), FRangeLowerBound.end(), key.begin());
        if (index.Suche_Index(key) != 0 || !KeyInRange(key))
            return false;
        first = index.CalcItemSequenceNo(key);
    }
    if (UpperSet()) {
        std::copy(FRangeUpperBound.begin(), FRangeUpperBound.end(), key.begin());
        int found = index.Suche_Index(key);
        if (found == 1)
            found = index.Letzter_Index(key);
        else if (found == 0 && !KeyInRange(key))
            found = index.Vorheriger_Index(key);
        if (found != 0 || !KeyInRange(key))
            return false;
        last = index.CalcItemSequenceNo(key);
    }
    return first > 0 && last >= first;
}

std::int32_t TTdbAccessor::GetSequenceNo() {
    if (FCurrentSequenceNo != -1)
        return FCurrentSequenceNo;
    if (FCurrentRecordNo < 1)
        return -2;
    switch (FCurrentAccessType) {
        case tatRecordNo:
            FCurrentSequenceNo =
                FReverse ? HighRecNo() - FCurrentRecordNo + 1 : FCurrentRecordNo - LowRecNo() + 1;
            if (FCurrentSequenceNo < 1)
                FCurrentSequenceNo = -2;
            break;
        case tatBookmarks: {
            const std::int32_t position = FBookmarks->FindSequence(FCurrentRecordNo);
            FCurrentSequenceNo = position < 0 ? -2
                                 : FReverse   ? FBookmarks->Count() - position
                                              : position + 1;
            break;
        }
        case tatIndex: {
            TReadLock lock(*this);
            TTdbIndexFile& index = *CurrentIndex();
            std::int32_t first = 0;
            std::int32_t last = 0;
            const std::int32_t rank = lock.Held() && GetDateiVerweis(FCurrentIndexInfo) > 0
                                          ? index.CalcItemSequenceNo(FCurrentIndexInfo)
                                          : 0;
            if (rank <= 0 || !IndexRankBounds(index, first, last) || rank < first || rank > last)
                FCurrentSequenceNo = -2;
            else
                FCurrentSequenceNo = FReverse ? last - rank + 1 : rank - first + 1;
            break;
        }
        default:
            FCurrentSequenceNo = -2;
    }
    return FCurrentSequenceNo;
}

std::int32_t TTdbAccessor::GotoSequenceNo(std::int32_t sequenceNo) {
    switch (FCurrentAccessType) {
        case tatRecordNo: {
            const std::int32_t recNo =
                FReverse ? HighRecNo() - sequenceNo + 1 : LowRecNo() + sequenceNo - 1;
            if (sequenceNo < 1 || recNo < LowRecNo() || recNo > HighRecNo() ||
                GotoRecord(recNo) != 0)
                return kTdbNoRecord;
            FCurrentSequenceNo = sequenceNo;
            return recNo;
        }
        case tatBookmarks: {
            if (sequenceNo < 1 || sequenceNo > FBookmarks->Count())
                return kTdbNoRecord;
            std::int32_t slot = FReverse ? FBookmarks->FindLast() : FBookmarks->FindFirst();
            for (std::int32_t i = 1; i < sequenceNo; ++i)
                slot = FReverse ? FBookmarks->FindPrev(slot) : FBookmarks->FindNext(slot);
            Positioned(FBookmarks->Item(slot));
            FCurrentSequenceNo = sequenceNo;
            FRecordDeleted = false;
            return FCurrentRecordNo;
        }
        case tatIndex: {
            std::int16_t result;
            if (sequenceNo <= 1) {
                result = First();
            } else {
                TReadLock lock(*this);
                const std::int32_t count = RecordCount();
                if (count >= 0 && sequenceNo >= count) {
                    result = Last();
                } else {
                    // Start from the nearest known position.
                    std::int32_t distance = sequenceNo - 1;
                    int start = 0;  // 0 first, 1 last, 2 here
                    if (count >= 0 && count - sequenceNo < sequenceNo - 1) {
                        distance = sequenceNo - count;
                        start = 1;
                    }
                    const std::int32_t current = FCurrentRecordNo > 0 ? GetSequenceNo() : -2;
                    if (current > 0 && std::abs(sequenceNo - current) < std::abs(distance)) {
                        distance = sequenceNo - current;
                        start = 2;
                    }
                    result = start == 0 ? First() : start == 1 ? Last() : 0;
                    if (result == 0)
                        result = MoveBy(distance);
                }
            }
            return result == 0 ? FCurrentRecordNo : result;
        }
        default:
            return kTdbNoRecord;
    }
}

std::int32_t TTdbAccessor::RecordCount() {
    if (!FFilter) {
        switch (FCurrentAccessType) {
            case tatRecordNo:
            case tatBookmarks:
                return UnfilteredCount();
            case tatNone:
                return 0;
            case tatIndex:
                if (!HasRange())
                    return CurrentIndex()->ItemCount();
                break;
        }
    }
    if (FRelation.GetRecordCount() >= kCountLimit)
        return -1;
    TReadLock lock(*this);
    Push();
    std::int32_t count = 0;
    for (std::int16_t result = First(); result == 0; result = Next())
        ++count;
    Pop();
    return count;
}

// ---- Searches ----

std::int16_t TTdbAccessor::CheckIndexUsable(TTdbIndexNo indexNo, bool raise) {
    if (indexNo >= 0 && indexNo <= kTdbMaxIndexNo && FRelation.GetIndexFile(indexNo) != nullptr &&
        FRelation.CheckIndexOpen(indexNo, false))
        return 0;
    const std::u16string name = indexNo >= 0 && indexNo <= kTdbMaxIndexNo
                                    ? FRelation.GetRealIndexName(indexNo)
                                    : NumberText(indexNo);
    if (raise)
        RaiseEngineError(kTdbErrIndexCorrupt, {name});
    return Fail(kTdbErrIndexCorrupt, {name});
}

std::int16_t TTdbAccessor::LocateRecord(TTdbIndexNo indexNo, std::u16string_view indexString,
                                        char16_t separator) {
    const std::int16_t usable = CheckIndexUsable(indexNo, false);
    if (usable < 0)
        return usable;
    TTdbIndexFile& index = *FRelation.GetIndexFile(indexNo);
    const auto size = static_cast<std::size_t>(std::max(index.IndSize(), 4));
    std::span<std::byte> built = Scratch(kScratchSearch, size);
    std::span<std::byte> found = Scratch(kScratchSaved, size);
    std::int32_t recNo = 0;
    try {
        std::fill(built.begin(), built.end(), std::byte{0});
        FRelation.Keys().StringToIndex(index.IndexDef(), indexString, 0, separator, built);
        std::copy(built.begin(), built.end(), found.begin());
        TReadLock lock(*this);
        const int searched = index.Suche_Index(found);
        if (searched < -1)
            return static_cast<std::int16_t>(searched);
        if (searched != 0 || !FRelation.Keys().IsSameIndexKey(index.IndexDef(), built, found))
            return 0;
        recNo = GetDateiVerweis(found);
    } catch (const ETdbEngine& e) {
        return Services().SetLastError(e);
    }
    const std::int16_t result = GotoRecord(recNo);
    return result == 0 ? 1 : result;
}

std::int32_t TTdbAccessor::LocateRecord2(TTdbIndexNo indexNo, std::span<const std::byte> indexInfo,
                                         int indexItemCount, bool& exact) {
    const std::int16_t usable = CheckIndexUsable(indexNo, false);
    if (usable < 0)
        return usable;
    TTdbIndexFile& index = *FRelation.GetIndexFile(indexNo);
    const TTdbSortDef& def = index.IndexDef();
    indexItemCount = std::min<int>(indexItemCount, def.LevelCount);
    const auto size = static_cast<std::size_t>(std::max(index.IndSize(), 4));
    std::span<std::byte> given = Scratch(kScratchRecord, size);
    std::fill(given.begin(), given.end(), std::byte{0});
    std::copy_n(indexInfo.begin(), std::min(size, indexInfo.size()), given.begin());
    std::vector<std::byte>& entryBuffer = FSortInfoWorkBuffers[kScratchSearch];
    if (entryBuffer.size() < size)
        entryBuffer.resize(size);
    std::span<std::byte> entry = std::span<std::byte>(entryBuffer).first(size);

    TReadLock lock(*this);
    const std::int32_t savedRecNo = FCurrentRecordNo;
    const std::int32_t savedSequenceNo = FCurrentSequenceNo;
    const bool exactAsked = exact;
    std::int32_t result = 0;
    try {
        std::copy(given.begin(), given.end(), entry.begin());
        int found = index.Suche_Index(entry);
        std::span<std::byte> start = Scratch(kScratchSaved, size);
        const bool startFound = found == 0;
        if (startFound)
            std::copy(entry.begin(), entry.end(), start.begin());
        while (found == 0) {
            const bool same = FRelation.Keys().FindSortKeyDiff(def, entry, given) >= indexItemCount;
            if (exactAsked && !same)
                break;
            const std::int32_t recNo = GetDateiVerweis(entry);
            if (GotoRecord(recNo) == 0 && IsValidRecord()) {
                if (!exactAsked)
                    exact = same;
                result = recNo;
                break;
            }
            found = index.Naechster_Index(entry);
        }
        if (found < -1)
            result = found;
        else if (!exactAsked && indexItemCount > 0)
            result = LandOnPrefix(index, indexItemCount - 1, given, entry, start, startFound,
                                  result, exact);
    } catch (const ETdbEngine& e) {
        result = Services().SetLastError(e);
    }
    if (result < 1) {
        if (savedRecNo < 0)
            ToBoT();
        else
            GotoRecord(savedRecNo);
        FCurrentSequenceNo = savedSequenceNo;
    }
    return result;
}

// Whether the entry holds the given components before Level and, at Level, a text that begins
// with the searched one as LIKE 'text%' has it, under the column's case and accent options.
bool TTdbAccessor::BeginsWithSearched(const TTdbSortDef& def, int level,
                                      std::span<const std::byte> entry,
                                      std::span<const std::byte> given) {
    const TTdbIndexKeys& keys = FRelation.Keys();
    if (level > 0 && keys.FindSortKeyDiff(def, entry, given) < level)
        return false;
    TTdbKeyText text;
    if (!keys.KeyText(def, level, entry, text) || text.IsNull)
        return false;
    if (text.CharSize == 1) {
        const std::string_view value(reinterpret_cast<const char*>(text.Chars.data()),
                                     static_cast<std::size_t>(text.Length));
        return text.Collation->Matches(value, FAnsiPrefixPattern, static_cast<char>(kMultiJoker),
                                       static_cast<char>(kSingleJoker), static_cast<char>(kEscape),
                                       text.Options);
    }
    FEntryText.resize(static_cast<std::size_t>(text.Length));
    for (std::size_t i = 0; i < FEntryText.size(); ++i)
        FEntryText[i] = KeyChar(text.Chars, i);
    return text.Collation->Matches(FEntryText, FPrefixPattern, kMultiJoker, kSingleJoker, kEscape,
                                   text.Options);
}

// A collation need not keep the texts that begin with the searched one together right after
// it: Hungarian ranks «Bonyhád» between «Bonn» and «Bonnya» ("nny" is "ny"+"ny"), and a text
// that differs from the searched one only by its accents may rank below it although matching
// ignores accents. The plain search lands on the first valid entry at or after the key; where
// that entry does not begin with the text, or entries between the text's lower prefix bound
// and the key might, the range of the prefix bounds (which holds every text beginning with it)
// is walked for the first valid entry that does. Without one the plain landing stays.
std::int32_t TTdbAccessor::LandOnPrefix(TTdbIndexFile& index, int level,
                                        std::span<const std::byte> given,
                                        std::span<std::byte> entry, std::span<std::byte> start,
                                        bool startFound, std::int32_t landed, bool& exact) {
    const TTdbSortDef& def = index.IndexDef();
    const TTdbIndexKeys& keys = FRelation.Keys();
    TTdbKeyText searched;
    // An empty text begins every text, and the plain search is at its first already.
    if (!keys.KeyText(def, level, given, searched) || searched.IsNull || searched.Length == 0 ||
        searched.Descending)
        return landed;
    std::span<std::byte> lower = Scratch(kScratchLower, given.size());
    std::span<std::byte> upper = Scratch(kScratchUpper, given.size());
    if (!keys.PrefixBoundEntry(def, level, given, false, lower) ||
        !keys.PrefixBoundEntry(def, level, given, true, upper))
        return landed;
    if (searched.CharSize == 1)
        PrefixPattern(FAnsiPrefixPattern, searched.Chars, searched.Length, AnsiChar);
    else
        PrefixPattern(FPrefixPattern, searched.Chars, searched.Length, KeyChar);

    bool unique = true;
    if (landed > 0 && BeginsWithSearched(def, level, entry, given)) {
        // Every entry that begins with the text lies at or above the lower bound: with none
        // between it and the key, the landing is the first.
        const int before = startFound ? index.Vorheriger_Index(start) : index.Letzter_Index(start);
        if (before < -1)
            return before;
        if (before != 0 || keys.IndexLess(start, lower, unique, 0, def))
            return landed;
        if (const std::optional<std::int32_t> earlier =
                LandBelowText(index, level, given, entry, start, searched, exact))
            return *earlier != 0 ? *earlier : landed;
    }
    std::copy(lower.begin(), lower.end(), entry.begin());
    const int found = WalkToBeginning(index, level, given, entry,
                                      [&] { return keys.IndexLess(entry, upper, unique, 0, def); });
    if (found < -1)
        return found;
    if (found == 0) {
        exact = keys.FindSortKeyDiff(def, entry, given) > level;
        return GetDateiVerweis(entry);
    }
    if (landed > 0)
        GotoRecord(landed);
    return landed;
}

// From the first entry at or after Entry, in index order while Inside holds for the entry, to
// the first valid one that begins with the searched text: 0 with the accessor on it and Entry
// its entry, kTreeNone without one, or the tree's failure. Duplicates of a text that does not
// begin with the searched one answer as it did without matching again: inside a range the
// components before Level are equal, so the text alone decides.
template <typename Inside>
int TTdbAccessor::WalkToBeginning(TTdbIndexFile& index, int level, std::span<const std::byte> given,
                                  std::span<std::byte> entry, Inside inside) {
    const TTdbSortDef& def = index.IndexDef();
    const TTdbIndexKeys& keys = FRelation.Keys();
    int found = index.Suche_Index(entry);
    FRejectedText.clear();
    bool rejected = false;
    while (found == 0 && inside()) {
        TTdbKeyText text;
        const bool hasText = keys.KeyText(def, level, entry, text) && !text.IsNull;
        if (!(rejected && hasText && std::ranges::equal(text.Chars, FRejectedText))) {
            if (BeginsWithSearched(def, level, entry, given)) {
                if (GotoRecord(GetDateiVerweis(entry)) == 0 && IsValidRecord())
                    return 0;
                rejected = false;
            } else {
                rejected = hasText;
                FRejectedText.assign(text.Chars.begin(), text.Chars.end());
            }
        }
        found = index.Naechster_Index(entry);
    }
    return found < -1 ? found : 1;
}

// The lower bound lies as low as the lowest text that a string beginning with the searched one
// may sort as: «ÁcSSZ» (c, sz, sz) for «Ácss» (cs, s), below every «Ács…». Walking from there
// would visit every entry in between. An entry before the landing that begins with the text
// either has a primary key that begins with the key of one of the texts below it, or the very
// primary key of the text and a lower accent or case (the search stands at the text's own key,
// record number 1). So only the ranges of those texts are walked, each up to the landing, and
// then the entries of the text's own primary key just below the search key, backwards. Before
// is the entry just below the search key. Answers the first such entry's record (the accessor
// on it), 0 when there is none (the landing stays; the accessor is back on it), a negative code
// on failure, and nothing where this does not apply.
std::optional<std::int32_t> TTdbAccessor::LandBelowText(TTdbIndexFile& index, int level,
                                                        std::span<const std::byte> given,
                                                        std::span<std::byte> entry,
                                                        std::span<std::byte> before,
                                                        const TTdbKeyText& searched, bool& exact) {
    const TTdbSortDef& def = index.IndexDef();
    const TTdbIndexKeys& keys = FRelation.Keys();
    if (searched.CharSize != 2 || GetDateiVerweis(given) > 1)
        return std::nullopt;
    FSearchedText.resize(static_cast<std::size_t>(searched.Length));
    for (std::size_t i = 0; i < FSearchedText.size(); ++i)
        FSearchedText[i] = KeyChar(searched.Chars, i);
    std::size_t stems = 0;
    if (!searched.Collation->StemsBelow(FSearchedText, FStemTexts, stems))
        return std::nullopt;
    const std::span<const std::u16string> below(FStemTexts.data(), stems);
    std::span<std::byte> lower = Scratch(kScratchStemLower, given.size());
    std::span<std::byte> upper = Scratch(kScratchStemUpper, given.size());
    for (const std::u16string& text : below)
        if (!keys.TextBoundEntry(def, level, given, text, false, lower) ||
            !keys.TextBoundEntry(def, level, given, text, true, upper))
            return std::nullopt;
    const std::int32_t landed = GetDateiVerweis(entry);
    std::span<std::byte> landing = Scratch(kScratchLanding, given.size());
    std::copy(entry.begin(), entry.end(), landing.begin());
    std::span<std::byte> best = Scratch(kScratchBest, given.size());
    std::int32_t bestRecNo = 0;
    const auto accept = [&] {
        const std::int32_t recNo = GetDateiVerweis(entry);
        if (GotoRecord(recNo) != 0 || !IsValidRecord())
            return false;
        bestRecNo = recNo;
        std::copy(entry.begin(), entry.end(), best.begin());
        return true;
    };
    bool unique = true;
    for (const std::u16string& text : below) {
        keys.TextBoundEntry(def, level, given, text, false, lower);
        keys.TextBoundEntry(def, level, given, text, true, upper);
        std::copy(lower.begin(), lower.end(), entry.begin());
        const int found = WalkToBeginning(index, level, given, entry, [&] {
            return keys.IndexLess(entry, upper, unique, 0, def) &&
                   keys.IndexLess(entry, landing, unique, 0, def) &&
                   (bestRecNo == 0 || keys.IndexLess(entry, best, unique, 0, def));
        });
        if (found < -1)
            return found;
        if (found == 0) {
            bestRecNo = GetDateiVerweis(entry);
            std::copy(entry.begin(), entry.end(), best.begin());
        }
    }
    // Texts below the searched one sort below its own primary key: their entries come first.
    if (bestRecNo == 0) {
        std::copy(before.begin(), before.end(), entry.begin());
        int found = 0;
        while (found == 0 && (level == 0 || keys.FindSortKeyDiff(def, entry, given) >= level)) {
            TTdbKeyText key;
            if (!keys.KeyText(def, level, entry, key) || key.IsNull)
                break;
            FEntryText.resize(static_cast<std::size_t>(key.Length));
            for (std::size_t i = 0; i < FEntryText.size(); ++i)
                FEntryText[i] = KeyChar(key.Chars, i);
            if (searched.Collation->Compare(FEntryText, FSearchedText, 0) != 0)
                break;
            if (BeginsWithSearched(def, level, entry, given))
                accept();
            found = index.Vorheriger_Index(entry);
        }
        if (found < -1)
            return found;
    }
    if (bestRecNo == 0) {
        GotoRecord(landed);
        return 0;
    }
    GotoRecord(bestRecNo);
    exact = keys.FindSortKeyDiff(def, best, given) > level;
    return bestRecNo;
}

bool TTdbAccessor::FindFirstCommonRecord(TTdbAccessor& accessor, bool move) {
    TReadLock lock(*this);
    if (!lock.Held())
        RaiseNonCritical();
    Push();
    bool found = false;
    std::int16_t result = accessor.First();
    while (result == 0) {
        if (GotoRecord(accessor.RecordNo()) == 0 && IsValidRecord()) {
            found = true;
            break;
        }
        result = accessor.Next();
    }
    if (found && move)
        FSavedPositions.pop_back();
    else
        Pop();
    if (!found && result != kTdbNoRecord)
        RaiseNonCritical();
    return found;
}

// ---- Order, range, filter ----

TTdbSortNo TTdbAccessor::AccessId() const noexcept {
    switch (FCurrentAccessType) {
        case tatIndex:
            return FCurrentIndexNo;
        case tatBookmarks:
            return kTdbAccessBookmarks;
        default:
            return kTdbAccessRecordNo;
    }
}

void TTdbAccessor::SetAccess(TTdbSortNo accessId, bool reverse) {
    if (accessId == kTdbAccessRecordNo) {
        FCurrentAccessType = tatRecordNo;
        FCurrentIndexNo = kTdbNoIndexNo8;
        FReverse = reverse;
        AllocateKeyBuffers();
        FCurrentSequenceNo = -1;
        if (FCurrentRecordNo > 0)
            ComputeCurrentKey();
        return;
    }
    if (accessId == kTdbAccessBookmarks) {
        FCurrentAccessType = tatBookmarks;
        FCurrentIndexNo = kTdbNoIndexNo8;
        FReverse = reverse;
        AllocateKeyBuffers();
        const std::int32_t position = FBookmarks->FindSequence(FCurrentRecordNo);
        if (position >= 0) {
            FCurrentSequenceNo = reverse ? FBookmarks->Count() - position : position + 1;
            SetDateiVerweis(FCurrentIndexInfo, FCurrentRecordNo);
        } else if (First() != 0) {
            ToBoT();
        }
        return;
    }
    if (accessId < 0 || accessId > kTdbMaxIndexNo)
        RaiseEngineError(kTdbErrInvalidParameter, {NumberText(accessId)});
    CheckIndexUsable(accessId, true);
    FCurrentAccessType = tatIndex;
    FCurrentIndexNo = static_cast<std::uint8_t>(accessId);
    FReverse = reverse;
    AllocateKeyBuffers();
    FCurrentSequenceNo = -1;
    if (FCurrentRecordNo >= 0)
        ComputeCurrentKey();
}

void TTdbAccessor::SetAccess(TTdbAccessType accessType, TTdbIndexNo indexNo, bool reverse) {
    if (accessType == tatRecordNo || indexNo == 255)
        SetAccess(kTdbAccessRecordNo, reverse);
    else if (accessType == tatBookmarks || indexNo == 254)
        SetAccess(kTdbAccessBookmarks, reverse);
    else
        SetAccess(static_cast<TTdbSortNo>(indexNo), reverse);
}

void TTdbAccessor::SetBestAccess(TTdbCondition& condition) {
    std::vector<std::byte> lower;
    std::vector<std::byte> upper;
    const int indexNo =
        condition.FindBestIndexAndBounds(static_cast<TTdbRltnIdx>(RltnIdx()), lower, upper);
    if (indexNo < 0 || indexNo > kTdbMaxIndexNo)
        return;
    SetRange(static_cast<TTdbSortNo>(indexNo), lower, upper);
}

void TTdbAccessor::SetRange(TTdbSortNo accessId, std::span<const std::byte> lowerBound,
                            std::span<const std::byte> upperBound) {
    if (accessId != AccessId())
        SetAccess(accessId, FReverse);
    ClearRange();
    std::copy_n(lowerBound.begin(), std::min(lowerBound.size(), FRangeLowerBound.size()),
                FRangeLowerBound.begin());
    std::copy_n(upperBound.begin(), std::min(upperBound.size(), FRangeUpperBound.size()),
                FRangeUpperBound.begin());
    FCurrentSequenceNo = -1;
}

void TTdbAccessor::SetRange(TTdbSortNo accessId, std::u16string_view lowerBound,
                            std::u16string_view upperBound, char16_t separator) {
    if (accessId != AccessId())
        SetAccess(accessId, FReverse);
    ClearRange();
    FCurrentSequenceNo = -1;
    if (FCurrentAccessType == tatIndex) {
        const TTdbSortDef& def = CurrentIndex()->IndexDef();
        if (!lowerBound.empty())
            FRelation.Keys().StringToIndex(def, lowerBound, 1, separator, FRangeLowerBound);
        if (!upperBound.empty())
            FRelation.Keys().StringToIndex(def, upperBound, kUpperRecNoPart, separator,
                                           FRangeUpperBound);
        return;
    }
    const auto number = [](std::u16string_view text) {
        const std::string narrow(text.begin(), text.end());
        std::int32_t value = 0;
        const auto [end, error] =
            std::from_chars(narrow.data(), narrow.data() + narrow.size(), value);
        if (error != std::errc{} || end != narrow.data() + narrow.size() || value < 1)
            RaiseEngineError(kTdbErrInvalidNumber, {std::u16string(text)});
        return value;
    };
    const std::int32_t lower = lowerBound.empty() ? 0 : number(lowerBound);
    const std::int32_t upper = upperBound.empty() ? 0 : number(upperBound);
    SetDateiVerweis(FRangeLowerBound, lower);
    SetDateiVerweis(FRangeUpperBound, upper);
}

void TTdbAccessor::GetRange(std::vector<std::byte>& lowerBound,
                            std::vector<std::byte>& upperBound) const {
    lowerBound = FRangeLowerBound;
    upperBound = FRangeUpperBound;
}

void TTdbAccessor::SetFilter(std::unique_ptr<TTdbCondition> filter) {
    FFilter = std::move(filter);
}

std::unique_ptr<TTdbCondition> TTdbAccessor::ExchangeFilter(std::unique_ptr<TTdbCondition> filter) {
    return std::exchange(FFilter, std::move(filter));
}

void TTdbAccessor::SetBookmarks(const TTdbBookmarkList& bookmarks) {
    FBookmarks->CopyFrom(bookmarks);
    BookmarksChanged();
}

std::unique_ptr<TTdbBookmarkList> TTdbAccessor::ExchangeBookmarks(
    std::unique_ptr<TTdbBookmarkList> list) {
    if (!list)
        list = std::make_unique<TTdbBookmarkList>();
    auto old = std::exchange(FBookmarks, std::move(list));
    BookmarksChanged();
    return old;
}

void TTdbAccessor::BookmarksChanged() noexcept {
    if (FCurrentAccessType == tatBookmarks)
        FCurrentSequenceNo = -1;
}

bool TTdbAccessor::IsValidForCondition(TTdbCondition& condition) {
    std::span<std::byte> record = RecordPtr();
    return condition.Evaluate(static_cast<TTdbRltnIdx>(RltnIdx()), record) == tvTrue;
}

TTdbAccessor::TScanOrder TTdbAccessor::AppendBookmarks(TTdbCondition& condition,
                                                       TTdbAccessor* reference,
                                                       TTdbBookmarkList& bookmarks) {
    TReadLock lock(*this);
    if (!lock.Held())
        RaiseNonCritical();
    SetBestAccess(condition);
    for (std::int16_t result = First(); result == 0; result = Next()) {
        if (!IsValidForCondition(condition))
            continue;
        if (reference != nullptr &&
            (reference->GotoRecord(FCurrentRecordNo) != 0 || !reference->IsValidRecord()))
            continue;
        bookmarks.Append(FCurrentRecordNo);
    }
    const TScanOrder walked{AccessId(), FReverse};
    SetAccess(kTdbAccessRecordNo, false);
    return walked;
}

void TTdbAccessor::IntersectBookmarks(TTdbCondition& condition, TTdbBookmarkList& bookmarks) {
    // Without the lock every record would look gone and the whole list would be dropped.
    TReadLock lock(*this);
    if (!lock.Held())
        RaiseNonCritical();
    for (std::int32_t slot = bookmarks.FindLast(); slot >= 0; slot = bookmarks.FindPrev(slot))
        if (GotoRecord(bookmarks.Item(slot)) != 0 || !IsValidForCondition(condition))
            bookmarks.DeleteAt(slot);
}

void TTdbAccessor::RemoveBookmarks(TTdbCondition& condition, TTdbBookmarkList& bookmarks) {
    TReadLock lock(*this);
    if (!lock.Held())
        RaiseNonCritical();
    for (std::int32_t slot = bookmarks.FindLast(); slot >= 0; slot = bookmarks.FindPrev(slot))
        if (GotoRecord(bookmarks.Item(slot)) == 0 && IsValidForCondition(condition))
            bookmarks.DeleteAt(slot);
}

// ---- Saving and handing over positions ----

void TTdbAccessor::Push() {
    FSavedPositions.push_back({FRangeLowerBound, FRangeUpperBound, FCurrentIndexInfo,
                               FCurrentIndexNo, FCurrentAccessType, FReverse, FCurrentRecBufUpdated,
                               FCurrentSequenceNo, FCurrentRecordNo});
}

void TTdbAccessor::Pop() {
    if (FSavedPositions.empty())
        RaiseEngineError(kTdbErrInvalidParameter, {u"Pop"});
    TSavedPosition& saved = FSavedPositions.back();
    FCurrentRecordNo = saved.RecordNo;
    FCurrentSequenceNo = saved.SequenceNo;
    FCurrentAccessType = saved.AccessType;
    FCurrentIndexNo = saved.IndexNo;
    FReverse = saved.Reverse;
    FCurrentIndexInfo = std::move(saved.Key);
    FRangeUpperBound = std::move(saved.Upper);
    FRangeLowerBound = std::move(saved.Lower);
    FCurrentRecBufUpdated = false;
    FSavedPositions.pop_back();
}

void TTdbAccessor::Reset() {
    SetAccess(kTdbAccessRecordNo, false);
    ToBoT();
    FFilter.reset();
    FBookmarks->Clear();
}

void TTdbAccessor::TakeOver(TTdbAccessor& accessor, TTdbTakeOverMode mode) {
    if (&accessor == this)
        return;
    if (&accessor.FRelation != &FRelation)
        RaiseEngineError(kTdbErrInvalidParameter, {u"TakeOver"});
    accessor.RecordPtr();
    std::copy(accessor.FCurrentRecBuf.begin(), accessor.FCurrentRecBuf.end(),
              FCurrentRecBuf.begin());
    FCurrentRecBufUpdated = accessor.FCurrentRecBufUpdated;
    FCurrentRecordNo = accessor.FCurrentRecordNo;
    FCurrentSequenceNo = accessor.FCurrentSequenceNo;
    FPendingBlobs = accessor.FPendingBlobs;
    if (mode == tomIgnore) {
        if (FCurrentAccessType == tatIndex || CurrentKeyDef() != nullptr)
            ComputeCurrentKey();
        FCurrentSequenceNo = -1;
        return;
    }
    FWorkRecordNo = accessor.FWorkRecordNo;
    FWorkRecordId = accessor.FWorkRecordId;
    std::copy(accessor.FWorkRecBuf.begin(), accessor.FWorkRecBuf.end(), FWorkRecBuf.begin());
    FCurrentEditState = accessor.FCurrentEditState;
    FSavedRecordNo = accessor.FSavedRecordNo;
    FCurrentAccessType = accessor.FCurrentAccessType;
    FCurrentIndexNo = accessor.FCurrentIndexNo;
    FReverse = accessor.FReverse;
    FCurrentIndexInfo = accessor.FCurrentIndexInfo;
    FRangeLowerBound = accessor.FRangeLowerBound;
    FRangeUpperBound = accessor.FRangeUpperBound;
    if (mode == tomMove) {
        FBookmarks = std::exchange(accessor.FBookmarks, std::make_unique<TTdbBookmarkList>());
        // The edit, and its record lock, now belong to this accessor.
        accessor.FCurrentEditState = esBrowse;
        accessor.FWorkRecordNo = -1;
    } else {
        FBookmarks->CopyFrom(*accessor.FBookmarks);
    }
}

// ---- Values ----

std::int32_t TTdbAccessor::ReservedIdOf(std::span<const std::byte> recBuffer) const {
    std::int32_t id = 0;
    if (!FRelation.HasRecordId() ||
        !FRelation.Access().GetRecordId(recBuffer, FRelation.RecordIdFieldNo(), id))
        return -1;
    return id;
}

std::int32_t TTdbAccessor::GetRecordId() {
    return ReservedIdOf(RecordPtr());
}

// ---- Notifications ----

void TTdbAccessor::RecordDeleted(std::int32_t deletedRecNo, std::int32_t movedRecNo) {
    // Nothing moved: the table says 0, the move file of another session the deleted number.
    const bool moved = movedRecNo > 0 && movedRecNo != deletedRecNo;
    if (deletedRecNo == FCurrentRecordNo) {
        FRecordDeleted = true;
        const std::int32_t count = FRelation.GetRecordCount();
        switch (FCurrentAccessType) {
            case tatRecordNo:
                // Stored tables keep their slots: the record after the deleted one is the next
                // number (the moved record came from the end and was passed already).
                if (count <= 0)
                    ToBoT();
                else
                    Positioned(std::min(deletedRecNo + (moved ? 1 : 0), count));
                if (FCurrentRecordNo > 0)
                    ComputeCurrentKey();
                break;
            case tatBookmarks: {
                const std::int32_t slot = FBookmarks->Find(deletedRecNo);
                std::int32_t other = slot < 0 ? -1 : FBookmarks->FindNext(slot);
                if (other < 0)
                    other = slot < 0 ? FBookmarks->FindLast() : FBookmarks->FindPrev(slot);
                if (other < 0)
                    ToBoT();
                else
                    Positioned(FBookmarks->Item(other));
                break;
            }
            case tatIndex: {
                TTdbIndexFile& index = *CurrentIndex();
                std::span<std::byte> key = FCurrentIndexInfo;
                const int found = index.Suche_Index(key);
                if (found == 0 && KeyInRange(key))
                    Positioned(GetDateiVerweis(key));
                else if (RawLast() != 0)
                    ToBoT();
                break;
            }
            default:
                ToBoT();
        }
        if (FCurrentRecordNo > 0)
            FCurrentSequenceNo = -1;
    }
    if (moved) {
        if (FCurrentRecordNo == movedRecNo) {
            FCurrentRecordNo = deletedRecNo;
            if (FCurrentAccessType != tatRecordNo || CurrentKeyDef() == nullptr)
                SetDateiVerweis(FCurrentIndexInfo, deletedRecNo);
            FCurrentSequenceNo = -1;
        }
        if (FWorkRecordNo == movedRecNo)
            FWorkRecordNo = deletedRecNo;
    }
    FBookmarks->Delete(deletedRecNo);
    if (moved) {
        const std::int32_t slot = FBookmarks->Find(movedRecNo);
        if (slot >= 0)
            FBookmarks->SetItem(slot, deletedRecNo);
    }
    if (FCurrentAccessType == tatBookmarks)
        FCurrentSequenceNo = -1;
    if (OnRecordDeleted)
        OnRecordDeleted(*this, deletedRecNo, movedRecNo);
}

void TTdbAccessor::RecordChanged(std::int32_t recNo) {
    if (recNo == FCurrentRecordNo)
        FCurrentRecBufUpdated = false;
    if (OnRelationChanged)
        OnRelationChanged(*this);
}

void TTdbAccessor::RelationChanged() {
    FCurrentRecBufUpdated = false;
    if (OnRelationChanged)
        OnRelationChanged(*this);
}

void TTdbAccessor::RelationEmptied() {
    if (OnRelationEmptied)
        OnRelationEmptied(*this);
    ToBoT();
}

bool TTdbAccessor::CanRemoveIndex(TTdbIndexNo indexNo) {
    return !(FCurrentAccessType == tatIndex && FCurrentIndexNo == indexNo);
}

void TTdbAccessor::IndexRemoved(TTdbIndexNo indexNo) {
    if (FCurrentAccessType != tatIndex)
        return;
    if (FCurrentIndexNo == indexNo) {
        FCurrentAccessType = tatRecordNo;
        FCurrentIndexNo = kTdbNoIndexNo8;
        AllocateKeyBuffers();
        FCurrentSequenceNo = -1;
        SetDateiVerweis(FCurrentIndexInfo, std::max(FCurrentRecordNo, 0));
    } else if (FCurrentIndexNo > indexNo) {
        --FCurrentIndexNo;
    }
}

bool TTdbAccessor::IsEditing(std::int32_t recNo) {
    return FCurrentEditState == esEdit && FWorkRecordNo == recNo;
}

// ---- Editing ----

std::int16_t TTdbAccessor::InitRecord(bool preset) {
    FPendingBlobs.clear();
    FCurrentRecordNo = 0;
    FCurrentSequenceNo = -2;
    FWorkRecordId = -1;
    std::int16_t result = FRelation.InitRecord(FCurrentRecBuf, preset);
    if (result >= 0 && preset) {
        result = FRelation.BerechneFormeln(FCurrentRecBuf, Purposes(true, true, true));
        FWorkRecordId = ReservedIdOf(FCurrentRecBuf);
    }
    FCurrentRecBufUpdated = result >= 0;
    return result < 0 ? result : 0;
}

void TTdbAccessor::CancelEdit() {
    if (FCurrentEditState != esBrowse)
        Cancel();
}

std::int16_t TTdbAccessor::Append() {
    if ((FRelation.Rights() & kRightAppend) == 0)
        return Fail(34);
    CancelEdit();
    FSavedRecordNo = FCurrentRecordNo;
    FCurrentRecordNo = 0;
    std::int16_t result = FRelation.InitRecord(FWorkRecBuf, true);
    if (result >= 0)
        result = FRelation.BerechneFormeln(FWorkRecBuf, Purposes(true, true, true));
    if (result < 0) {
        FCurrentRecordNo = FSavedRecordNo;
        return result;
    }
    FPendingBlobs.clear();
    FWorkRecordNo = 0;
    FWorkRecordId = ReservedIdOf(FWorkRecBuf);
    FCurrentEditState = esAppend;
    FCurrentSequenceNo = -2;
    return 0;
}

std::int16_t TTdbAccessor::AppendDuplicate() {
    if ((FRelation.Rights() & kRightAppend) == 0)
        return Fail(34);
    if (FCurrentRecordNo > 0 && FCurrentRecordNo != FWorkRecordNo) {
        const std::int16_t read = UpdateRecBuf();
        if (read < 0)
            return read;
    }
    const std::vector<std::byte> old(RecordPtr().begin(), RecordPtr().end());
    const std::int16_t result = Append();
    if (result < 0)
        return result;
    // Every column but the record id; memo and blob columns would have their contents read and
    // set as pending values here, but no table has them yet.
    std::copy(old.begin(), old.end(), FWorkRecBuf.begin());
    if (FRelation.HasRecordId())
        FRelation.Access().SetRecordId(FWorkRecBuf, FRelation.RecordIdFieldNo(), FWorkRecordId,
                                       FWorkRecordId < 1);
    return 0;
}

std::int16_t TTdbAccessor::Edit() {
    if ((FRelation.Rights() & kRightEdit) == 0)
        return Fail(kTdbErrNoWriteRight, {FRelation.GetName()});
    CancelEdit();
    if (FCurrentRecordNo < 1)
        return Fail(kTdbErrRecordNotFound, {NumberText(FCurrentRecordNo)});
    const std::uint32_t start = platform::GetTickCount();
    for (;;) {
        std::int16_t locked;
        {
            // The record is read under the lock that found it free: once the lock is gone,
            // another session's delete may move the locked record to another slot.
            TReadLock lock(*this);
            locked = lock.Held()
                         ? FRelation.CheckEdit(FCurrentRecordNo, this)
                         : static_cast<std::int16_t>(-Services().LastError().LastErrorCode());
            if (locked >= 0) {
                const std::int16_t read = UpdateRecBuf();
                if (read < 0) {
                    FRelation.EndEdit(FCurrentRecordNo);
                    return read;
                }
                break;
            }
        }
        const std::uint32_t waited = platform::GetTickCount() - start;
        if (Services().FLockingTimeout <= 0 ||
            waited >= static_cast<std::uint32_t>(Services().FLockingTimeout))
            return locked;
        platform::Sleep(TTdbRelation::kEditRetryMs);
    }
    std::copy(FCurrentRecBuf.begin(), FCurrentRecBuf.end(), FWorkRecBuf.begin());
    FWorkRecordNo = FCurrentRecordNo;
    FCurrentEditState = esEdit;
    return 0;
}

std::int16_t TTdbAccessor::Post() {
    std::int16_t result;
    switch (FCurrentEditState) {
        case esEdit: {
            // The lock first: it brings the moves of other sessions' deletes, which renumber
            // the edited record, and keeps the old image read below the one replaced.
            result = FRelation.BeginUpgrade(true);
            if (result < 0)
                return result;
            if (FWorkRecordNo < 1 || FWorkRecordNo > FRelation.GetRecordCount() ||
                FWorkRecordNo != FCurrentRecordNo) {
                result = Fail(kTdbErrRecordNotFound, {NumberText(FCurrentRecordNo)});
            } else {
                // The current-record buffer reads the record as stored: the old image.
                result = UpdateRecBuf();
                if (result >= 0)
                    result = ReplaceRecord(FCurrentRecBuf);
            }
            FRelation.EndUpgrade();
            if (result < 0)
                return result;
            FRelation.EndEdit(FWorkRecordNo);
            break;
        }
        case esAppend:
            result = AppendRecord();
            if (result < 0)
                return result;
            break;
        default:
            return kTdbNoRecord;
    }
    FPendingBlobs.clear();
    FWorkRecordNo = -1;
    FCurrentEditState = esBrowse;
    FCurrentRecBufUpdated = false;
    return 0;
}

std::int16_t TTdbAccessor::Cancel() {
    if (FCurrentEditState == esEdit) {
        FRelation.EndEdit(FWorkRecordNo);
        FPendingBlobs.clear();
    } else if (FCurrentEditState == esAppend) {
        if (auto* table = dynamic_cast<TTdbBaseTable*>(&FRelation);
            table != nullptr && table->HasRecordId()) {
            const std::int32_t id = ReservedIdOf(FWorkRecBuf);
            if (id > 0)
                table->CancelAutoNum(id);
        }
        FWorkRecordNo = -1;
        FPendingBlobs.clear();
        if (FSavedRecordNo < 0 || GotoRecord(FSavedRecordNo) != 0)
            ToBoT();
        FCurrentSequenceNo = -1;
    }
    FWorkRecordNo = -1;
    FCurrentEditState = esBrowse;
    FCurrentRecBufUpdated = false;
    return 0;
}

std::int16_t TTdbAccessor::AppendFrom(std::span<std::byte> recBuffer) {
    if ((FRelation.Rights() & kRightAppend) == 0)
        return Fail(34);
    std::int16_t result = FRelation.BerechneFormeln(recBuffer, Purposes(false, true, true));
    if (result < 0)
        return result;
    // Held until the accessor stands on the new record: without it another session's delete
    // could move the record away from the number the append gave.
    result = FRelation.BeginUpgrade(true);
    if (result < 0)
        return result;
    const std::int32_t recNo = FRelation.AppendRecord(recBuffer, FPendingBlobs);
    if (recNo <= 0) {
        FRelation.EndUpgrade();
        return recNo < 0 ? static_cast<std::int16_t>(recNo) : Fail(kTdbErrWriteFile);
    }
    if (auto* table = dynamic_cast<TTdbBaseTable*>(&FRelation);
        table != nullptr && table->HasRecordId() && FWorkRecordId > 0) {
        const std::int32_t stored = ReservedIdOf(recBuffer);
        if (stored < FWorkRecordId)
            table->CancelAutoNum(FWorkRecordId);
        else if (stored > FWorkRecordId)
            table->AdjustRecordId(recBuffer);
    }
    FWorkRecordNo = -1;
    FCurrentRecordNo = -1;
    result = GotoRecord(recNo);
    FRelation.EndUpgrade();
    FCurrentSequenceNo = -1;
    return result;
}

std::int16_t TTdbAccessor::AppendRecord() {
    return AppendFrom(RecordPtr());
}

std::int16_t TTdbAccessor::ReplaceAt(std::int32_t recNo, std::span<std::byte> recBuffer,
                                     std::span<const std::byte> origRecBuffer) {
    std::int16_t result = FRelation.BeginUpgrade(true);
    if (result < 0)
        return result;
    result = FRelation.BerechneFormeln(recBuffer, Purposes(false, false, true));
    if (result >= 0)
        result = FRelation.ReplaceRecord(recBuffer, origRecBuffer, recNo, FPendingBlobs);
    FRelation.EndUpgrade();
    return result < 0 ? result : 0;
}

std::int16_t TTdbAccessor::ReplaceRecord(std::span<const std::byte> origRecBuffer) {
    return ReplaceAt(FCurrentRecordNo, RecordPtr(), origRecBuffer);
}

std::int16_t TTdbAccessor::DeleteRecord() {
    if (FCurrentRecordNo < 1 || FCurrentRecordNo > FRelation.GetRecordCount())
        return Fail(kTdbErrRecordNotFound, {NumberText(FCurrentRecordNo)});
    CancelEdit();
    // The lock brings other sessions' deletes: the current record may have moved to another
    // number, which is followed, or be gone, and then the accessor's next record is not the
    // one asked for.
    const bool wasDeleted = FRecordDeleted;
    std::int16_t result = FRelation.BeginUpgrade(true);
    if (result < 0)
        return result;
    const std::int32_t recNo = FCurrentRecordNo;
    if (recNo < 1 || recNo > FRelation.GetRecordCount() || (FRecordDeleted && !wasDeleted)) {
        FRelation.EndUpgrade();
        return Fail(kTdbErrRecordNotFound, {NumberText(recNo)});
    }
    result = FRelation.ReadRecord(recNo, FWorkRecBuf);
    if (result >= 0)
        result = FRelation.DeleteRecord(FWorkRecBuf, recNo);
    if (result < 0)
        GotoRecord(recNo);
    FRelation.EndUpgrade();
    return result < 0 ? result : 0;
}

std::int16_t TTdbAccessor::WriteTo(std::int32_t recNo) {
    std::int16_t result;
    if (recNo == 0) {
        result = AppendRecord();
    } else if (recNo < 0 || recNo > FRelation.GetRecordCount()) {
        result = kTdbNoRecord;
    } else {
        std::span<std::byte> old = Scratch(kScratchRecord, FCurrentRecBuf.size());
        result = FRelation.ReadRecord(recNo, old);
        if (result >= 0)
            result = ReplaceAt(recNo, RecordPtr(), old);
    }
    FPendingBlobs.clear();
    return result;
}

}  // namespace tdb
