// The headers of table levels 1 to 4: fixed fields, the column descriptors of each level and the
// sections that follow them, read and written as byte images.
//
// Fixed fields (offsets):
//   field                          levels 1, 2   level 3   level 4
//   signature (4), level (2)       0, 4          0, 4      0, 4
//   language code, short str of 3  -             6         6
//   record count (int32)           6             10        10
//   record size (uint16)           10            14        14
//   column count (uint16, bit 15   12            16        16
//     ignored when read)
//   capacity (int32)               -             -         18
//   index name table               14 (67 bytes) 18 (677)  22 (2252)
//     (1 entry at level 1, 15 at levels 2 and 3, 50 at level 4 after a uint16 count;
//      each entry a short string of 44)
// Then, one after another:
//   column descriptors
//     levels 1, 2 (46 bytes): 2 zero bytes, name (short string of 40), size - 1 (1 byte),
//       parameter (1 byte), type (low nibble) | option nibble (high nibble)
//     level 3 (54 bytes): 2 zero bytes, name (short string of 40), size - 1 (uint16),
//       parameter (uint16), type (1 byte), option nibble (1 byte), 5 zero bytes
//     level 4: name (WP ANSI), size - 1 (uint16), type (1 byte), options | 0x80 (uint32),
//       Link/Relation: linked table (WP ANSI); Float/Enum/Time: parameter (uint16)
//     parameter: Float 0xF0 | scale, Time 5 (level 4: precision), Enum number of names
//     Link/Relation names below level 4 are "name(table)": cut to 35 (levels 1, 2) or 40
//   password (short string of 10, scrambled)
//   level 4: check text, WP wide string of 40, its 80 bytes encrypted
//   enum names: a short string of 20 per name of every Enum column
//   calculations: levels 1-3 a short string of 255 per column with option 0x01;
//     level 4 a uint16 count, then per column its 1-based number (uint16) and source (WP wide)
//   value ranges: per column with option 0x02 the lower and upper bound (doubles)
//   level 4: candidate keys (uint16 count; primary byte, name WP ANSI, "${A},${B}" WP ANSI),
//     checks (uint16 count; name WP ANSI, condition WP wide),
//     foreign keys (uint16 count; name WP ANSI, parent table WP ANSI, parent columns WP wide,
//     columns WP wide, update action copy, update action, delete action: 1 byte each)
//   with a record-id column: record-id index (50-byte packed form), next record id (int32)
//   the first record
#include <algorithm>
#include <limits>

#include "base/engine_error.h"
#include "base/engine_errors.h"
#include "storage/data_file_header.h"
#include "types/collation.h"
#include "types/sort_def.h"

namespace tdb {

namespace {

constexpr std::size_t kIndexNameLength = 44;
constexpr std::size_t kIndexEntrySize = kIndexNameLength + 1;
constexpr std::size_t kOldNameLength = 40;
constexpr std::size_t kOldLinkNameLength12 = 35;
constexpr std::size_t kPasswordLength = 10;
constexpr std::size_t kEnumNameLength = 20;
constexpr std::size_t kOldCalculationLength = 255;
constexpr std::uint32_t kNewOptionsMark = 0x80;
constexpr std::uint8_t kNibbleNullable = 0x08;
constexpr int kMaxOldEnumItems = 255;
constexpr int kMaxLevel4EnumItems = 15;
constexpr int kMaxSkippedColumns = kTdbMaxColumns;

bool IsLinkType(TTdbColumnType type) {
    return type == ctLink || type == ctRelation;
}

std::uint8_t OptionNibble(const TTdbColumnDef& column) {
    const TTdbColumnType type = column.GetColumnType();
    auto nibble = static_cast<std::uint8_t>(column.Options & 0x07);
    if (type == ctAutoInc || type == ctLink) {
        if (column.Options & cdoUniqueId)
            nibble |= kNibbleNullable;
    } else if (column.GetNullable() && !TTdbDataType::MarksNullByZero(type)) {
        nibble |= kNibbleNullable;
    }
    return nibble;
}

TTdbColumnOptions OptionsFromNibble(std::uint8_t nibble, TTdbColumnType type, std::int16_t level) {
    TTdbColumnOptions options = nibble & 0x07;
    if (nibble & kNibbleNullable)
        options |= (type == ctAutoInc || type == ctLink) ? cdoUniqueId : cdoNullable;
    if (TTdbDataType::MarksNullByZero(type) && TTdbColumnDef::MayBeNullable(type, level))
        options |= cdoNullable;
    return options;
}

std::int32_t OldParameter(const TTdbColumnDef& column, std::int16_t level) {
    switch (column.GetColumnType()) {
        case ctFloat:
            return 0xF0 | (static_cast<const TTdbNumberColumnDef&>(column).FScale & 0x0F);
        case ctTime:
            return level >= 4 ? static_cast<const TTdbTimeColumnDef&>(column).FPrecision & 0x0F : 5;
        case ctEnum:
            return static_cast<std::int32_t>(
                static_cast<const TTdbEnumColumnDef&>(column).FEnumNames.size());
        default:
            return 0;
    }
}

std::u16string LinkedTableOf(const TTdbColumnDef& column, std::u16string_view tableName) {
    auto* adl = dynamic_cast<const TTdbAdlColumnDef*>(&column);
    if (!adl)
        return {};
    if (adl->LinkedTable == u"@" ||
        (!tableName.empty() && CompareNames(adl->LinkedTable, tableName) == 0))
        return u"@";
    return adl->LinkedTable;
}

[[noreturn]] void RaiseUnsupported(std::u16string_view fileName, std::u16string feature) {
    RaiseEngineError(kTdbErrUnsupportedFeature, {std::u16string(fileName), std::move(feature)});
}

// What a level cannot hold is refused before anything is written, never stored cut.
void CheckStorable(std::int16_t level, const TTdbTableDefinition& def,
                   std::u16string_view fileName) {
    for (int i = 0; i < def.Columns.GetCount(); ++i) {
        const TTdbColumnDef& column = *def.Columns.GetColumnDef(i);
        const TTdbColumnType type = column.GetColumnType();
        if (level <= 2 && (type > 0x0F || column.Size > 256))
            RaiseUnsupported(fileName, u"Column type");
        if (type == ctTime && level < 4 && column.Size != (column.GetHasNullByte() ? 3 : 2))
            RaiseUnsupported(fileName, u"Time precision");
        // The header has no place for a column's collation: the column would reopen under the
        // plain built-in one, and its indexes would no longer be in the order they were built.
        const TTdbCollation& collation = TTdbCollation::Get(column.GetCollation());
        if (!collation.IsBuiltIn() || collation.Options() != TTdbCollation::BuiltIn().Options())
            RaiseUnsupported(fileName, u"Column collation");
        if (type == ctEnum) {
            const auto count = static_cast<const TTdbEnumColumnDef&>(column).FEnumNames.size();
            if (count >
                static_cast<std::size_t>(level >= 4 ? kMaxLevel4EnumItems : kMaxOldEnumItems))
                RaiseUnsupported(fileName, u"Enum values");
        }
    }
    if (level < 4 &&
        (def.Keys.GetCount() > 0 || def.Checks.GetCount() > 0 || def.ForeignKeys.GetCount() > 0))
        RaiseUnsupported(fileName, u"Constraints");
}

void SplitOldLinkName(std::u16string& name, std::u16string& linkedTable) {
    const std::size_t open = name.find(u'(');
    if (open == std::u16string::npos)
        return;
    std::u16string table = name.substr(open + 1);
    if (!table.empty() && table.back() == u')')
        table.pop_back();
    linkedTable = std::move(table);
    name.resize(open);
}

struct TOldDescriptor {
    TTdbStoredColumn Stored;
    std::int32_t Parameter = 0;
};

}  // namespace

std::int64_t OldRecordCountOffset(std::int16_t level) noexcept {
    return level <= 2 ? 6 : 10;
}

std::int64_t OldIndexTableOffset(std::int16_t level) noexcept {
    return OldRecordCountOffset(level) + (level == 4 ? 12 : 8);
}

std::int32_t OldIndexTableSize(std::int16_t level) noexcept {
    switch (level) {
        case 1:
            return 67;
        case 4:
            return 2252;
        default:
            return 677;
    }
}

int MaxIndexNames(std::int16_t level) noexcept {
    if (level >= 5)
        return 50;
    return static_cast<int>((OldIndexTableSize(level) - 2) / kIndexEntrySize);
}

void MakeColumnNamesUnique(std::vector<std::u16string>& names) {
    for (std::size_t i = 0; i < names.size(); ++i) {
        auto taken = [&](std::u16string_view candidate) {
            for (std::size_t j = 0; j < i; ++j) {
                if (CompareNames(names[j], candidate) == 0)
                    return true;
            }
            return false;
        };
        const bool empty = names[i].empty();
        if (!empty && !taken(names[i]))
            continue;
        const std::u16string base = empty ? std::u16string(u"Column") : names[i];
        for (int n = 2;; ++n) {
            std::u16string suffix = u"_";
            for (char c : std::to_string(n))
                suffix += static_cast<char16_t>(c);
            const std::size_t room = kOldNameLength - suffix.size();
            std::u16string candidate = base.substr(0, std::min(base.size(), room)) + suffix;
            if (!taken(candidate)) {
                names[i] = std::move(candidate);
                break;
            }
        }
    }
}

// ---- Record-id index ----

void RecordIdVector(std::u16string_view indexSpec, bool unique, const TTdbColumnDefs& columns,
                    std::span<std::byte, kTdbSortVectorSize> vector) {
    TTdbSortDef sortDef(u"sys_Id");
    sortDef.IsUnique = unique;
    const std::u16string spec(indexSpec);
    if (!spec.empty() && spec.front() == u'(') {
        std::u16string source = spec.substr(1, spec.size() >= 2 ? spec.size() - 2 : 0);
        sortDef.IsCalculated = true;
        sortDef.LevelCount = 1;
        sortDef.FSource = std::move(source);
    } else {
        for (const std::u16string& rawItem : SplitColumnList(spec)) {
            std::u16string_view item = rawItem;
            bool descending = false;
            if (!item.empty() && item.front() == u'-') {
                descending = true;
                item.remove_prefix(1);
            }
            std::u16string name = BareColumnName(item);
            std::int32_t length = -1;
            const std::size_t colon = name.rfind(u':');
            if (colon != std::u16string::npos && name.find(u'}') == std::u16string::npos) {
                length = 0;
                for (char16_t c : name.substr(colon + 1))
                    length = c >= u'0' && c <= u'9' ? length * 10 + (c - u'0') : -1;
                name = BareColumnName(name.substr(0, colon));
            }
            const int index = columns.Find(name);
            if (index < 0)
                RaiseEngineError(kTdbErrInconsistentIndex, {std::u16string(u"sys_Id")});
            const TTdbColumnDef& column = *columns.GetColumnDef(index);
            std::int32_t size = column.Size;
            if (length > 0) {
                if (column.GetColumnType() == ctString)
                    size = std::min<std::int32_t>(size, length + 1);
                else if (column.GetColumnType() == ctWideString)
                    size = std::min<std::int32_t>(size, 2 * length + 2);
            }
            sortDef.AddItem(static_cast<std::int16_t>(index + 1),
                            static_cast<std::uint8_t>(column.GetColumnType()),
                            static_cast<std::int16_t>(size), descending);
        }
    }
    sortDef.GetVectorData(vector);
}

std::u16string RecordIdSpecFromVector(std::span<const std::byte, kTdbSortVectorSize> vector,
                                      const TTdbColumnDefs& columns, TTdbExpressionFactory& factory,
                                      std::int16_t level) {
    TTdbSortDef sortDef(u"sys_Id");
    try {
        sortDef.SetVectorData(vector, &factory, level);
    } catch (const ETdbEngine&) {
        RaiseCorruptHeader();
    }
    for (int i = 0; i < sortDef.LevelCount && !sortDef.IsCalculated; ++i) {
        const TTdbSortItem& item = sortDef.Items[static_cast<std::size_t>(i)];
        if (item.ColumnNo < 1 || item.ColumnNo > columns.GetCount())
            RaiseCorruptHeader();
    }
    if (sortDef.LevelCount == 0 && !sortDef.IsCalculated)
        return {};
    return sortDef.CalcSpecification(columns, false, false, 1, false);
}

// ---- Writing ----

std::vector<std::byte> SerializeOldHeader(std::int16_t level, const TTdbTableDefinition& def,
                                          std::span<const TTdbValueRange> ranges,
                                          std::string_view password,
                                          std::span<const std::byte, 80> checkText,
                                          std::int32_t nextRecordId, std::u16string_view tableName,
                                          std::u16string_view fileName) {
    CheckStorable(level, def, fileName);
    const TTdbCollation& collation = TTdbCollation::Get(def.CollationName);
    const TTdbColumnDefs& columns = def.Columns;
    THeaderWriter w;
    w.Int32(kTdbDataFileSignature);
    w.Int16(level);
    if (level >= 3)
        w.ShortString({}, 3);
    w.Int32(0);  // record count
    w.UInt16(static_cast<std::uint16_t>(columns.GetRecordSize()));
    w.UInt16(static_cast<std::uint16_t>(columns.GetCount()));
    if (level == 4)
        w.Int32(def.Capacity);
    w.UInt16(0);  // no index names yet
    w.Zeros(static_cast<std::size_t>(OldIndexTableSize(level)) - 2);

    for (int i = 0; i < columns.GetCount(); ++i) {
        const TTdbColumnDef& column = *columns.GetColumnDef(i);
        const TTdbColumnType type = column.GetColumnType();
        const std::int32_t sizeField = column.Size > 0 ? column.Size - 1 : 0;
        const std::int32_t parameter = OldParameter(column, level);
        if (level == 4) {
            w.WPAnsiString(collation.ToAnsi(column.Name));
            w.UInt16(static_cast<std::uint16_t>(sizeField));
            w.Int8(static_cast<std::uint8_t>(type));
            w.Int32(static_cast<std::int32_t>((column.Options & 0xFFFF) | kNewOptionsMark));
            if (IsLinkType(type))
                w.WPAnsiString(collation.ToAnsi(LinkedTableOf(column, tableName)));
            else if (type == ctFloat || type == ctEnum || type == ctTime)
                w.UInt16(static_cast<std::uint16_t>(parameter & 0x0F));
            continue;
        }
        std::string name = collation.ToAnsi(column.Name);
        if (IsLinkType(type)) {
            name += "(" + collation.ToAnsi(LinkedTableOf(column, tableName)) + ")";
            name.resize(std::min(name.size(), level <= 2 ? kOldLinkNameLength12 : kOldNameLength));
        }
        w.Zeros(2);
        w.ShortString(name, kOldNameLength);
        if (level <= 2) {
            w.Int8(static_cast<std::uint8_t>(sizeField));
            w.Int8(static_cast<std::uint8_t>(IsLinkType(type) ? 0 : parameter));
            w.Int8(static_cast<std::uint8_t>((type & 0x0F) | (OptionNibble(column) << 4)));
        } else {
            w.UInt16(static_cast<std::uint16_t>(sizeField));
            w.UInt16(static_cast<std::uint16_t>(parameter));
            w.Int8(static_cast<std::uint8_t>(type));
            w.Int8(OptionNibble(column));
            w.Zeros(5);
        }
    }

    w.ShortString(ScramblePassword(password.substr(0, std::min(password.size(), kPasswordLength))),
                  kPasswordLength);
    if (level == 4) {
        w.UInt16(40);
        w.Bytes(checkText);
    }

    for (int i = 0; i < columns.GetCount(); ++i) {
        if (auto* column = dynamic_cast<const TTdbEnumColumnDef*>(columns.GetColumnDef(i))) {
            for (const std::u16string& name : column->FEnumNames)
                w.ShortString(collation.ToAnsi(name), kEnumNameLength);
        }
    }

    if (level == 4) {
        std::vector<int> calculated;
        for (int i = 0; i < columns.GetCount(); ++i) {
            if (columns.GetColumnDef(i)->GetCalculation())
                calculated.push_back(i);
        }
        w.UInt16(static_cast<std::uint16_t>(calculated.size()));
        for (int i : calculated) {
            w.UInt16(static_cast<std::uint16_t>(i + 1));
            w.WPWideString(
                StoredExpressionSource(*columns.GetColumnDef(i)->GetCalculation(), level));
        }
    } else {
        for (int i = 0; i < columns.GetCount(); ++i) {
            const TTdbColumnDef& column = *columns.GetColumnDef(i);
            if (column.Options & cdoFormula) {
                std::string source =
                    column.GetCalculation()
                        ? collation.ToAnsi(StoredExpressionSource(*column.GetCalculation(), level))
                        : std::string();
                w.ShortString(source, kOldCalculationLength);
            }
        }
    }

    for (int i = 0; i < columns.GetCount(); ++i) {
        if (!(columns.GetColumnDef(i)->Options & cdoValueRange))
            continue;
        double lower = std::numeric_limits<double>::lowest();
        double upper = std::numeric_limits<double>::max();
        for (const TTdbValueRange& range : ranges) {
            if (range.ColumnNo == i + 1) {
                lower = range.Lower;
                upper = range.Upper;
            }
        }
        w.Double(lower);
        w.Double(upper);
    }

    if (level == 4) {
        w.UInt16(static_cast<std::uint16_t>(def.Keys.GetCount()));
        for (int i = 0; i < def.Keys.GetCount(); ++i) {
            const TTdbCandidateKeyDef* key = def.Keys.Get(i);
            w.Int8(key->GetIsPrimary() ? 1 : 0);
            w.WPAnsiString(collation.ToAnsi(key->GetName()));
            w.WPAnsiString(collation.ToAnsi(key->GetColumnNamesTdb()));
        }
        w.UInt16(static_cast<std::uint16_t>(def.Checks.GetCount()));
        for (int i = 0; i < def.Checks.GetCount(); ++i) {
            const TTdbCheckDef* check = def.Checks.Get(i);
            w.WPAnsiString(collation.ToAnsi(check->GetName()));
            w.WPWideString(check->GetCondition()
                               ? StoredExpressionSource(*check->GetCondition(), level)
                               : std::u16string());
        }
        w.UInt16(static_cast<std::uint16_t>(def.ForeignKeys.GetCount()));
        for (int i = 0; i < def.ForeignKeys.GetCount(); ++i) {
            const TTdbForeignKeyDef* key = def.ForeignKeys.Get(i);
            w.WPAnsiString(collation.ToAnsi(key->GetName()));
            w.WPAnsiString(collation.ToAnsi(key->GetParentTableName()));
            w.WPWideString(key->GetParentColumnNamesTdb());
            w.WPWideString(key->GetColumnNamesTdb());
            w.Int8(key->GetUpdateAction());
            w.Int8(key->GetUpdateAction());
            w.Int8(key->GetDeleteAction());
        }
    }

    if (auto* recordId = dynamic_cast<const TTdbRecordIdColumnDef*>(columns.FindFirst(ctAutoInc))) {
        TTdbSortVector vector{};
        RecordIdVector(recordId->IndexSpec, recordId->GetUniqueIdInfo(), columns, vector);
        w.Bytes(vector);
        w.Int32(nextRecordId);
    }
    return std::move(w.Data());
}

// ---- Reading ----

void ParseOldHeader(THeaderReader& r, std::int16_t level, const TTdbCollation& collation,
                    TTdbExpressionFactory& factory, TTdbOldHeader& header) {
    auto wide = [&](const std::string& ansi) { return collation.ToWide(ansi); };
    TTdbOldHeader result;
    if (level >= 3)
        r.ShortString(3);
    result.RecordCount = r.Int32();
    result.RecordSize = r.UInt16();
    const int columnCount = r.UInt16() & 0x7FFF;
    if (level == 4)
        result.Capacity = r.Int32();
    if (columnCount == 0 || columnCount > kTdbMaxColumns || result.RecordSize == 0 ||
        result.RecordSize >= kTdbRecordSizeLimit || result.Capacity < 1)
        RaiseCorruptHeader();

    const std::int64_t tableEnd = r.Position() + OldIndexTableSize(level);
    const int nameCount = r.UInt16();
    if (nameCount > MaxIndexNames(level))
        RaiseCorruptHeader();
    for (int i = 0; i < nameCount; ++i)
        result.IndexNames.push_back(wide(r.ShortString(kIndexNameLength)));
    r.Skip(tableEnd - r.Position());

    std::vector<TOldDescriptor> descriptors;
    int skipped = 0;
    while (static_cast<int>(descriptors.size()) < columnCount) {
        TOldDescriptor d;
        TTdbStoredColumn& s = d.Stored;
        std::uint8_t nibble = 0;
        bool newOptions = false;
        std::int32_t sizeField = 0;
        if (level == 4) {
            s.Name = wide(r.WPAnsiString());
            sizeField = r.UInt16();
            s.Type = r.Int8();
            const auto options = static_cast<std::uint32_t>(r.Int32());
            newOptions = (options & kNewOptionsMark) != 0;
            if (newOptions)
                s.Options = options & 0xFFFF & ~kNewOptionsMark;
            else
                nibble = static_cast<std::uint8_t>(options & 0x0F);
            if (IsLinkType(s.Type))
                s.LinkedTable = wide(r.WPAnsiString());
            else if (s.Type == ctFloat || s.Type == ctEnum || s.Type == ctTime)
                d.Parameter = r.UInt16() & 0x0F;
        } else {
            r.Skip(2);
            s.Name = wide(r.ShortString(kOldNameLength));
            if (level <= 2) {
                sizeField = r.Int8();
                d.Parameter = r.Int8();
                const std::uint8_t typeByte = r.Int8();
                s.Type = typeByte & 0x0F;
                nibble = static_cast<std::uint8_t>(typeByte >> 4);
            } else {
                sizeField = r.UInt16();
                d.Parameter = r.UInt16();
                s.Type = r.Int8();
                nibble = r.Int8();
                r.Skip(5);
            }
            if (IsLinkType(s.Type))
                SplitOldLinkName(s.Name, s.LinkedTable);
        }
        if (s.Type == 14 || s.Type == 15) {
            if (++skipped > kMaxSkippedColumns)
                RaiseCorruptHeader();
            continue;
        }
        if (!newOptions)
            s.Options = OptionsFromNibble(nibble, s.Type, level);
        s.Size = s.Type == ctRelation ? 0 : sizeField + 1;
        if (s.Type == ctMemo && s.Size != 4)
            RaiseEngineError(kTdbErrOldVersion);
        switch (s.Type) {
            case ctFloat:
                s.Scale = d.Parameter & 0x0F;
                break;
            case ctTime:
                s.Precision = d.Parameter & 0x0F;
                break;
            case ctEnum:
                if (d.Parameter < 1 || d.Parameter > kMaxOldEnumItems)
                    RaiseCorruptHeader();
                break;
            default:
                break;
        }
        if (s.Name.size() > kOldNameLength)
            RaiseCorruptHeader();
        if (s.Name.empty())
            s.Name = u"Column" + wide(std::to_string(descriptors.size() + 2));
        descriptors.push_back(std::move(d));
    }

    result.Password = ScramblePassword(r.ShortString(kPasswordLength));
    if (level == 4) {
        if (r.UInt16() != 40)
            RaiseCorruptHeader();
        r.Bytes(result.CheckText);
    }

    for (TOldDescriptor& d : descriptors) {
        if (d.Stored.Type != ctEnum)
            continue;
        for (int i = 0; i < d.Parameter; ++i) {
            if (i > 0)
                d.Stored.EnumNames += u'\n';
            d.Stored.EnumNames += wide(r.ShortString(kEnumNameLength));
        }
    }

    std::vector<std::u16string> calculations(descriptors.size());
    if (level == 4) {
        const int count = r.UInt16();
        if (count > static_cast<int>(descriptors.size()))
            RaiseCorruptHeader();
        for (int i = 0; i < count; ++i) {
            const int columnNo = r.UInt16();
            if (columnNo < 1 || columnNo > static_cast<int>(descriptors.size()))
                RaiseCorruptHeader();
            calculations[static_cast<std::size_t>(columnNo - 1)] = r.WPWideString();
        }
    } else {
        for (std::size_t i = 0; i < descriptors.size(); ++i) {
            if (descriptors[i].Stored.Options & cdoFormula)
                calculations[i] = wide(r.ShortString(kOldCalculationLength));
        }
    }

    for (std::size_t i = 0; i < descriptors.size(); ++i) {
        if (descriptors[i].Stored.Options & cdoValueRange) {
            TTdbValueRange range;
            range.ColumnNo = static_cast<std::int16_t>(i + 1);
            range.Lower = r.Double();
            range.Upper = r.Double();
            result.Ranges.push_back(range);
        }
    }

    std::vector<std::u16string> names;
    for (const TOldDescriptor& d : descriptors)
        names.push_back(d.Stored.Name);
    MakeColumnNamesUnique(names);
    TTdbColumnDefs& columns = result.Definition.Columns;
    for (std::size_t i = 0; i < descriptors.size(); ++i) {
        TTdbStoredColumn stored = descriptors[i].Stored;
        stored.Name = names[i];
        std::unique_ptr<TTdbColumnDef> column = BuildColumnDef(stored, level);
        if (!calculations[i].empty())
            column->SetCalculation(CreateStoredCalculation(factory, calculations[i], level));
        columns.Add(std::move(column));
    }
    if (columns.GetRecordSize() != result.RecordSize)
        RaiseCorruptHeader();

    if (level == 4) {
        const int keyCount = r.UInt16();
        for (int i = 0; i < keyCount; ++i) {
            const bool primary = r.Int8() == 1;
            std::u16string name = wide(r.WPAnsiString());
            const std::u16string keyColumns = wide(r.WPAnsiString());
            result.Definition.Keys.Add(
                std::make_unique<TTdbCandidateKeyDef>(std::move(name), keyColumns, primary));
        }
        const int checkCount = r.UInt16();
        for (int i = 0; i < checkCount; ++i) {
            std::u16string name = wide(r.WPAnsiString());
            const std::u16string condition = r.WPWideString();
            result.Definition.Checks.Add(std::make_unique<TTdbCheckDef>(
                std::move(name), CreateStoredCondition(factory, condition, level)));
        }
        const int foreignKeyCount = r.UInt16();
        for (int i = 0; i < foreignKeyCount; ++i) {
            auto key = std::make_unique<TTdbForeignKeyDef>();
            key->SetName(wide(r.WPAnsiString()));
            key->SetParentTableName(wide(r.WPAnsiString()));
            key->SetParentColumnNamesTdb(r.WPWideString());
            key->SetColumnNamesTdb(r.WPWideString());
            r.Int8();
            const std::uint8_t updateAction = r.Int8();
            const std::uint8_t deleteAction = r.Int8();
            if (updateAction > tiaCascade || deleteAction > tiaCascade)
                RaiseCorruptHeader();
            key->SetUpdateAction(static_cast<TTdbForeignKeyAction>(updateAction));
            key->SetDeleteAction(static_cast<TTdbForeignKeyAction>(deleteAction));
            result.Definition.ForeignKeys.Add(std::move(key));
        }
    }

    if (auto* recordId = dynamic_cast<TTdbRecordIdColumnDef*>(columns.FindFirst(ctAutoInc))) {
        TTdbSortVector vector{};
        r.Bytes(vector);
        recordId->SetIndexSpec(RecordIdSpecFromVector(vector, columns, factory, level));
        result.HasRecordId = true;
        result.NextRecordIdOffset = r.Position();
        result.NextRecordId = r.Int32();
    }
    result.RecordStart = r.Position();
    header = std::move(result);
}

}  // namespace tdb
