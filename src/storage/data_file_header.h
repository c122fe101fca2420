// The table definition as a data file header carries it, and the codecs between it and the
// header images of every table level: the definition block of levels 5 and 6 and the sections
// of the older levels 1 to 4. They work on byte images, so that the file classes only move bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/engine_errors.h"
#include "storage/header_strings.h"
#include "types/calculation.h"
#include "types/column_def.h"
#include "types/constraint_defs.h"

namespace tdb {

class TTdbCollation;

inline constexpr std::int32_t kTdbDataFileSignature = static_cast<std::int32_t>(0xFF57AA64);
inline constexpr std::int16_t kTdbMaxTableLevel = 6;
// The capacity that tables below level 4, which do not store one, are taken to have.
inline constexpr std::int32_t kTdbDefaultOldCapacity = 10000000;

// Everything of a table definition that the data file header stores.
struct TTdbTableDefinition {
    std::int32_t Capacity = 1;
    std::u16string CollationName;
    TTdbTypeDefs Types;
    TTdbColumnDefs Columns;
    TTdbCheckDefs Checks;
    TTdbCandidateKeyDefs Keys;
    TTdbForeignKeyDefs ForeignKeys;
};

// The value range of a column of a level 1-4 table.
struct TTdbValueRange {
    std::int16_t ColumnNo = 0;  // 1-based
    double Lower = 0;
    double Upper = 0;
};

// ---- Passwords and check texts ----

// Reverses the text and complements every character (16-bit at level 6, bytes below).
std::u16string ScramblePassword(std::u16string_view text);
std::string ScramblePassword(std::string_view ansi);

// Forty random letters "a" to "z" with "t", "d", "b" at 7, 24 and 37.
std::u16string MakeDefinitionCheckText();
bool IsDefinitionCheckText(std::u16string_view text);

// The level-4 check text before encryption: forty random letters with the record size in
// character 7 and the column count in character 31.
std::array<std::byte, 80> MakeOldCheckText(std::uint16_t recordSize, std::int16_t columnCount);
bool IsOldCheckText(std::span<const std::byte, 80> text, std::uint16_t recordSize,
                    std::int16_t columnCount);

// ---- Columns ----

// A column as a header stores it, before it becomes a definition.
struct TTdbStoredColumn {
    TTdbColumnType Type = ctNull;
    std::u16string Name;
    TTdbColumnOptions Options = 0;
    std::int32_t Size = 0;
    std::u16string Collation;
    std::int32_t MaxLength = -1;  // String, WideString; -1: follows from Size
    std::int32_t Scale = 0;       // Float
    std::int32_t Precision = 2;   // Time
    std::u16string EnumNames;     // joined by line feeds
    std::u16string LinkedTable;   // Link, Relation
};

// The definition for a stored column at a level; raises 134 when the type has no definition,
// its parameters are out of range, or its size is not the size its type implies.
std::unique_ptr<TTdbColumnDef> BuildColumnDef(const TTdbStoredColumn& stored, std::int16_t level);

// ---- Levels 5 and 6 ----

// The definition block without its padding. TableName lets a link to the table itself be
// stored as "@"; Password is the table password before scrambling.
std::vector<std::byte> SerializeDefinition(std::int16_t level, const TTdbTableDefinition& def,
                                           std::u16string_view tableName,
                                           std::u16string_view password);
// The block length that makes the first record start on a multiple of 8192, with more than
// 8192 and at most 16384 bytes of padding after a definition of SerializedSize bytes.
std::int32_t DefinitionBlockLength(std::size_t serializedSize);

// Reads a decrypted definition block. Raises engine error 38 when the check text or the
// password does not match, 134 when anything does not hold together; Def is filled only on
// success. RecordSize receives the stored record size.
void ParseDefinition(std::span<const std::byte> block, std::int16_t level,
                     TTdbExpressionFactory& factory, std::u16string_view expectedPassword,
                     TTdbTableDefinition& def, std::uint16_t& recordSize);

// ---- Levels 1 to 4 ----

std::int64_t OldRecordCountOffset(std::int16_t level) noexcept;
std::int64_t OldIndexTableOffset(std::int16_t level) noexcept;
std::int32_t OldIndexTableSize(std::int16_t level) noexcept;
// Entries the index name table of a level has room for.
int MaxIndexNames(std::int16_t level) noexcept;

// What the sections of an old header hold. Column definitions are complete: names made
// unique, enum names, calculations and the record-id specification in place.
struct TTdbOldHeader {
    std::int32_t RecordCount = 0;
    std::uint16_t RecordSize = 0;
    std::int32_t Capacity = kTdbDefaultOldCapacity;
    std::vector<std::u16string> IndexNames;
    std::string Password;                   // the password field unscrambled (ANSI)
    std::array<std::byte, 80> CheckText{};  // level 4, as stored
    TTdbTableDefinition Definition;
    std::vector<TTdbValueRange> Ranges;
    bool HasRecordId = false;
    std::int32_t NextRecordId = 0;
    std::int64_t NextRecordIdOffset = 0;  // only with a record-id column
    std::int64_t RecordStart = 0;
};

// The whole old header up to the first record, for a new, empty table. Password is the
// password field's text before scrambling; CheckText the level-4 check text, already encrypted.
// Raises engine error 117 for what the level cannot store (Feature names it).
std::vector<std::byte> SerializeOldHeader(std::int16_t level, const TTdbTableDefinition& def,
                                          std::span<const TTdbValueRange> ranges,
                                          std::string_view password,
                                          std::span<const std::byte, 80> checkText,
                                          std::int32_t nextRecordId, std::u16string_view tableName,
                                          std::u16string_view fileName);

// Reads an old header from the reader's position (just after signature and level). Ansi text
// is in the code page of Collation. Raises 134 (124 for a Memo column whose size is not 4).
void ParseOldHeader(THeaderReader& reader, std::int16_t level, const TTdbCollation& collation,
                    TTdbExpressionFactory& factory, TTdbOldHeader& header);

// The packed record-id index of an old header from a specification text and back.
void RecordIdVector(std::u16string_view indexSpec, bool unique, const TTdbColumnDefs& columns,
                    std::span<std::byte, kTdbSortVectorSize> vector);
std::u16string RecordIdSpecFromVector(std::span<const std::byte, kTdbSortVectorSize> vector,
                                      const TTdbColumnDefs& columns, TTdbExpressionFactory& factory,
                                      std::int16_t level);

// Makes names unique the way old tables need it: a repeated name gets "_2", "_3", ... (cut so
// that the result keeps to 40 characters); an empty one becomes "Column_2", ...
void MakeColumnNamesUnique(std::vector<std::u16string>& names);

}  // namespace tdb
