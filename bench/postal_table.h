// The postal table the lookup benchmarks read: Code and Name (Hungarian collation) with the
// ByName index, rows taken from the postal list over and over.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include "engine/base_table.h"
#include "engine/catalog.h"
#include "engine/session.h"
#include "index/index_text.h"
#include "platform/text.h"
#include "postal_rows.h"
#include "types/data_type.h"

namespace tdb::bench {

// Row n of a table of Count rows: the postal list over and over, the repeats numbered so that
// names stay realistic and many of them share long prefixes.
struct TRow {
    std::int32_t Code;
    std::u16string Name;
};

inline TRow RowAt(std::int32_t n) {
    const auto& rows = PostalRows();
    const auto size = static_cast<std::int32_t>(rows.size());
    const TPostalRow& row = rows[static_cast<std::size_t>(n % size)];
    std::u16string name = row.Name;
    if (n >= size)
        name += u" " + NumberText(n / size);
    return {std::stoi(ToUtf8(row.Code)), std::move(name)};
}

// Makes the table Name of Count rows in the session's database and leaves it closed.
inline void CreatePostalTable(TTdbLocalSession& session, const std::u16string& name,
                              std::int32_t count) {
    TTdbCreateTableArgs args;
    args.StoragePath = name;
    args.Capacity = count;
    args.ColumnDefs.Add(
        TTdbColumnDef::CreateColumnDef(u"Code", TTdbDataType::GetDataType(ctInteger, false), 0));
    args.ColumnDefs.Add(TTdbColumnDef::CreateStringColumnDef(
        u"Name", TTdbDataType::GetStringType(ctWideString, false, 48, u"Hungarian"), 0,
        u"Hungarian"));
    if (session.Catalog().CreateTable(args) != 0)
        std::abort();
    const int rltnIdx =
        session.Catalog().OpenTable(name, {}, kRightsWrite | kRightExclusive, false, false, false);
    auto& table = dynamic_cast<TTdbBaseTable&>(*session.Catalog().GetRelation(rltnIdx));
    std::vector<std::byte> record(static_cast<std::size_t>(table.GetRecordSize()));
    // Records first, the index built over them afterwards, as a bulk load does.
    for (std::int32_t n = 0; n < count; ++n) {
        const TRow row = RowAt(n);
        table.InitRecord(record, false);
        table.Access().SetInt32(record, 1, row.Code, false);
        table.Access().SetWideString(record, 2, row.Name, false);
        if (table.DataFile()->InsertRecord(record) < 1)
            std::abort();
    }
    const TTdbSortDef byName =
        ParseIndexSpecification(u"ByName", u"Name", table.ColumnDefs(), 6, false);
    if (table.NewIndex(u"ByName", byName, {}, count) < 0 || table.Flush(false) != 0)
        std::abort();
    session.Catalog().CloseRelation(rltnIdx);
}

}  // namespace tdb::bench
