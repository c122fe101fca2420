// Index names and kinds: how a table's indexes are named at each table level, which of them
// the engine maintains itself, and which file holds each.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tdb {

enum TTdbIndexKind : std::uint8_t {
    tikUnknown = 0,
    tikUser = 1,
    tikTemporary = 2,
    tikAdl = 3,         // the engine's indexes of record ids and links
    tikConstraint = 4,  // primary key and other constraint indexes
};

// The engine's own indexes from table level 4 on, with their index numbers.
inline constexpr std::u16string_view kSysInrIndexName = u"sys_Inr";
inline constexpr std::u16string_view kSysIdIndexName = u"sys_Id";
inline constexpr std::u16string_view kSysPrimaryIndexName = u"sys_Primary";
inline constexpr std::int16_t kSysInrIndexNo = -1;
inline constexpr std::int16_t kSysIdIndexNo = -2;
inline constexpr std::int16_t kSysPrimaryIndexNo = -3;
// "sys_In1" to "sys_In9": the link indexes, numbered 1 to 9.
std::u16string LinkIndexName(int linkNo);

// Names are compared without case. From level 4 on indexes have plain names; below, they are
// known by their file names.
TTdbIndexKind GetIndexKind(std::u16string_view indexName, std::int16_t tableLevel);
// Maintained and dropped by the engine.
inline bool IsAutomaticKind(TTdbIndexKind kind) noexcept {
    return kind == tikAdl || kind == tikConstraint;
}

// The file of an index of the table in Directory (which ends with a delimiter or is empty).
std::u16string CalcIndexFileName(std::u16string_view directory, std::u16string_view tableName,
                                 std::u16string_view indexName, std::int16_t tableLevel);
// Whether an index name names the file: the file name counts without an extension ".ind" or
// ".tdbi", and case is ignored.
bool IsSameName(std::u16string_view indexName, std::u16string_view fileName);

}  // namespace tdb
