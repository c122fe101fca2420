// Writing a record the way writing records will, until the engine writes them itself: into the
// data file, and its entry into every index of the table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "engine/base_table.h"
#include "platform/text.h"

namespace tdb::testing {

// Empty, or what went wrong; RecNo receives the new record's number. A lost user index stays
// lost until it is deleted, and writing passes it by.
inline std::string InsertIndexed(TTdbBaseTable& table, std::span<const std::byte> record,
                                 std::int32_t* recNoOut = nullptr) {
    const std::int32_t recNo = table.DataFile()->InsertRecord(record);
    if (recNo < 1)
        return "insert failed";
    if (recNoOut != nullptr)
        *recNoOut = recNo;
    for (TTdbIndexNo no = 0; no <= table.GetLastIndexNo(); ++no) {
        TTdbIndexFile* index = table.GetIndexFile(no);
        if (index == nullptr)
            continue;
        if (!table.CheckIndexOpen(no, false)) {
            if (index->IsLost() && !index->IsAutomatic())
                continue;
            return "index " + ToUtf8(index->Name()) + " does not open";
        }
        std::span<std::byte> entry = index->GetWorkInfo(3);
        table.Keys().CalcIndexInfo(index->IndexDef(), record, recNo, entry);
        if (index->Add_Index(entry) != 0)
            return "entry not added to " + ToUtf8(index->Name());
    }
    return {};
}

}  // namespace tdb::testing
