// Column values inside record buffers: every access is checked against the
// record's layout first, then read in place through the column's type or
// written from a scratch value, so that a failure never leaves half a value.
#include "types/record_access.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "base/byte_image.h"
#include "base/engine_error.h"
#include "base/engine_errors.h"
#include "types/calendar.h"
#include "types/collation.h"
#include "types/text_forms.h"

namespace tdb {

namespace {

constexpr std::int16_t kLowestLevel = 1;
constexpr std::int32_t kBlockReferenceSize = 4;
// Wide strings up to this many characters are compared on the stack.
constexpr std::size_t kStackChars = 256;

struct TRange {
    std::int64_t Lo;
    std::int64_t Hi;
};

// The values each integer form holds; kept here so that the hot getters
// need no registry look-up.
TRange FormRange(TTdbColumnType form) noexcept {
    switch (form) {
        case ctSmallInt:
            return {std::numeric_limits<std::int16_t>::min(),
                    std::numeric_limits<std::int16_t>::max()};
        case ctByte:
            return {0, std::numeric_limits<std::uint8_t>::max()};
        case ctAutoInc:
        case ctLink:
        case ctBlob:
            return {0, std::numeric_limits<std::int32_t>::max()};
        case ctInteger:
            return {std::numeric_limits<std::int32_t>::min(),
                    std::numeric_limits<std::int32_t>::max()};
        default:
            return {std::numeric_limits<std::int64_t>::min(),
                    std::numeric_limits<std::int64_t>::max()};
    }
}

bool IsZeroNullKind(TTdbColumnType columnType) noexcept {
    switch (columnType) {
        case ctDate:
        case ctTimeStamp:
        case ctEnum:
        case ctLink:
        case ctAutoInc:
            return true;
        default:
            return false;
    }
}

std::u16string FieldNoText(int fieldNo) {
    return u"FieldNo " + IntegerToText(fieldNo);
}

}  // namespace

TTdbRecordAccess::TTdbRecordAccess(const TTdbColumnDefs& columnDefs, std::int16_t tableLevel)
    : FColumnDefs(&columnDefs), FLevel(tableLevel) {
    if (tableLevel < kLowestLevel || tableLevel > kCurrentTableLevel) {
        RaiseEngineError(kTdbErrInvalidParameter, {u"TableLevel " + IntegerToText(tableLevel)});
    }
    FBlockType = TTdbDataType::GetIntegerType(ctBlob, true, tableLevel);
}

// ---------------------------------------------------------------------------
// Layout

const TTdbColumnDef& TTdbRecordAccess::Column(int fieldNo) const {
    if (fieldNo < 1 || fieldNo > FColumnDefs->GetCount()) {
        RaiseEngineError(kTdbErrInvalidParameter, {FieldNoText(fieldNo)});
    }
    return *FColumnDefs->GetColumnDef(fieldNo - 1);
}

void TTdbRecordAccess::CheckBuffer(std::size_t bufferSize) const {
    if (bufferSize < static_cast<std::size_t>(GetRecordSize())) {
        RaiseEngineError(kTdbErrInvalidParameter, {u"RecBuffer"});
    }
}

TTdbRecordAccess::Slot TTdbRecordAccess::Locate(std::size_t bufferSize, const std::byte* record,
                                                int fieldNo) const {
    const TTdbColumnDef& def = Column(fieldNo);
    CheckBuffer(bufferSize);
    Slot s{&def, def.DataType, nullptr, Kind::None};
    std::int32_t needed = 0;
    switch (def.GetColumnType()) {
        case ctMemo:
        case ctWideMemo:
        case ctBlob:
            s.kind = Kind::Block;
            s.type = FBlockType;
            needed = kBlockReferenceSize;
            break;
        case ctRelation:
            s.kind = Kind::None;
            break;
        case ctSmallInt:
        case ctByte:
        case ctBoolean:
        case ctAutoInc:
        case ctLink:
        case ctInteger:
        case ctBigInt:
            s.kind = Kind::Integer;
            break;
        case ctEnum:
            s.kind = Kind::Enum;
            break;
        case ctFloat:
            s.kind = Kind::Float;
            break;
        case ctChar:
            s.kind = Kind::Char;
            break;
        case ctString:
        case ctWideString:
            s.kind = Kind::String;
            break;
        case ctDate:
            s.kind = Kind::Date;
            break;
        case ctTime:
            s.kind = Kind::Time;
            break;
        case ctTimeStamp:
            s.kind = Kind::TimeStamp;
            break;
        case ctGuid:
            s.kind = Kind::Guid;
            break;
        default:
            break;
    }
    if (s.kind != Kind::Block && s.kind != Kind::None) {
        needed = def.DataType->GetDataSize();
    }
    // A definition whose type needs more bytes than the column has, or that
    // lies outside the record, would make the type read a neighbour's bytes.
    if (def.Position < 0 || def.Size < needed ||
        static_cast<std::int64_t>(def.Position) + def.Size > GetRecordSize()) {
        RaiseEngineError(kTdbErrInvalidParameter, {def.Name});
    }
    // The types read and write images through non-const pointers; getters
    // only ever read through them.
    s.image = reinterpret_cast<std::uint8_t*>(const_cast<std::byte*>(record)) + def.Position;
    return s;
}

TTdbRecordAccess::Slot TTdbRecordAccess::Locate(std::span<const std::byte> record,
                                                int fieldNo) const {
    return Locate(record.size(), record.data(), fieldNo);
}

TTdbRecordAccess::Slot TTdbRecordAccess::Locate(std::span<std::byte> record, int fieldNo) const {
    return Locate(record.size(), record.data(), fieldNo);
}

std::int32_t TTdbRecordAccess::GetFieldPos(int fieldNo) const {
    return Column(fieldNo).Position;
}

std::int32_t TTdbRecordAccess::GetFieldSize(int fieldNo) const {
    return Column(fieldNo).Size;
}

const TTdbDataType* TTdbRecordAccess::GetDataType(int fieldNo) const {
    return Column(fieldNo).DataType;
}

bool TTdbRecordAccess::GetHasNullByte(int fieldNo) const {
    return Column(fieldNo).GetHasNullByte();
}

const TTdbDataType* TTdbRecordAccess::GetValueType(int fieldNo) const {
    const TTdbColumnDef& def = Column(fieldNo);
    switch (def.GetColumnType()) {
        case ctMemo:
        case ctWideMemo:
        case ctBlob:
            return FBlockType;
        default:
            return def.DataType;
    }
}

// ---------------------------------------------------------------------------
// Shared steps

void TTdbRecordAccess::RaiseMismatch(const Slot& s, std::u16string_view form, bool reading) {
    // A block column's script name would say "String" for a memo; its SQL
    // name says what the record really holds.
    std::u16string column =
        s.kind == Kind::Block ? s.def->DataType->GetSqlName() : s.def->DataType->GetTplName();
    std::u16string text =
        reading ? column + u"->" + std::u16string(form) : std::u16string(form) + u"->" + column;
    RaiseEngineError(kTdbErrTypeMismatch, {text});
}

bool TTdbRecordAccess::SlotIsNull(const Slot& s) const {
    switch (s.kind) {
        case Kind::None:
            return true;
        case Kind::Block:
            return LoadLE<std::int32_t>(s.image) == 0;
        default: {
            TTdbDataValue ref;
            s.type->SetReference(ref, s.image);
            return s.type->IsNull(ref);
        }
    }
}

void TTdbRecordAccess::StoreNull(const Slot& s) const {
    switch (s.kind) {
        case Kind::None:
            RaiseMismatch(s, u"NULL", false);
        case Kind::Block:
            StoreLE<std::int32_t>(s.image, 0);
            return;
        default:
            break;
    }
    if (!s.type->GetHasNullByte() && IsZeroNullKind(s.type->GetColumnType())) {
        // Their NULL is the zero value, whether or not the type is nullable.
        std::memset(s.image, 0, static_cast<std::size_t>(s.type->GetDataSize()));
        return;
    }
    // The indicator byte, or the type's refusal of NULL.
    TTdbDataValue ref;
    s.type->SetReference(ref, s.image);
    s.type->SetNull(ref);
}

void TTdbRecordAccess::Store(const Slot& s, const TTdbDataValue& owned) {
    // CopyTo writes the whole image, a string's unused tail as zeros, so no
    // stale characters of an earlier, longer value stay in the record.
    s.type->CopyTo(owned, s.image);
}

bool TTdbRecordAccess::ReadConverted(const Slot& s, const TTdbDataType* form, TTdbDataValue& out) {
    TTdbDataValue ref;
    s.type->SetReference(ref, s.image);
    if (s.type->IsNull(ref)) {
        return false;
    }
    TTdbDataType::Convert(ref, out, s.type, form, false);
    return !form->IsNull(out);
}

void TTdbRecordAccess::WriteConverted(const Slot& s, const TTdbDataValue& value,
                                      const TTdbDataType* form) {
    TTdbDataValue scratch;
    TTdbDataType::Convert(value, scratch, form, s.type, false);
    Store(s, scratch);
}

const TTdbDataType* TTdbRecordAccess::FormType(TTdbColumnType form) const {
    switch (form) {
        case ctFloat:
            return TTdbDataType::GetFloatType(true, 0, FLevel);
        case ctDate:
        case ctTime:
        case ctTimeStamp:
            return TTdbDataType::GetDateTimeType(form, true, 4, FLevel);
        case ctGuid:
            return TTdbDataType::GetDataType(ctGuid, true, FLevel);
        default:
            return TTdbDataType::GetIntegerType(form, true, FLevel);
    }
}

// ---------------------------------------------------------------------------
// Records

void TTdbRecordAccess::CheckColumns(std::span<const std::byte> record) const {
    CheckBuffer(record.size());
    for (int fieldNo = 1; fieldNo <= GetColumnCount(); ++fieldNo) {
        Locate(record, fieldNo);
    }
}

void TTdbRecordAccess::InitRecord(std::span<std::byte> record) const {
    CheckColumns(record);  // before the first byte changes
    std::memset(record.data(), 0, static_cast<std::size_t>(GetRecordSize()));
    for (int fieldNo = 1; fieldNo <= GetColumnCount(); ++fieldNo) {
        const TTdbColumnDef& def = Column(fieldNo);
        TTdbColumnType code = def.GetColumnType();
        if ((code != ctDate && code != ctTimeStamp) || def.DataType->GetNullable()) {
            continue;
        }
        Slot s = Locate(record, fieldNo);
        StoreLE<std::int32_t>(s.image, kMinPackedDate);
        if (code == ctTimeStamp) {
            StoreLE<std::int32_t>(s.image + 4, 0);
        }
    }
}

bool TTdbRecordAccess::SlotsEqual(const Slot& a, const Slot& b) {
    switch (a.kind) {
        case Kind::None:
            return true;
        case Kind::Block:
            return LoadLE<std::int32_t>(a.image) == LoadLE<std::int32_t>(b.image);
        default:
            break;
    }
    TTdbDataValue va;
    TTdbDataValue vb;
    a.type->SetReference(va, a.image);
    b.type->SetReference(vb, b.image);
    bool nullA = a.type->IsNull(va);
    bool nullB = b.type->IsNull(vb);
    if (nullA || nullB) {
        return nullA == nullB;
    }
    if (a.kind == Kind::String) {
        if (a.type->IsAnsiStringType()) {
            return a.type->GetPAnsiChar(va) == b.type->GetPAnsiChar(vb);
        }
        auto* st = static_cast<const TTdbStringType*>(a.type);
        char16_t bufferA[kStackChars];
        char16_t bufferB[kStackChars];
        std::u16string spillA;
        std::u16string spillB;
        return st->WideView(va, bufferA, kStackChars, spillA) ==
               st->WideView(vb, bufferB, kStackChars, spillB);
    }
    return std::memcmp(a.image, b.image, static_cast<std::size_t>(a.type->GetDataSize())) == 0;
}

bool TTdbRecordAccess::RecordFieldsEqual(std::span<const std::byte> rec1,
                                         std::span<const std::byte> rec2) const {
    // An answer must not depend on where the first difference lies.
    CheckColumns(rec1);
    CheckColumns(rec2);
    for (int fieldNo = 1; fieldNo <= GetColumnCount(); ++fieldNo) {
        if (!SlotsEqual(Locate(rec1, fieldNo), Locate(rec2, fieldNo))) {
            return false;
        }
    }
    return true;
}

bool TTdbRecordAccess::IsNull(std::span<const std::byte> record, int fieldNo) const {
    return SlotIsNull(Locate(record, fieldNo));
}

void TTdbRecordAccess::SetNull(std::span<std::byte> record, int fieldNo) const {
    StoreNull(Locate(record, fieldNo));
}

bool TTdbRecordAccess::GetRecordField(std::span<const std::byte> record, int fieldNo,
                                      std::span<std::byte> dest) const {
    Slot s = Locate(record, fieldNo);
    auto size = static_cast<std::size_t>(s.def->Size);
    if (dest.size() < size) {
        RaiseEngineError(kTdbErrInvalidParameter, {u"Buffer"});
    }
    std::memcpy(dest.data(), s.image, size);
    return !SlotIsNull(s);
}

// ---------------------------------------------------------------------------
// Values

bool TTdbRecordAccess::GetValue(std::span<const std::byte> record, int fieldNo,
                                TTdbDataValue& value) const {
    Slot s = Locate(record, fieldNo);
    if (s.kind == Kind::None) {
        RaiseMismatch(s, u"Value", true);
    }
    TTdbDataValue ref;
    s.type->SetReference(ref, s.image);
    value.DoneValue();
    s.type->Assign(value, ref);
    return !s.type->IsNull(ref);
}

void TTdbRecordAccess::SetValue(std::span<std::byte> record, int fieldNo,
                                const TTdbDataValue& value, const TTdbDataType* valueType,
                                bool undefined) const {
    Slot s = Locate(record, fieldNo);
    if (valueType == nullptr) {
        RaiseEngineError(kTdbErrInvalidParameter, {u"ValueType"});
    }
    if (!value.IsEmpty() && !valueType->IsOfType(value)) {
        RaiseEngineError(kTdbErrInvalidParameter, {u"Value"});
    }
    if (s.kind == Kind::None) {
        RaiseMismatch(s, valueType->GetTplName(), false);
    }
    if (undefined || value.IsEmpty() || valueType->IsNull(value)) {
        StoreNull(s);
        return;
    }
    if (valueType == s.type) {
        Store(s, value);
        return;
    }
    WriteConverted(s, value, valueType);
}

bool TTdbRecordAccess::PutValue(std::span<std::byte> record, int fieldNo,
                                TTdbDataValue& value) const {
    Slot s = Locate(record, fieldNo);
    if (s.kind == Kind::None) {
        RaiseMismatch(s, u"Value", true);
    }
    s.type->SetReference(value, s.image);
    return !s.type->IsNull(value);
}

// ---------------------------------------------------------------------------
// Strings

bool TTdbRecordAccess::GetAnsiString(std::span<const std::byte> record, int fieldNo,
                                     std::string& value) const {
    Slot s = Locate(record, fieldNo);
    if (s.kind != Kind::String && s.kind != Kind::Char) {
        RaiseMismatch(s, u"String", true);
    }
    TTdbDataValue ref;
    s.type->SetReference(ref, s.image);
    if (s.type->IsNull(ref)) {
        value.clear();
        return false;
    }
    if (s.type->GetColumnType() == ctWideString) {
        value = s.type->GetAnsiString(ref);  // narrowed through the column's code page
    } else {
        value.assign(s.type->GetPAnsiChar(ref));
    }
    return true;
}

void TTdbRecordAccess::SetAnsiString(std::span<std::byte> record, int fieldNo,
                                     std::string_view value, bool undefined) const {
    Slot s = Locate(record, fieldNo);
    if (s.kind != Kind::String && s.kind != Kind::Char) {
        RaiseMismatch(s, u"String", false);
    }
    if (undefined) {
        StoreNull(s);
        return;
    }
    TTdbDataValue scratch;
    s.type->SetAnsiString(scratch, value);
    Store(s, scratch);
}

bool TTdbRecordAccess::GetWideString(std::span<const std::byte> record, int fieldNo,
                                     std::u16string& value) const {
    Slot s = Locate(record, fieldNo);
    if (s.kind != Kind::String && s.kind != Kind::Char) {
        RaiseMismatch(s, u"String", true);
    }
    TTdbDataValue ref;
    s.type->SetReference(ref, s.image);
    if (s.type->IsNull(ref)) {
        value.clear();
        return false;
    }
    if (s.kind == Kind::Char) {
        value = s.type->GetWideString(ref);
        return true;
    }
    auto* st = static_cast<const TTdbStringType*>(s.type);
    // Widened straight into the caller's string; only a multi-byte code page
    // needs a spill of its own.
    value.resize(static_cast<std::size_t>(st->GetLength(ref)));
    std::u16string spill;
    std::u16string_view view = st->WideView(ref, value.data(), value.size(), spill);
    if (view.data() == value.data()) {
        value.resize(view.size());
    } else {
        value.assign(view);
    }
    return true;
}

void TTdbRecordAccess::SetWideString(std::span<std::byte> record, int fieldNo,
                                     std::u16string_view value, bool undefined) const {
    Slot s = Locate(record, fieldNo);
    if (s.kind != Kind::String && s.kind != Kind::Char) {
        RaiseMismatch(s, u"String", false);
    }
    if (undefined) {
        StoreNull(s);
        return;
    }
    TTdbDataValue scratch;
    s.type->SetWideString(scratch, value);
    Store(s, scratch);
}

// ---------------------------------------------------------------------------
// Integers

bool TTdbRecordAccess::ReadInteger(std::span<const std::byte> record, int fieldNo,
                                   TTdbColumnType form, std::int64_t& value) const {
    Slot s = Locate(record, fieldNo);
    value = 0;
    switch (s.kind) {
        case Kind::Integer:
        case Kind::Enum: {
            TTdbDataValue ref;
            s.type->SetReference(ref, s.image);
            if (s.type->IsNull(ref)) {
                return false;
            }
            value = s.type->GetInteger(ref);
            break;
        }
        case Kind::None:
        case Kind::Block:
            RaiseMismatch(s, FormType(form)->GetSqlName(), true);
        default: {
            // Through the widest kind, so that the range check below sees the
            // whole value instead of the conversion's cut to the form's width.
            const TTdbDataType* wide = FormType(ctBigInt);
            TTdbDataValue converted;
            if (!ReadConverted(s, wide, converted)) {
                return false;
            }
            value = wide->GetInteger(converted);
            break;
        }
    }
    if (form == ctBoolean) {
        value = value != 0 ? 1 : 0;
        return true;
    }
    TRange range = FormRange(form);
    if (value < range.Lo || value > range.Hi) {
        RaiseEngineError(kTdbErrValueOutOfRange,
                         {IntegerToText(value), FormType(form)->GetSqlName(),
                          IntegerToText(range.Lo), IntegerToText(range.Hi)});
    }
    return true;
}

void TTdbRecordAccess::WriteInteger(std::span<std::byte> record, int fieldNo, TTdbColumnType form,
                                    std::int64_t value, bool undefined) const {
    Slot s = Locate(record, fieldNo);
    switch (s.kind) {
        case Kind::None:
        case Kind::Block:
            RaiseMismatch(s, FormType(form)->GetSqlName(), false);
        default:
            break;
    }
    if (undefined) {
        StoreNull(s);
        return;
    }
    TTdbDataValue scratch;
    if (s.kind == Kind::Integer || s.kind == Kind::Enum) {
        // The column's own range check, never a silent cut to its width.
        s.type->SetInteger(scratch, value);
        Store(s, scratch);
        return;
    }
    const TTdbDataType* formType = FormType(form);
    formType->SetInteger(scratch, value);
    WriteConverted(s, scratch, formType);
}

bool TTdbRecordAccess::GetBoolean(std::span<const std::byte> record, int fieldNo,
                                  bool& value) const {
    std::int64_t v;
    bool present = ReadInteger(record, fieldNo, ctBoolean, v);
    value = v != 0;
    return present;
}

void TTdbRecordAccess::SetBoolean(std::span<std::byte> record, int fieldNo, bool value,
                                  bool undefined) const {
    WriteInteger(record, fieldNo, ctBoolean, value ? 1 : 0, undefined);
}

bool TTdbRecordAccess::GetUInt8(std::span<const std::byte> record, int fieldNo,
                                std::uint8_t& value) const {
    return ReadNarrow(record, fieldNo, ctByte, value);
}

void TTdbRecordAccess::SetUInt8(std::span<std::byte> record, int fieldNo, std::uint8_t value,
                                bool undefined) const {
    WriteInteger(record, fieldNo, ctByte, value, undefined);
}

bool TTdbRecordAccess::GetInt16(std::span<const std::byte> record, int fieldNo,
                                std::int16_t& value) const {
    return ReadNarrow(record, fieldNo, ctSmallInt, value);
}

void TTdbRecordAccess::SetInt16(std::span<std::byte> record, int fieldNo, std::int16_t value,
                                bool undefined) const {
    WriteInteger(record, fieldNo, ctSmallInt, value, undefined);
}

bool TTdbRecordAccess::GetInt32(std::span<const std::byte> record, int fieldNo,
                                std::int32_t& value) const {
    return ReadNarrow(record, fieldNo, ctInteger, value);
}

void TTdbRecordAccess::SetInt32(std::span<std::byte> record, int fieldNo, std::int32_t value,
                                bool undefined) const {
    WriteInteger(record, fieldNo, ctInteger, value, undefined);
}

bool TTdbRecordAccess::GetInt64(std::span<const std::byte> record, int fieldNo,
                                std::int64_t& value) const {
    return ReadInteger(record, fieldNo, ctBigInt, value);
}

void TTdbRecordAccess::SetInt64(std::span<std::byte> record, int fieldNo, std::int64_t value,
                                bool undefined) const {
    WriteInteger(record, fieldNo, ctBigInt, value, undefined);
}

bool TTdbRecordAccess::GetLink(std::span<const std::byte> record, int fieldNo,
                               std::int32_t& value) const {
    return ReadNarrow(record, fieldNo, ctLink, value);
}

void TTdbRecordAccess::SetLink(std::span<std::byte> record, int fieldNo, std::int32_t value,
                               bool undefined) const {
    WriteInteger(record, fieldNo, ctLink, value, undefined);
}

bool TTdbRecordAccess::GetRecordId(std::span<const std::byte> record, int fieldNo,
                                   std::int32_t& value) const {
    return ReadNarrow(record, fieldNo, ctAutoInc, value);
}

void TTdbRecordAccess::SetRecordId(std::span<std::byte> record, int fieldNo, std::int32_t value,
                                   bool undefined) const {
    WriteInteger(record, fieldNo, ctAutoInc, value, undefined);
}

// ---------------------------------------------------------------------------
// Block references

bool TTdbRecordAccess::GetBlockIdx(std::span<const std::byte> record, int fieldNo,
                                   std::int32_t& value) const {
    Slot s = Locate(record, fieldNo);
    if (s.kind != Kind::Block) {
        RaiseMismatch(s, u"Blob", true);
    }
    value = LoadLE<std::int32_t>(s.image);
    return value != 0;
}

void TTdbRecordAccess::SetBlockIdx(std::span<std::byte> record, int fieldNo, std::int32_t value,
                                   bool undefined) const {
    Slot s = Locate(record, fieldNo);
    if (s.kind != Kind::Block) {
        RaiseMismatch(s, u"Blob", false);
    }
    if (undefined) {
        StoreNull(s);
        return;
    }
    TTdbDataValue scratch;
    s.type->SetInteger(scratch, value);  // refuses negative block numbers
    Store(s, scratch);
}

// ---------------------------------------------------------------------------
// Floats, dates, times, time stamps, GUIDs

const TTdbDataType* TTdbRecordAccess::ReadAs(const Slot& s, Kind native, TTdbColumnType form,
                                             std::u16string_view formName,
                                             TTdbDataValue& cell) const {
    if (s.kind == Kind::None || s.kind == Kind::Block) {
        RaiseMismatch(s, formName, true);
    }
    if (s.kind == native) {
        s.type->SetReference(cell, s.image);
        return s.type->IsNull(cell) ? nullptr : s.type;
    }
    const TTdbDataType* formType = FormType(form);
    return ReadConverted(s, formType, cell) ? formType : nullptr;
}

template <typename Put>
void TTdbRecordAccess::WriteAs(const Slot& s, Kind native, TTdbColumnType form,
                               std::u16string_view formName, bool undefined, Put put) const {
    if (s.kind == Kind::None || s.kind == Kind::Block) {
        RaiseMismatch(s, formName, false);
    }
    if (undefined) {
        StoreNull(s);
        return;
    }
    TTdbDataValue scratch;
    if (s.kind == native) {
        put(s.type, scratch);
        Store(s, scratch);
        return;
    }
    const TTdbDataType* formType = FormType(form);
    put(formType, scratch);
    WriteConverted(s, scratch, formType);
}

bool TTdbRecordAccess::GetDouble(std::span<const std::byte> record, int fieldNo,
                                 double& value) const {
    TTdbDataValue cell;
    // Integers come through the conversion, which refuses a BigInt that no
    // double holds exactly.
    const TTdbDataType* t = ReadAs(Locate(record, fieldNo), Kind::Float, ctFloat, u"Real", cell);
    value = t != nullptr ? t->GetDouble(cell) : 0;
    return t != nullptr;
}

void TTdbRecordAccess::SetDouble(std::span<std::byte> record, int fieldNo, double value,
                                 bool undefined) const {
    Slot s = Locate(record, fieldNo);
    // An integer column rounds and checks its own range rather than taking
    // the conversion's cut to its width.
    Kind native = s.kind == Kind::Integer ? Kind::Integer : Kind::Float;
    WriteAs(s, native, ctFloat, u"Real", undefined,
            [value](const TTdbDataType* t, TTdbDataValue& cell) { t->SetDouble(cell, value); });
}

bool TTdbRecordAccess::GetDate(std::span<const std::byte> record, int fieldNo,
                               std::int32_t& value) const {
    TTdbDataValue cell;
    const TTdbDataType* t = ReadAs(Locate(record, fieldNo), Kind::Date, ctDate, u"Date", cell);
    value = t != nullptr ? t->GetDate(cell) : 0;
    return t != nullptr;
}

void TTdbRecordAccess::SetDate(std::span<std::byte> record, int fieldNo, std::int32_t value,
                               bool undefined) const {
    WriteAs(Locate(record, fieldNo), Kind::Date, ctDate, u"Date", undefined,
            [value](const TTdbDataType* t, TTdbDataValue& cell) { t->SetDate(cell, value); });
}

bool TTdbRecordAccess::GetTicks(std::span<const std::byte> record, int fieldNo,
                                std::int64_t& value) const {
    TTdbDataValue cell;
    const TTdbDataType* t = ReadAs(Locate(record, fieldNo), Kind::Time, ctTime, u"Time", cell);
    value = t != nullptr ? t->GetTime(cell) : 0;
    return t != nullptr;
}

void TTdbRecordAccess::SetTicks(std::span<std::byte> record, int fieldNo, std::int64_t value,
                                bool undefined) const {
    WriteAs(Locate(record, fieldNo), Kind::Time, ctTime, u"Time", undefined,
            [value](const TTdbDataType* t, TTdbDataValue& cell) { t->SetTime(cell, value); });
}

bool TTdbRecordAccess::GetTimeStamp(std::span<const std::byte> record, int fieldNo,
                                    TTdbTimeStamp& value) const {
    TTdbDataValue cell;
    const TTdbDataType* t =
        ReadAs(Locate(record, fieldNo), Kind::TimeStamp, ctTimeStamp, u"DateTime", cell);
    value = t != nullptr ? t->GetTimeStamp(cell) : TTdbTimeStamp{};
    return t != nullptr;
}

void TTdbRecordAccess::SetTimeStamp(std::span<std::byte> record, int fieldNo,
                                    const TTdbTimeStamp& value, bool undefined) const {
    WriteAs(Locate(record, fieldNo), Kind::TimeStamp, ctTimeStamp, u"DateTime", undefined,
            [&value](const TTdbDataType* t, TTdbDataValue& cell) { t->SetTimeStamp(cell, value); });
}

bool TTdbRecordAccess::GetGuid(std::span<const std::byte> record, int fieldNo,
                               TTdbGuid& value) const {
    TTdbDataValue cell;
    const TTdbDataType* t = ReadAs(Locate(record, fieldNo), Kind::Guid, ctGuid, u"Guid", cell);
    value = t != nullptr ? t->GetGuid(cell) : TTdbGuid{};
    return t != nullptr;
}

void TTdbRecordAccess::SetGuid(std::span<std::byte> record, int fieldNo, const TTdbGuid& value,
                               bool undefined) const {
    WriteAs(Locate(record, fieldNo), Kind::Guid, ctGuid, u"Guid", undefined,
            [&value](const TTdbDataType* t, TTdbDataValue& cell) { t->SetGuid(cell, value); });
}

// ---------------------------------------------------------------------------
// Text forms

bool TTdbRecordAccess::GetAsStringW(std::span<const std::byte> record, int fieldNo,
                                    std::u16string& value) const {
    Slot s = Locate(record, fieldNo);
    if (s.kind == Kind::None || s.kind == Kind::Block) {
        RaiseMismatch(s, u"String", true);
    }
    TTdbDataValue ref;
    s.type->SetReference(ref, s.image);
    if (s.type->IsNull(ref)) {
        value.clear();
        return false;
    }
    value = s.type->ConvertToString(ref);
    return true;
}

bool TTdbRecordAccess::GetAsStringA(std::span<const std::byte> record, int fieldNo,
                                    std::string& value) const {
    Slot s = Locate(record, fieldNo);
    if (s.kind == Kind::String || s.kind == Kind::Char) {
        return GetAnsiString(record, fieldNo, value);
    }
    std::u16string text;
    bool present = GetAsStringW(record, fieldNo, text);
    value = TTdbCollation::BuiltIn().ToAnsi(text);
    return present;
}

void TTdbRecordAccess::SetAsStringW(std::span<std::byte> record, int fieldNo,
                                    std::u16string_view value, bool undefined) const {
    Slot s = Locate(record, fieldNo);
    if (s.kind == Kind::None || s.kind == Kind::Block) {
        RaiseMismatch(s, u"String", false);
    }
    if (undefined || (value.empty() && s.kind != Kind::String)) {
        StoreNull(s);
        return;
    }
    TTdbDataValue scratch;
    s.type->ConvertFromString(scratch, value);
    Store(s, scratch);
}

void TTdbRecordAccess::SetAsStringA(std::span<std::byte> record, int fieldNo,
                                    std::string_view value, bool undefined) const {
    Slot s = Locate(record, fieldNo);
    if (s.kind == Kind::String && !undefined) {
        // The bytes as they are for an ANSI column; a wide one widens them
        // through its own code page.
        SetAnsiString(record, fieldNo, value, false);
        return;
    }
    SetAsStringW(record, fieldNo, TTdbCollation::BuiltIn().ToWide(value), undefined);
}

}  // namespace tdb
