// The definition block of level 5 and 6 table headers, the password scrambling and check texts
// every level uses, and the column definitions made from stored column fields.
//
// Definition block (decrypted; read as a stream, then zero bytes to the end of the block):
//   check text          WP wide string of 40 letters "a".."z"; "t","d","b" at 7, 24, 37
//   password            fixed wide string of 40, scrambled (level 5: scrambled ANSI bytes)
//   collation name      WP wide string; empty = built-in
//   capacity            int32, >= 1
//   reserved            int32, 0
//   record size         uint16, 1..32767
//   reserved            uint16, 0
//   record-id spec      WP wide string; when not empty one byte follows: 1 unique, 0 not
//   user types          level 6 only: uint16 count; per type: name, int16 code, int16 super code
//   columns             uint16 count (1..1000); per column:
//                         type (1 byte), name, options (uint32), size (int16), calculation
//                         String/WideString: collation, max length (uint16)
//                         Float: scale (1 byte)         Memo/WideMemo: collation
//                         Enum: names joined by LF      Link/Relation: table ("@" = itself)
//                         Time: precision (1 byte)
//   candidate keys      uint16 count; per key: primary (1 byte), name, columns joined by ","
//   checks              uint16 count; per check: name, condition, an empty string
//   foreign keys        uint16 count; per key: name, columns, parent table, parent columns,
//                         update action (1 byte), delete action (1 byte)
// Strings without a form named are WP wide strings.
#include <algorithm>
#include <random>

#include "base/byte_image.h"
#include "base/engine_error.h"
#include "base/engine_errors.h"
#include "storage/data_file_header.h"
#include "types/collation.h"

namespace tdb {

namespace {

constexpr std::size_t kCheckTextLength = 40;
constexpr std::size_t kPasswordFieldLength = 40;
constexpr std::int32_t kDefinitionAlignment = 8192;
constexpr std::int32_t kDefinitionLengthField = 4525;
constexpr int kMaxEnumItems = 255;
constexpr std::uint8_t kMaxForeignKeyAction = tiaCascade;

std::u16string RandomLetters(std::size_t count) {
    static thread_local std::mt19937 generator{std::random_device{}()};
    std::uniform_int_distribution<int> letter(0, 25);
    std::u16string text(count, u'a');
    for (char16_t& c : text)
        c = static_cast<char16_t>(u'a' + letter(generator));
    return text;
}

bool IsSelfLink(std::u16string_view linkedTable, std::u16string_view tableName) {
    return linkedTable == u"@" || (!tableName.empty() && CompareNames(linkedTable, tableName) == 0);
}

std::u16string StoredLinkedTable(const TTdbColumnDef& column, std::u16string_view tableName) {
    auto* adl = dynamic_cast<const TTdbAdlColumnDef*>(&column);
    if (!adl)
        return {};
    return IsSelfLink(adl->LinkedTable, tableName) ? std::u16string(u"@") : adl->LinkedTable;
}

// The password as the definition block keeps it: scrambled code units at level 6, scrambled
// bytes of the ANSI text (one code unit each) at level 5.
std::u16string StoredPassword(std::int16_t level, std::u16string_view password,
                              const TTdbCollation& collation) {
    std::u16string cut(password.substr(0, std::min(password.size(), kPasswordFieldLength)));
    if (level >= 6)
        return ScramblePassword(cut);
    std::string ansi = ScramblePassword(collation.ToAnsi(cut));
    ansi.resize(std::min(ansi.size(), kPasswordFieldLength));
    std::u16string units;
    for (char c : ansi)
        units.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
    return units;
}

bool PasswordMatches(std::int16_t level, std::u16string_view stored, std::u16string_view expected,
                     const TTdbCollation& collation) {
    return stored == StoredPassword(level, expected, collation);
}

}  // namespace

// ---- Passwords and check texts ----

std::u16string ScramblePassword(std::u16string_view text) {
    std::u16string result(text.rbegin(), text.rend());
    for (char16_t& c : result)
        c = static_cast<char16_t>(~c);
    return result;
}

std::string ScramblePassword(std::string_view ansi) {
    std::string result(ansi.rbegin(), ansi.rend());
    for (char& c : result)
        c = static_cast<char>(~static_cast<unsigned char>(c));
    return result;
}

std::u16string MakeDefinitionCheckText() {
    std::u16string text = RandomLetters(kCheckTextLength);
    text[7] = u't';
    text[24] = u'd';
    text[37] = u'b';
    return text;
}

bool IsDefinitionCheckText(std::u16string_view text) {
    return text.size() == kCheckTextLength && text[7] == u't' && text[24] == u'd' &&
           text[37] == u'b';
}

std::array<std::byte, 80> MakeOldCheckText(std::uint16_t recordSize, std::int16_t columnCount) {
    std::u16string text = RandomLetters(kCheckTextLength);
    text[7] = static_cast<char16_t>(recordSize);
    text[31] = static_cast<char16_t>(columnCount);
    std::array<std::byte, 80> image{};
    for (std::size_t i = 0; i < text.size(); ++i)
        StoreLE<std::uint16_t>(image.data() + 2 * i, static_cast<std::uint16_t>(text[i]));
    return image;
}

bool IsOldCheckText(std::span<const std::byte, 80> text, std::uint16_t recordSize,
                    std::int16_t columnCount) {
    return LoadLE<std::uint16_t>(text.data() + 14) == recordSize &&
           LoadLE<std::uint16_t>(text.data() + 62) == static_cast<std::uint16_t>(columnCount);
}

// ---- Columns ----

std::unique_ptr<TTdbColumnDef> BuildColumnDef(const TTdbStoredColumn& stored, std::int16_t level) {
    const bool nullable =
        (stored.Options & cdoNullable) != 0 && TTdbColumnDef::MayBeNullable(stored.Type, level);
    TTdbColumnOptions options = stored.Options;
    if (!nullable)
        options &= ~cdoNullable;
    std::unique_ptr<TTdbColumnDef> column;
    try {
        switch (stored.Type) {
            case ctString:
            case ctWideString:
            case ctMemo:
            case ctWideMemo: {
                const TTdbDataType* type;
                if (stored.MaxLength < 0 &&
                    (stored.Type == ctString || stored.Type == ctWideString))
                    type = TTdbDataType::GetDataType(stored.Type, nullable, stored.Size, level);
                else
                    type = TTdbDataType::GetStringType(stored.Type, nullable, stored.MaxLength,
                                                       stored.Collation, level);
                column = TTdbColumnDef::CreateStringColumnDef(stored.Name, type, options,
                                                              stored.Collation);
                break;
            }
            case ctFloat:
                column = TTdbColumnDef::CreateColumnDef(
                    stored.Name,
                    TTdbDataType::GetFloatType(nullable, static_cast<std::int16_t>(stored.Scale),
                                               level),
                    options);
                break;
            case ctTime: {
                // Precisions other than 1 to 4 keep minutes, like precision 2.
                const auto precision = static_cast<std::int16_t>(
                    stored.Precision >= 1 && stored.Precision <= 4 ? stored.Precision : 2);
                column = TTdbColumnDef::CreateColumnDef(
                    stored.Name, TTdbDataType::GetDateTimeType(ctTime, nullable, precision, level),
                    options);
                break;
            }
            case ctEnum: {
                const auto items =
                    std::count(stored.EnumNames.begin(), stored.EnumNames.end(), u'\n') + 1;
                if (stored.EnumNames.empty() || items > kMaxEnumItems)
                    RaiseCorruptHeader();
                column = TTdbColumnDef::CreateColumnDef(
                    stored.Name,
                    TTdbDataType::GetEnumType(stored.Name, stored.EnumNames, u'\n', u'\0', nullable,
                                              level),
                    options);
                break;
            }
            case 14:
            case 15:
                RaiseCorruptHeader();
            default:
                column = TTdbColumnDef::CreateColumnDef(
                    stored.Name, TTdbDataType::GetDataType(stored.Type, nullable, level), options);
                break;
        }
    } catch (const ETdbEngine& e) {
        // A length or collation the registry refuses: the header describes no usable column.
        if (e.Code() == kTdbErrCorruptHeader)
            throw;
        RaiseCorruptHeader();
    }
    if (!column || column->Size != stored.Size)
        RaiseCorruptHeader();
    if (auto* adl = dynamic_cast<TTdbAdlColumnDef*>(column.get()))
        adl->LinkedTable = stored.LinkedTable;
    return column;
}

// ---- Levels 5 and 6 ----

std::vector<std::byte> SerializeDefinition(std::int16_t level, const TTdbTableDefinition& def,
                                           std::u16string_view tableName,
                                           std::u16string_view password) {
    const TTdbCollation& collation = TTdbCollation::Get(def.CollationName);
    const TTdbColumnDefs& columns = def.Columns;
    THeaderWriter w;
    w.WPWideString(MakeDefinitionCheckText());
    w.FixedWideString(StoredPassword(level, password, collation), kPasswordFieldLength);
    w.WPWideString(def.CollationName);
    w.Int32(def.Capacity);
    w.Int32(0);
    w.UInt16(static_cast<std::uint16_t>(columns.GetRecordSize()));
    w.UInt16(0);

    auto* recordId = dynamic_cast<const TTdbRecordIdColumnDef*>(columns.FindFirst(ctAutoInc));
    const std::u16string recordIdSpec = recordId ? recordId->IndexSpec : std::u16string();
    w.WPWideString(recordIdSpec);
    if (!recordIdSpec.empty())
        w.Int8(recordId->GetUniqueIdInfo() ? 1 : 0);

    if (level >= 6) {
        w.UInt16(static_cast<std::uint16_t>(def.Types.GetCount()));
        for (int i = 0; i < def.Types.GetCount(); ++i) {
            const TTdbTypeDef* type = def.Types.Get(i);
            w.WPWideString(type->GetName());
            w.Int16(type->TypeCode);
            w.Int16(type->SuperTypeCode);
        }
    }

    w.UInt16(static_cast<std::uint16_t>(columns.GetCount()));
    for (int i = 0; i < columns.GetCount(); ++i) {
        const TTdbColumnDef& column = *columns.GetColumnDef(i);
        const TTdbColumnType type = column.GetColumnType();
        w.Int8(static_cast<std::uint8_t>(type));
        w.WPWideString(column.Name);
        w.Int32(static_cast<std::int32_t>(column.Options));
        w.Int16(column.Size);
        w.WPWideString(column.GetCalculation()
                           ? StoredExpressionSource(*column.GetCalculation(), level)
                           : std::u16string());
        switch (type) {
            case ctString:
            case ctWideString: {
                auto& text = static_cast<const TTdbTextColumnDef&>(column);
                w.WPWideString(column.GetCollation());
                w.UInt16(static_cast<std::uint16_t>(text.GetMaxLen()));
                break;
            }
            case ctFloat:
                w.Int8(static_cast<std::uint8_t>(
                    static_cast<const TTdbNumberColumnDef&>(column).FScale));
                break;
            case ctMemo:
            case ctWideMemo:
                w.WPWideString(column.GetCollation());
                break;
            case ctEnum:
                w.WPWideString(
                    static_cast<const TTdbEnumColumnDef&>(column).CalcEnumValueList(u'\n'));
                break;
            case ctLink:
            case ctRelation:
                w.WPWideString(StoredLinkedTable(column, tableName));
                break;
            case ctTime:
                w.Int8(static_cast<std::uint8_t>(
                    static_cast<const TTdbTimeColumnDef&>(column).FPrecision));
                break;
            default:
                break;
        }
    }

    w.UInt16(static_cast<std::uint16_t>(def.Keys.GetCount()));
    for (int i = 0; i < def.Keys.GetCount(); ++i) {
        const TTdbCandidateKeyDef* key = def.Keys.Get(i);
        w.Int8(key->GetIsPrimary() ? 1 : 0);
        w.WPWideString(key->GetName());
        w.WPWideString(key->GetColumnNamesStr());
    }

    w.UInt16(static_cast<std::uint16_t>(def.Checks.GetCount()));
    for (int i = 0; i < def.Checks.GetCount(); ++i) {
        const TTdbCheckDef* check = def.Checks.Get(i);
        w.WPWideString(check->GetName());
        // A procedural condition keeps its "@"; stored bare it would come back as SQL.
        w.WPWideString(check->GetCondition() ? StoredExpressionSource(*check->GetCondition(), level)
                                             : std::u16string());
        w.WPWideString(u"");
    }

    w.UInt16(static_cast<std::uint16_t>(def.ForeignKeys.GetCount()));
    for (int i = 0; i < def.ForeignKeys.GetCount(); ++i) {
        const TTdbForeignKeyDef* key = def.ForeignKeys.Get(i);
        w.WPWideString(key->GetName());
        w.WPWideString(key->GetColumnNamesStr());
        w.WPWideString(key->GetParentTableName());
        w.WPWideString(key->GetParentColumnNamesStr());
        w.Int8(key->GetUpdateAction());
        w.Int8(key->GetDeleteAction());
    }
    return std::move(w.Data());
}

std::int32_t DefinitionBlockLength(std::size_t serializedSize) {
    const std::int64_t p = kDefinitionLengthField;
    const std::int64_t end =
        (p + 4 + static_cast<std::int64_t>(serializedSize) + 2 * kDefinitionAlignment) /
        kDefinitionAlignment * kDefinitionAlignment;
    return static_cast<std::int32_t>(end - p - 4);
}

void ParseDefinition(std::span<const std::byte> block, std::int16_t level,
                     TTdbExpressionFactory& factory, std::u16string_view expectedPassword,
                     TTdbTableDefinition& def, std::uint16_t& recordSize) {
    THeaderReader r(block);
    // A wrong key garbles the whole block: the check text tells that before anything else.
    std::u16string checkText;
    try {
        checkText = r.WPWideString(kCheckTextLength);
    } catch (const ETdbEngine&) {
        RaiseEngineError(kTdbErrInvalidCredentials);
    }
    if (!IsDefinitionCheckText(checkText))
        RaiseEngineError(kTdbErrInvalidCredentials);
    const std::u16string storedPassword = r.FixedWideString(kPasswordFieldLength);

    TTdbTableDefinition result;
    result.CollationName = r.WPWideString();
    const TTdbCollation* collation = nullptr;
    try {
        collation = &TTdbCollation::Get(result.CollationName);
    } catch (const ETdbEngine&) {
        RaiseCorruptHeader();
    }
    if (!PasswordMatches(level, storedPassword, expectedPassword, *collation))
        RaiseEngineError(kTdbErrInvalidCredentials);

    result.Capacity = r.Int32();
    r.Int32();
    const std::uint16_t storedRecordSize = r.UInt16();
    r.UInt16();
    if (result.Capacity < 1 || storedRecordSize == 0 || storedRecordSize >= kTdbRecordSizeLimit)
        RaiseCorruptHeader();

    const std::u16string recordIdSpec = r.WPWideString();
    const bool recordIdUnique = !recordIdSpec.empty() && r.Int8() != 0;

    if (level >= 6) {
        const std::uint16_t typeCount = r.UInt16();
        for (int i = 0; i < typeCount; ++i) {
            std::u16string name = r.WPWideString();
            const std::int16_t code = r.Int16();
            const std::int16_t superCode = r.Int16();
            result.Types.Add(std::make_unique<TTdbTypeDef>(std::move(name), code, superCode));
        }
    }

    const std::uint16_t columnCount = r.UInt16();
    if (columnCount == 0 || columnCount > kTdbMaxColumns)
        RaiseCorruptHeader();
    for (int i = 0; i < columnCount; ++i) {
        TTdbStoredColumn stored;
        stored.Type = r.Int8();
        stored.Name = r.WPWideString(kTdbMaxColumnNameLength);
        stored.Options = static_cast<TTdbColumnOptions>(r.Int32());
        stored.Size = r.Int16();
        const std::u16string calculation = r.WPWideString();
        switch (stored.Type) {
            case ctString:
            case ctWideString:
                stored.Collation = r.WPWideString();
                stored.MaxLength = r.UInt16();
                break;
            case ctFloat:
                stored.Scale = r.Int8();
                break;
            case ctMemo:
            case ctWideMemo:
                stored.Collation = r.WPWideString();
                break;
            case ctEnum:
                stored.EnumNames = r.WPWideString();
                break;
            case ctLink:
            case ctRelation:
                stored.LinkedTable = r.WPWideString();
                break;
            case ctTime:
                stored.Precision = r.Int8();
                break;
            default:
                break;
        }
        std::unique_ptr<TTdbColumnDef> column = BuildColumnDef(stored, level);
        if (!calculation.empty())
            column->SetCalculation(CreateStoredCalculation(factory, calculation, level));
        result.Columns.Add(std::move(column));
    }
    if (result.Columns.GetRecordSize() != storedRecordSize)
        RaiseCorruptHeader();
    auto* recordId = dynamic_cast<TTdbRecordIdColumnDef*>(result.Columns.FindFirst(ctAutoInc));
    if (!recordIdSpec.empty()) {
        if (!recordId)
            RaiseCorruptHeader();
        recordId->SetIndexSpec(recordIdSpec);
        recordId->SetUniqueIdInfo(recordIdUnique);
    }

    const std::uint16_t keyCount = r.UInt16();
    for (int i = 0; i < keyCount; ++i) {
        const bool primary = r.Int8() == 1;
        std::u16string name = r.WPWideString();
        const std::u16string keyColumns = r.WPWideString();
        result.Keys.Add(
            std::make_unique<TTdbCandidateKeyDef>(std::move(name), keyColumns, primary));
    }

    const std::uint16_t checkCount = r.UInt16();
    for (int i = 0; i < checkCount; ++i) {
        std::u16string name = r.WPWideString();
        const std::u16string condition = r.WPWideString();
        r.WPWideString();
        result.Checks.Add(std::make_unique<TTdbCheckDef>(
            std::move(name), CreateStoredCondition(factory, condition, level)));
    }

    const std::uint16_t foreignKeyCount = r.UInt16();
    for (int i = 0; i < foreignKeyCount; ++i) {
        std::u16string name = r.WPWideString();
        const std::u16string childColumns = r.WPWideString();
        std::u16string parentTable = r.WPWideString();
        const std::u16string parentColumns = r.WPWideString();
        const std::uint8_t updateAction = r.Int8();
        const std::uint8_t deleteAction = r.Int8();
        if (updateAction > kMaxForeignKeyAction || deleteAction > kMaxForeignKeyAction)
            RaiseCorruptHeader();
        result.ForeignKeys.Add(TTdbForeignKeyDef::CreateStr(
            std::move(name), static_cast<TTdbForeignKeyAction>(deleteAction),
            static_cast<TTdbForeignKeyAction>(updateAction), parentColumns, std::move(parentTable),
            childColumns));
    }

    recordSize = storedRecordSize;
    def = std::move(result);
}

}  // namespace tdb
