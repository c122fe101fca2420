// What the audits of stored tables share with their probe process: the table they make, how
// they append records past the record writer, and the check that an index agrees with its table.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engine/base_table.h"
#include "indexed_insert.h"
#include "engine/catalog.h"
#include "index/index_entry.h"
#include "index/index_file.h"
#include "index/index_text.h"
#include "platform/text.h"
#include "storage/data_file.h"
#include "types/data_type.h"

namespace tdb::audit {

// The values a record of an audit table is made of; the record id is the table's to give.
struct TRow {
    std::int32_t Code = 0;
    std::u16string Name;
    bool operator==(const TRow&) const = default;
};

// Settlement-like names with Hungarian letters, accents and many duplicates.
inline std::u16string SettlementName(std::uint32_t n) {
    static const std::u16string_view first[] = {u"Szé",  u"Bala", u"Öcs",  u"Győ", u"Kis",
                                                u"Nagy", u"Ács",  u"Zala", u"Cse", u"Duna"};
    static const std::u16string_view second[] = {
        u"kes", u"tonfüred", u"öd", u"r", u"várda", u"kanizsa", u"rény", u"lak", u"újfalu"};
    const std::uint32_t h = n * 2654435761u;
    return std::u16string(first[h % 10]) + std::u16string(second[(h / 10) % 9]);
}

inline TRow RowFor(std::uint32_t n) {
    return {static_cast<std::int32_t>(1000 + (n * 7919u) % 9000), SettlementName(n)};
}

// Id (the record id, so the table has the automatic index "sys_Inr"), Code and Name under the
// Hungarian collation, with the user indexes ByName and ByCode.
inline TTdbCreateTableArgs AuditTableArgs(std::u16string name) {
    TTdbCreateTableArgs args;
    args.StoragePath = std::move(name);
    args.Capacity = 1000;
    args.ColumnDefs.Add(
        TTdbColumnDef::CreateColumnDef(u"Id", TTdbDataType::GetDataType(ctAutoInc, false), 0));
    args.ColumnDefs.Add(
        TTdbColumnDef::CreateColumnDef(u"Code", TTdbDataType::GetDataType(ctInteger, false), 0));
    args.ColumnDefs.Add(TTdbColumnDef::CreateStringColumnDef(
        u"Name", TTdbDataType::GetStringType(ctWideString, false, 38, u"Hungarian"), 0,
        u"Hungarian"));
    for (const auto& [index, text] : {std::pair{u"ByName", u"Name"}, {u"ByCode", u"Code"}})
        args.IndexDefs.Add(std::make_unique<TTdbSortDef>(
            ParseIndexSpecification(index, text, args.ColumnDefs, 6, false)));
    return args;
}

inline TRow ReadRow(TTdbRelation& table, std::span<const std::byte> record) {
    TRow row;
    TTdbDataValue value;
    const TTdbColumnDef& code =
        *table.ColumnDefs().GetColumnDef(table.FindColumn(u"Code", false) - 1);
    code.DataType->SetReference(value, const_cast<std::byte*>(record.data()) + code.Position);
    row.Code = static_cast<std::int32_t>(code.DataType->GetInteger(value));
    const TTdbColumnDef& name =
        *table.ColumnDefs().GetColumnDef(table.FindColumn(u"Name", false) - 1);
    name.DataType->SetReference(value, const_cast<std::byte*>(record.data()) + name.Position);
    row.Name = name.DataType->GetWideString(value);
    return row;
}

// Writes the row's values into a record of an audit table.
inline void SetRow(TTdbRelation& table, std::span<std::byte> record, const TRow& row) {
    const TTdbColumnDef& code =
        *table.ColumnDefs().GetColumnDef(table.FindColumn(u"Code", false) - 1);
    const TTdbColumnDef& name =
        *table.ColumnDefs().GetColumnDef(table.FindColumn(u"Name", false) - 1);
    TTdbDataValue value;
    code.DataType->SetReference(value, record.data() + code.Position);
    code.DataType->SetInteger(value, row.Code);
    name.DataType->SetReference(value, record.data() + name.Position);
    name.DataType->SetWideString(value, row.Name);
}

// Appends the rows straight into the data file with fresh record ids and adds their entries to
// every index, the way writing a record does; the caller flushes. Empty, or what went wrong.
inline std::string AppendRows(TTdbBaseTable& table, const std::vector<TRow>& rows) {
    std::vector<std::byte> record(static_cast<std::size_t>(table.GetRecordSize()));
    for (const TRow& row : rows) {
        if (table.InitRecord(record, table.HasRecordId()) != 0)
            return "no record id";
        SetRow(table, record, row);
        if (std::string failure = testing::InsertIndexed(table, record); !failure.empty())
            return failure;
    }
    return {};
}

// The records of the table in record-number order.
inline std::vector<TRow> ReadRows(TTdbRelation& table) {
    std::vector<TRow> rows;
    std::vector<std::byte> record(static_cast<std::size_t>(table.GetRecordSize()));
    for (std::int32_t recNo = 1; recNo <= table.GetRecordCount(); ++recNo) {
        if (table.ReadRecord(recNo, record) != 0)
            break;
        rows.push_back(ReadRow(table, record));
    }
    return rows;
}

// Holds a read lock on the table while an audit walks its files, as every reader must: the
// catalog's unlock thread flushes a table that nobody holds.
class TReadLock {
public:
    explicit TReadLock(TTdbBaseTable& table) : table_(table), held_(table.BeginRead(true) == 0) {}
    ~TReadLock() {
        if (held_)
            table_.EndRead();
    }
    TReadLock(const TReadLock&) = delete;
    TReadLock& operator=(const TReadLock&) = delete;

private:
    TTdbBaseTable& table_;
    bool held_;
};

// The record numbers of an index in index order; empty when it does not open.
inline std::vector<std::int32_t> IndexOrder(TTdbBaseTable& table, TTdbIndexNo no) {
    TReadLock lock(table);
    std::vector<std::int32_t> order;
    if (!table.CheckIndexOpen(no, false))
        return order;
    TTdbIndexFile& index = *table.GetIndexFile(no);
    std::span<std::byte> entry = index.GetWorkInfo(4);
    for (int found = index.Erster_Index(entry); found == 0; found = index.Naechster_Index(entry))
        order.push_back(GetDateiVerweis(entry));
    return order;
}

// Empty when the index agrees with the table: it opens, its tree checks clean, it holds as many
// entries as the table records, each record number once, and every entry is the one its record
// builds. Otherwise what disagrees.
inline std::string IndexDisagreement(TTdbBaseTable& table, TTdbIndexNo no) {
    TReadLock lock(table);
    const std::string name =
        table.GetIndexFile(no) != nullptr ? ToUtf8(table.GetIndexFile(no)->Name()) : "?";
    if (!table.CheckIndexOpen(no, false))
        return name + " does not open";
    TTdbIndexFile& index = *table.GetIndexFile(no);
    const std::int32_t records = table.GetRecordCount();
    if (index.ItemCount() != records)
        return name + " counts " + std::to_string(index.ItemCount()) + " entries for " +
               std::to_string(records) + " records";
    std::int32_t items = 0;
    std::int32_t wrong = 0;
    if (index.Check(items, wrong) != 0 || wrong != 0)
        return name + " does not check clean";
    std::vector<std::byte> record(static_cast<std::size_t>(table.GetRecordSize()));
    std::vector<std::byte> built(static_cast<std::size_t>(index.IndSize()));
    std::set<std::int32_t> seen;
    std::span<std::byte> entry = index.GetWorkInfo(4);
    for (int found = index.Erster_Index(entry); found == 0; found = index.Naechster_Index(entry)) {
        const std::int32_t recNo = GetDateiVerweis(entry);
        if (recNo < 1 || recNo > records || !seen.insert(recNo).second)
            return name + " holds record " + std::to_string(recNo) + " wrongly";
        if (table.ReadRecord(recNo, record) != 0)
            return name + ": record " + std::to_string(recNo) + " unreadable";
        table.Keys().CalcIndexInfo(index.IndexDef(), record, recNo, built);
        if (!table.Keys().IsSameIndexInfo(index.IndexDef(), built, entry))
            return name + ": the entry of record " + std::to_string(recNo) + " is not its key";
    }
    if (static_cast<std::int32_t>(seen.size()) != records)
        return name + " walks " + std::to_string(seen.size()) + " entries for " +
               std::to_string(records) + " records";
    return {};
}

}  // namespace tdb::audit
