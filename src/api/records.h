// The records callers exchange with the engine through the call interface. Their layout is fixed
// (little-endian, packed, texts as zero-terminated arrays of 16-bit characters) because callers
// and the remote protocol lay them out byte for byte; the asserts below pin every offset.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace tdb::api {

// The records are handed over as they lie in memory.
static_assert(std::endian::native == std::endian::little);

#pragma pack(push, 1)

// The client identity a session is given.
struct TTdbNetParams {
    char16_t NetDirs[256];
    char16_t PrivateDir[256];
    std::uint32_t StationNo;
    char16_t StationName[41];
    char16_t ReadOnlyDirs[257];
    std::int32_t ServerTimeout;  // milliseconds
};

struct TTdbDatabaseInfo {
    std::int16_t ManagementLevel;
    std::int16_t EncryptionMethod;
};

struct TTdbTableInfo {
    char16_t FileName[256];
    std::int16_t Level;
    char16_t Language[41];  // the collation name
    std::uint8_t EncryptionMethod;
    std::uint8_t Reserved[3];
    std::int32_t Capacity;
};

// One column of a table.
struct TTdbFieldSpec {
    std::int16_t No;  // from 1
    char16_t Name[41];
    // Column option bits: 0x01 the formula is computed when records are written (clear: it is a
    // default value), 0x04 with 0x01 only when they are appended, 0x08 the image has a null
    // indicator byte (reported only), 0x20 nullable, 0x40 a unique record-id specification.
    std::uint8_t Options;
    std::uint8_t Reserved1;
    char16_t RangeOrFormula[256];
    // Enum: the value names separated by ","; AutoInc: the record-id index specification; Link
    // and Relation: the table referred to.
    char16_t SelectOrLink[2001];
    std::int16_t FldType;
    std::uint8_t Reserved2[2];
    // String, WideString: the length in characters; Float: the scale; Time: the precision (1
    // hours to 4 milliseconds; 0 when creating means 4); 0 for other types.
    std::int32_t Param;
    std::int16_t InternalPosition;  // byte offset in the record buffer
    std::int16_t InternalSize;
};

// A primary or other unique key of a table being created.
struct TTdbKeySpec {
    std::uint8_t IsPrimaryKey;
    std::uint8_t Reserved;
    char16_t Name[41];
    char16_t Fields[256];  // column names separated by ","
};

struct TTdbCheckSpec {
    std::uint8_t ConstraintType;
    std::uint8_t Reserved;
    char16_t Name[41];
    char16_t SearchCondition[256];
};

// A foreign key: the columns of IndexSpec must match those of MasterIndexSpec in MasterTable.
struct TTdbIntegrityRuleSpec {
    char16_t Name[41];
    char16_t MasterTable[45];
    char16_t MasterIndexSpec[256];
    char16_t IndexSpec[256];
    std::int16_t InsertAction;
    std::int16_t UpdateAction;
    std::int16_t DeleteAction;
};

struct TTdbIndexInfoBlock {
    char16_t Name[45];
    std::uint16_t KeySize;
    std::uint16_t Order;
    std::uint16_t Height;
    std::int64_t Cap;
    std::int32_t PageSize;
    std::uint8_t Reserved[4];
};

struct TTdbRltnInfo {
    std::int32_t nRecs;
    std::uint16_t nFields;
    std::uint16_t RecSize;
    std::int32_t FSize;
    std::int32_t TotalSize;
    std::uint8_t MemoOkay;
    std::uint8_t BlobOkay;
    std::uint8_t Reserved[2];
};

#pragma pack(pop)

static_assert(sizeof(TTdbNetParams) == 1628);
static_assert(offsetof(TTdbNetParams, PrivateDir) == 512);
static_assert(offsetof(TTdbNetParams, StationNo) == 1024);
static_assert(offsetof(TTdbNetParams, StationName) == 1028);
static_assert(offsetof(TTdbNetParams, ReadOnlyDirs) == 1110);
static_assert(offsetof(TTdbNetParams, ServerTimeout) == 1624);

static_assert(sizeof(TTdbDatabaseInfo) == 4);
static_assert(offsetof(TTdbDatabaseInfo, EncryptionMethod) == 2);

static_assert(sizeof(TTdbTableInfo) == 604);
static_assert(offsetof(TTdbTableInfo, Level) == 512);
static_assert(offsetof(TTdbTableInfo, Language) == 514);
static_assert(offsetof(TTdbTableInfo, EncryptionMethod) == 596);
static_assert(offsetof(TTdbTableInfo, Capacity) == 600);

static_assert(sizeof(TTdbFieldSpec) == 4612);
static_assert(offsetof(TTdbFieldSpec, Name) == 2);
static_assert(offsetof(TTdbFieldSpec, Options) == 84);
static_assert(offsetof(TTdbFieldSpec, RangeOrFormula) == 86);
static_assert(offsetof(TTdbFieldSpec, SelectOrLink) == 598);
static_assert(offsetof(TTdbFieldSpec, FldType) == 4600);
static_assert(offsetof(TTdbFieldSpec, Param) == 4604);
static_assert(offsetof(TTdbFieldSpec, InternalPosition) == 4608);
static_assert(offsetof(TTdbFieldSpec, InternalSize) == 4610);

static_assert(sizeof(TTdbKeySpec) == 596);
static_assert(offsetof(TTdbKeySpec, Name) == 2);
static_assert(offsetof(TTdbKeySpec, Fields) == 84);

static_assert(sizeof(TTdbCheckSpec) == 596);
static_assert(offsetof(TTdbCheckSpec, Name) == 2);
static_assert(offsetof(TTdbCheckSpec, SearchCondition) == 84);

static_assert(sizeof(TTdbIntegrityRuleSpec) == 1202);
static_assert(offsetof(TTdbIntegrityRuleSpec, MasterTable) == 82);
static_assert(offsetof(TTdbIntegrityRuleSpec, MasterIndexSpec) == 172);
static_assert(offsetof(TTdbIntegrityRuleSpec, IndexSpec) == 684);
static_assert(offsetof(TTdbIntegrityRuleSpec, InsertAction) == 1196);
static_assert(offsetof(TTdbIntegrityRuleSpec, UpdateAction) == 1198);
static_assert(offsetof(TTdbIntegrityRuleSpec, DeleteAction) == 1200);

static_assert(sizeof(TTdbIndexInfoBlock) == 112);
static_assert(offsetof(TTdbIndexInfoBlock, KeySize) == 90);
static_assert(offsetof(TTdbIndexInfoBlock, Order) == 92);
static_assert(offsetof(TTdbIndexInfoBlock, Height) == 94);
static_assert(offsetof(TTdbIndexInfoBlock, Cap) == 96);
static_assert(offsetof(TTdbIndexInfoBlock, PageSize) == 104);

static_assert(sizeof(TTdbRltnInfo) == 20);
static_assert(offsetof(TTdbRltnInfo, nFields) == 4);
static_assert(offsetof(TTdbRltnInfo, RecSize) == 6);
static_assert(offsetof(TTdbRltnInfo, FSize) == 8);
static_assert(offsetof(TTdbRltnInfo, TotalSize) == 12);
static_assert(offsetof(TTdbRltnInfo, MemoOkay) == 16);
static_assert(offsetof(TTdbRltnInfo, BlobOkay) == 17);

}  // namespace tdb::api
