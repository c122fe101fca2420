// Column definitions, their sizes in a record, their transfer form and the
// record layout of the column list.
#include "types/column_def.h"

#include <array>
#include <stdexcept>

#include "base/byte_image.h"
#include "base/engine_error.h"
#include "base/engine_errors.h"
#include "platform/stream.h"
#include "types/collation.h"

namespace tdb {

namespace {

constexpr std::int16_t kFirstLevelWithoutDateNullByte = 6;
// Enum values are one byte, and 0 stands for NULL.
constexpr int kMaxEnumItems = 255;
constexpr int kMaxEnumCode = 15;

bool IsBlockReference(TTdbColumnType columnType) noexcept {
    return columnType == ctMemo || columnType == ctBlob || columnType == ctWideMemo;
}

bool HasColumnDef(TTdbColumnType columnType) noexcept {
    return columnType >= ctChar && columnType <= ctGuid && columnType != 14 && columnType != 15;
}

TTdbColumnOptions WithNullByteRule(TTdbColumnOptions options, const TTdbDataType* dataType) {
    options &= ~cdoNullByte;
    if (dataType->GetHasNullByte() && !IsBlockReference(dataType->GetColumnType())) {
        options |= cdoNullByte;
    }
    return options;
}

// ---- Transfer form ----

[[noreturn]] void RaiseDamaged(const std::string& what) {
    throw EdwStreamError("Damaged column definition in stream: " + what);
}

template <typename T>
void WriteInt(TdwStream& s, T value) {
    std::array<std::byte, sizeof(T)> image;
    StoreLE<T>(image.data(), value);
    s.WriteBuffer(image);
}

template <typename T>
T ReadInt(TdwStream& s) {
    std::array<std::byte, sizeof(T)> image;
    s.ReadBuffer(image);
    return LoadLE<T>(image.data());
}

void WriteString(TdwStream& s, std::u16string_view text) {
    WriteInt<std::int32_t>(s, static_cast<std::int32_t>(text.size()));
    std::vector<std::byte> image(text.size() * 2);
    for (std::size_t i = 0; i < text.size(); ++i) {
        StoreLE<std::uint16_t>(image.data() + 2 * i, static_cast<std::uint16_t>(text[i]));
    }
    s.WriteBuffer(image);
}

std::int64_t Remaining(TdwStream& s) {
    return s.Size() - s.Position();
}

// A length is checked against what the stream still holds before anything is
// allocated for it.
std::u16string ReadString(TdwStream& s) {
    auto length = ReadInt<std::int32_t>(s);
    if (length < 0 || static_cast<std::int64_t>(length) * 2 > Remaining(s)) {
        RaiseDamaged("a text of " + std::to_string(length) + " characters does not fit");
    }
    std::vector<std::byte> image(static_cast<std::size_t>(length) * 2);
    s.ReadBuffer(image);
    std::u16string text(static_cast<std::size_t>(length), u'\0');
    for (std::size_t i = 0; i < text.size(); ++i) {
        text[i] = static_cast<char16_t>(LoadLE<std::uint16_t>(image.data() + 2 * i));
    }
    return text;
}

const TTdbStringType* AsStringType(const TTdbDataType* dataType) noexcept {
    return dynamic_cast<const TTdbStringType*>(dataType);
}

}  // namespace

// ---- TTdbColumnDef ----

TTdbColumnDef::TTdbColumnDef(std::u16string name, const TTdbDataType* dataType,
                             TTdbColumnOptions options)
    : Name(std::move(name)), DataType(dataType), Options(options) {
    if (!DataType) {
        throw std::invalid_argument("A column definition needs a data type");
    }
    Size = ColumnSize(DataType);
}

TTdbColumnDef::TTdbColumnDef(const TTdbColumnDef& other)
    : FCalculation(other.FCalculation ? other.FCalculation->Clone() : nullptr),
      Name(other.Name),
      DataType(other.DataType),
      Size(other.Size),
      Options(other.Options),
      Position(other.Position),
      BaseRltnIdx(other.BaseRltnIdx),
      BaseFieldNo(other.BaseFieldNo) {}

TTdbColumnDef::~TTdbColumnDef() = default;

std::unique_ptr<TTdbColumnDef> TTdbColumnDef::CreateColumnDef(std::u16string name,
                                                              const TTdbDataType* dataType,
                                                              TTdbColumnOptions options) {
    if (!dataType) {
        return nullptr;
    }
    if (dataType->GetColumnType() == ctNull) {
        dataType = TTdbDataType::GetDataType(ctByte, true, dataType->GetLevel());
    }
    TTdbColumnType columnType = dataType->GetColumnType();
    if (!HasColumnDef(columnType)) {
        return nullptr;
    }
    options = WithNullByteRule(options, dataType);
    switch (columnType) {
        case ctChar:
        case ctString:
        case ctMemo:
        case ctWideString:
        case ctWideMemo: {
            const TTdbStringType* stringType = AsStringType(dataType);
            return std::make_unique<TTdbTextColumnDef>(
                std::move(name), dataType, options,
                stringType ? stringType->GetCollationName() : std::u16string());
        }
        case ctFloat:
            return std::make_unique<TTdbNumberColumnDef>(std::move(name), dataType, options);
        case ctTime:
            return std::make_unique<TTdbTimeColumnDef>(std::move(name), dataType, options);
        case ctEnum:
            return std::make_unique<TTdbEnumColumnDef>(std::move(name), dataType, options);
        case ctAutoInc:
            return std::make_unique<TTdbRecordIdColumnDef>(std::move(name), dataType, options);
        case ctLink:
        case ctRelation:
            return std::make_unique<TTdbAdlColumnDef>(std::move(name), dataType, options);
        default:
            return std::make_unique<TTdbColumnDef>(std::move(name), dataType, options);
    }
}

std::unique_ptr<TTdbColumnDef> TTdbColumnDef::CreateStringColumnDef(std::u16string name,
                                                                    const TTdbDataType* dataType,
                                                                    TTdbColumnOptions options,
                                                                    std::u16string collationName) {
    if (!dataType) {
        return nullptr;
    }
    return std::make_unique<TTdbTextColumnDef>(
        std::move(name), dataType, WithNullByteRule(options, dataType), std::move(collationName));
}

std::int16_t TTdbColumnDef::ColumnSize(const TTdbDataType* dataType) {
    TTdbColumnType columnType = dataType->GetColumnType();
    if (IsBlockReference(columnType)) {
        return 4;
    }
    const std::int32_t nullByte = dataType->GetHasNullByte() ? 1 : 0;
    std::int32_t size = dataType->GetDataSize();
    switch (columnType) {
        case ctChar:
            size = 1 + nullByte;
            break;
        case ctString:
            if (const TTdbStringType* stringType = AsStringType(dataType)) {
                std::int32_t n = stringType->GetMaxLength();
                size = (n < 256 ? n + 1 : n + 2) + nullByte;
            }
            break;
        case ctWideString:
            if (const TTdbStringType* stringType = AsStringType(dataType)) {
                size = 2 * stringType->GetMaxLength() + 2 + nullByte;
            }
            break;
        case ctTime:
            if (auto* timeType = dynamic_cast<const TTdbDateTimeType*>(dataType)) {
                std::int16_t precision = timeType->GetPrecision();
                size = (precision == 3 || precision == 4 ? 4 : 2) + nullByte;
            }
            break;
        default:
            break;
    }
    return static_cast<std::int16_t>(size);
}

std::unique_ptr<TTdbColumnDef> TTdbColumnDef::Clone() const {
    return std::make_unique<TTdbColumnDef>(*this);
}

void TTdbColumnDef::SetDataType(const TTdbDataType* dataType) {
    if (!dataType) {
        throw std::invalid_argument("A column definition needs a data type");
    }
    DataType = dataType;
    Size = ColumnSize(DataType);
}

void TTdbColumnDef::SetTableLevel(std::int16_t level) {
    SetDataType(DataType->GetLevelType(level));
    TTdbColumnType columnType = GetColumnType();
    if ((columnType == ctDate || columnType == ctTimeStamp) &&
        level >= kFirstLevelWithoutDateNullByte) {
        Options &= ~cdoNullByte;
    }
}

void TTdbColumnDef::SetNullable(bool value, std::int16_t tableLevel) {
    if (value && !MayBeNullable(GetColumnType(), tableLevel)) {
        value = false;
    }
    SetDataType(DataType->GetNullableType(value));
    Options &= ~(cdoNullByte | cdoNullable);
    if (value) {
        Options |= cdoNullable;
        if (!IsBlockReference(GetColumnType()) && DataType->GetHasNullByte()) {
            Options |= cdoNullByte;
        }
    }
}

std::u16string TTdbColumnDef::GetCollation() const {
    const TTdbStringType* stringType = AsStringType(DataType);
    return stringType ? stringType->GetCollationName() : std::u16string();
}

std::uint32_t TTdbColumnDef::GetLocaleId() const noexcept {
    const TTdbStringType* stringType = AsStringType(DataType);
    return stringType ? stringType->GetLocaleId() : 0;
}

TStrCmpOptions TTdbColumnDef::GetStrCmpOptions() const noexcept {
    const TTdbStringType* stringType = AsStringType(DataType);
    return stringType ? stringType->GetStrCmpOptions() : TStrCmpOptions{0};
}

std::u16string TTdbColumnDef::GetCalculationSource() const {
    return FCalculation ? FCalculation->GetSource() : std::u16string();
}

void TTdbColumnDef::SetCalculation(std::unique_ptr<TTdbCalculation> calculation) {
    FCalculation = std::move(calculation);
}

TTdbCalculationPurposes TTdbColumnDef::GetCalculationPurposes() const {
    TTdbCalculationPurposes purposes;
    if (!FCalculation) {
        return purposes;
    }
    if ((Options & cdoFormula) == 0) {
        purposes.set(clpInitialization);
    } else if ((Options & cdoAppendOnly) != 0) {
        purposes.set(clpAppending);
    } else {
        purposes.set(clpUpdating);
    }
    return purposes;
}

void TTdbColumnDef::SaveToStream(TdwStream& s) const {
    // The type itself cannot travel; its code stands in for the reference.
    WriteInt<std::int32_t>(s, GetColumnType());
    WriteString(s, Name);
    WriteInt<std::uint32_t>(s, Options);
    WriteInt<std::int16_t>(s, Size);
    SaveExtra(s);
}

void TTdbColumnDef::LoadFromStream(TdwStream& s) {
    // Everything is read before anything is set: the subclass reads its part
    // and sets it only at its end, and the common part follows.
    ReadInt<std::int32_t>(s);  // type reference, not restored
    std::u16string name = ReadString(s);
    auto options = ReadInt<std::uint32_t>(s);
    auto size = ReadInt<std::int16_t>(s);
    if (size < 0) {
        RaiseDamaged("negative column size " + std::to_string(size));
    }
    LoadExtra(s);
    Name = std::move(name);
    Options = options;
    Size = size;
}

void TTdbColumnDef::SaveExtra(TdwStream& /*s*/) const {}

void TTdbColumnDef::LoadExtra(TdwStream& /*s*/) {}

// ---- TTdbTextColumnDef ----

TTdbTextColumnDef::TTdbTextColumnDef(std::u16string name, const TTdbDataType* dataType,
                                     TTdbColumnOptions options, std::u16string collationName)
    : TTdbColumnDef(std::move(name), dataType, options), FCollationName(std::move(collationName)) {}

std::unique_ptr<TTdbColumnDef> TTdbTextColumnDef::Clone() const {
    return std::make_unique<TTdbTextColumnDef>(*this);
}

std::int32_t TTdbTextColumnDef::GetMaxLen() const noexcept {
    const TTdbStringType* stringType = AsStringType(DataType);
    return stringType ? stringType->GetMaxLength() : 1;  // Char
}

// ---- TTdbNumberColumnDef ----

TTdbNumberColumnDef::TTdbNumberColumnDef(std::u16string name, const TTdbDataType* dataType,
                                         TTdbColumnOptions options)
    : TTdbColumnDef(std::move(name), dataType, options) {
    ReadType();
}

std::unique_ptr<TTdbColumnDef> TTdbNumberColumnDef::Clone() const {
    return std::make_unique<TTdbNumberColumnDef>(*this);
}

void TTdbNumberColumnDef::ReadType() {
    if (auto* floatType = dynamic_cast<const TTdbFloatType*>(DataType)) {
        FPrecision = floatType->GetPrecision();
        FScale = floatType->GetScale();
    }
}

void TTdbNumberColumnDef::SetTableLevel(std::int16_t level) {
    TTdbColumnDef::SetTableLevel(level);
    ReadType();
}

void TTdbNumberColumnDef::SetScale(std::int16_t scale) {
    SetDataType(TTdbDataType::GetFloatType(DataType->GetNullable(), scale, DataType->GetLevel()));
    ReadType();
}

void TTdbNumberColumnDef::SaveExtra(TdwStream& s) const {
    WriteInt<std::int32_t>(s, FPrecision);
    WriteInt<std::int32_t>(s, FScale);
}

void TTdbNumberColumnDef::LoadExtra(TdwStream& s) {
    auto precision = ReadInt<std::int32_t>(s);
    auto scale = ReadInt<std::int32_t>(s);
    FPrecision = precision;
    FScale = scale;
}

// ---- TTdbTimeColumnDef ----

TTdbTimeColumnDef::TTdbTimeColumnDef(std::u16string name, const TTdbDataType* dataType,
                                     TTdbColumnOptions options)
    : TTdbColumnDef(std::move(name), dataType, options) {
    if (auto* timeType = dynamic_cast<const TTdbDateTimeType*>(DataType)) {
        FPrecision = timeType->GetPrecision();
    }
}

std::unique_ptr<TTdbColumnDef> TTdbTimeColumnDef::Clone() const {
    return std::make_unique<TTdbTimeColumnDef>(*this);
}

void TTdbTimeColumnDef::SaveExtra(TdwStream& s) const {
    WriteInt<std::int16_t>(s, FPrecision);
}

void TTdbTimeColumnDef::LoadExtra(TdwStream& s) {
    FPrecision = ReadInt<std::int16_t>(s);
}

// ---- TTdbEnumColumnDef ----

TTdbEnumColumnDef::TTdbEnumColumnDef(std::u16string name, const TTdbDataType* dataType,
                                     TTdbColumnOptions options)
    : TTdbColumnDef(std::move(name), dataType, options) {
    ReadType();
}

// No quote character: stored lists join the names with bare commas, so a name
// that begins with a quote is just that name.
TTdbEnumColumnDef::TTdbEnumColumnDef(std::u16string name, std::u16string_view enumNames,
                                     TTdbColumnOptions options, std::int16_t tableLevel)
    : TTdbColumnDef(name,
                    TTdbDataType::GetEnumType(name, enumNames, u',', u'\0',
                                              (options & cdoNullable) != 0, tableLevel),
                    options) {
    Options = WithNullByteRule(Options, DataType);
    ReadType();
}

std::unique_ptr<TTdbColumnDef> TTdbEnumColumnDef::Clone() const {
    return std::make_unique<TTdbEnumColumnDef>(*this);
}

void TTdbEnumColumnDef::ReadType() {
    if (auto* enumType = dynamic_cast<const TTdbEnumType*>(DataType)) {
        FEnumNames.clear();
        for (const TTdbEnumItem& item : enumType->GetEnumItems()) {
            FEnumNames.push_back(item.Name);
        }
    }
}

void TTdbEnumColumnDef::SetTableLevel(std::int16_t level) {
    TTdbColumnDef::SetTableLevel(level);
    ReadType();
}

std::u16string TTdbEnumColumnDef::CalcEnumValueList(char16_t separator) const {
    std::u16string list;
    for (std::size_t i = 0; i < FEnumNames.size(); ++i) {
        if (i > 0) {
            list += separator;
        }
        list += FEnumNames[i];
    }
    return list;
}

int TTdbEnumColumnDef::GetEnumValue(std::u16string_view enumText) const {
    if (enumText.size() == 1 && enumText[0] >= 1 && enumText[0] <= kMaxEnumCode) {
        return enumText[0];
    }
    if (auto* enumType = dynamic_cast<const TTdbEnumType*>(DataType)) {
        const TTdbEnumItem* item = enumType->FindItem(enumText);
        return item ? item->Value : -1;
    }
    for (std::size_t i = 0; i < FEnumNames.size(); ++i) {
        if (CompareNames(FEnumNames[i], enumText) == 0) {
            return static_cast<int>(i) + 1;
        }
    }
    return -1;
}

void TTdbEnumColumnDef::SaveExtra(TdwStream& s) const {
    WriteInt<std::int16_t>(s, static_cast<std::int16_t>(FEnumNames.size()));
    for (const std::u16string& enumName : FEnumNames) {
        WriteString(s, enumName);
    }
}

void TTdbEnumColumnDef::LoadExtra(TdwStream& s) {
    auto count = ReadInt<std::int16_t>(s);
    // Every name takes at least its 4-byte length.
    if (count < 0 || count > kMaxEnumItems || static_cast<std::int64_t>(count) * 4 > Remaining(s)) {
        RaiseDamaged(std::to_string(count) + " enumeration values");
    }
    std::vector<std::u16string> names;
    names.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        names.push_back(ReadString(s));
    }
    FEnumNames = std::move(names);
}

// ---- TTdbRecordIdColumnDef ----

TTdbRecordIdColumnDef::TTdbRecordIdColumnDef(std::u16string name, const TTdbDataType* dataType,
                                             TTdbColumnOptions options, std::u16string indexSpec)
    : TTdbColumnDef(std::move(name), dataType, options), IndexSpec(std::move(indexSpec)) {}

std::unique_ptr<TTdbColumnDef> TTdbRecordIdColumnDef::Clone() const {
    return std::make_unique<TTdbRecordIdColumnDef>(*this);
}

void TTdbRecordIdColumnDef::SetUniqueIdInfo(bool unique) noexcept {
    if (unique) {
        Options |= cdoUniqueId;
    } else {
        Options &= ~cdoUniqueId;
    }
}

void TTdbRecordIdColumnDef::SaveExtra(TdwStream& s) const {
    WriteString(s, IndexSpec);
}

void TTdbRecordIdColumnDef::LoadExtra(TdwStream& s) {
    IndexSpec = ReadString(s);
}

// ---- TTdbAdlColumnDef ----

TTdbAdlColumnDef::TTdbAdlColumnDef(std::u16string name, const TTdbDataType* dataType,
                                   TTdbColumnOptions options, std::u16string linkedTable)
    : TTdbColumnDef(std::move(name), dataType, options), LinkedTable(std::move(linkedTable)) {}

std::unique_ptr<TTdbColumnDef> TTdbAdlColumnDef::Clone() const {
    return std::make_unique<TTdbAdlColumnDef>(*this);
}

void TTdbAdlColumnDef::SaveExtra(TdwStream& s) const {
    WriteString(s, LinkedTable);
}

void TTdbAdlColumnDef::LoadExtra(TdwStream& s) {
    LinkedTable = ReadString(s);
}

// ---- TTdbColumnDefs ----

TTdbColumnDefs::TTdbColumnDefs(const TTdbColumnDefs& other) {
    FColumns.reserve(other.FColumns.size());
    for (const auto& column : other.FColumns) {
        FColumns.push_back(column->Clone());
    }
}

TTdbColumnDefs& TTdbColumnDefs::operator=(const TTdbColumnDefs& other) {
    if (this != &other) {
        TTdbColumnDefs copy(other);
        FColumns.swap(copy.FColumns);
    }
    return *this;
}

TTdbColumnDefs::~TTdbColumnDefs() = default;

void TTdbColumnDefs::CheckLimits(std::int64_t columnCount, std::int64_t recordSize) {
    if (columnCount > kTdbMaxColumns || recordSize >= kTdbRecordSizeLimit) {
        RaiseEngineError(kTdbErrTooManyColumns);
    }
}

std::int64_t TTdbColumnDefs::SizeSum() const noexcept {
    std::int64_t sum = 0;
    for (const auto& column : FColumns) {
        sum += column->Size;
    }
    return sum;
}

void TTdbColumnDefs::LayOutFrom(int index) noexcept {
    for (std::size_t i = static_cast<std::size_t>(index); i < FColumns.size(); ++i) {
        if (i == 0) {
            FColumns[i]->Position = 0;
        } else {
            const TTdbColumnDef& previous = *FColumns[i - 1];
            FColumns[i]->Position = previous.Position + previous.Size;
        }
    }
}

int TTdbColumnDefs::Add(std::unique_ptr<TTdbColumnDef> columnDef) {
    if (!columnDef) {
        throw std::invalid_argument("A column list holds no empty entries");
    }
    CheckLimits(GetCount() + 1, SizeSum() + columnDef->Size);
    FColumns.push_back(std::move(columnDef));
    int index = GetCount() - 1;
    LayOutFrom(index);
    return index;
}

int TTdbColumnDefs::Add(std::u16string name, const TTdbDataType* dataType,
                        TTdbColumnOptions options) {
    std::unique_ptr<TTdbColumnDef> columnDef =
        TTdbColumnDef::CreateColumnDef(std::move(name), dataType, options);
    if (!columnDef) {
        throw std::invalid_argument("The data type has no column definition");
    }
    return Add(std::move(columnDef));
}

void TTdbColumnDefs::Replace(int index, std::unique_ptr<TTdbColumnDef> columnDef) {
    TTdbColumnDef* old = GetColumnDef(index);
    if (!columnDef) {
        throw std::invalid_argument("A column list holds no empty entries");
    }
    CheckLimits(GetCount(), SizeSum() - old->Size + columnDef->Size);
    FColumns[static_cast<std::size_t>(index)] = std::move(columnDef);
    LayOutFrom(index);
}

void TTdbColumnDefs::ColumnDefChanged() {
    LayOutFrom(0);
}

void TTdbColumnDefs::Delete(int index) {
    GetColumnDef(index);  // range check
    FColumns.erase(FColumns.begin() + index);
}

int TTdbColumnDefs::Find(std::u16string_view name) const {
    for (std::size_t i = 0; i < FColumns.size(); ++i) {
        if (CompareNames(FColumns[i]->Name, name) == 0) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

TTdbColumnDef* TTdbColumnDefs::FindFirst(TTdbColumnType columnType) const {
    for (const auto& column : FColumns) {
        if (column->GetColumnType() == columnType) {
            return column.get();
        }
    }
    return nullptr;
}

TTdbColumnDef* TTdbColumnDefs::GetColumnDef(int index) const {
    if (index < 0 || index >= GetCount()) {
        throw std::out_of_range("List index out of bounds (" + std::to_string(index) + ")");
    }
    return FColumns[static_cast<std::size_t>(index)].get();
}

std::int32_t TTdbColumnDefs::GetRecordSize() const noexcept {
    if (FColumns.empty()) {
        return 0;
    }
    const TTdbColumnDef& last = *FColumns.back();
    return last.Position + last.Size;
}

std::int16_t TTdbColumnDefs::GetTableLevel() const noexcept {
    return FColumns.empty() ? kCurrentTableLevel : FColumns.front()->DataType->GetLevel();
}

}  // namespace tdb
