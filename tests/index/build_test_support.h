// What the index building tests share: the columns of a postal-code table and a few of other
// kinds, at a given table level.
#pragma once

#include "types/column_def.h"
#include "types/data_type.h"

namespace tdb::testing {

// 1 IRSZ WideString(4), 10 bytes; 2 TELEP nullable WideString(38) under the Hungarian
// collation, 79 bytes; 3 N Integer; 4 S String(20), 21 bytes; 5 M Memo; 6 "Név utca"
// WideString(10), 22 bytes.
inline TTdbColumnDefs MakeColumns(std::int16_t level) {
    TTdbColumnDefs columns;
    const auto wide = [&](const char16_t* name, int length, bool nullable,
                          const char16_t* collation) {
        columns.Add(TTdbColumnDef::CreateStringColumnDef(
            name, TTdbDataType::GetStringType(ctWideString, nullable, length, collation, level), 0,
            collation));
    };
    wide(u"IRSZ", 4, false, u"");
    wide(u"TELEP", 38, true, u"Hungarian");
    columns.Add(u"N", TTdbDataType::GetDataType(ctInteger, false, level), 0);
    columns.Add(TTdbColumnDef::CreateStringColumnDef(
        u"S", TTdbDataType::GetStringType(ctString, false, 20, u"", level), 0, u""));
    columns.Add(u"M", TTdbDataType::GetDataType(ctMemo, false, level), 0);
    wide(u"Név utca", 10, false, u"");
    return columns;
}

}  // namespace tdb::testing
