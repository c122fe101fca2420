// A second process for the index file tests: it opens an index of a level-6 table of an Integer
// column N and a String column S shared, adds entries, flushes, and says how many the index now
// holds, so that the test can watch another process's entries arrive through Update.
//
//   index_probe DIRECTORY FILE INDEX FIRST LAST  -> prints "count N" after adding the records
//       FIRST..LAST to the index named INDEX (record number = N = key, S = "n" and the key in
//       five digits)
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "index/index_file.h"
#include "index/index_keys.h"
#include "platform/text.h"
#include "storage/os_file_system.h"
#include "storage/page_manager.h"
#include "types/column_def.h"

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: index_probe DIRECTORY FILE INDEX FIRST LAST\n");
        return 2;
    }
    try {
        tdb::TdwOSFileSystem fileSystem(tdb::FromUtf8(argv[1]));
        tdb::TTdbPageManager pageManager;
        pageManager.RegisterClient(1, 1024);
        tdb::TTdbColumnDefs columns;
        columns.Add(u"N", tdb::TTdbDataType::GetDataType(tdb::ctInteger, false, 6), 0);
        columns.Add(tdb::TTdbColumnDef::CreateStringColumnDef(
            u"S", tdb::TTdbDataType::GetStringType(tdb::ctString, false, 20, u"", 6), 0, u""));
        const tdb::TTdbIndexKeys keys(columns, 6);
        auto storage = std::make_unique<tdb::TTdbClientStorage>(pageManager, fileSystem, 1, nullptr);
        storage->SetName(tdb::FromUtf8(argv[2]));
        tdb::TTdbIndexFile file(keys, 6, std::move(storage));
        file.SetName(tdb::FromUtf8(argv[3]));
        if (file.Open() != 0) {
            std::printf("open failed: %s\n", tdb::ToUtf8(file.LastErrorMessage()).c_str());
            return 1;
        }
        std::vector<std::byte> record(static_cast<std::size_t>(columns.GetRecordSize()));
        std::vector<std::byte> entry(static_cast<std::size_t>(file.IndSize()));
        const tdb::TTdbColumnDef& nColumn = *columns.GetColumnDef(0);
        const tdb::TTdbColumnDef& sColumn = *columns.GetColumnDef(1);
        for (int n = std::atoi(argv[4]); n <= std::atoi(argv[5]); ++n) {
            tdb::TTdbDataValue value;
            nColumn.DataType->SetReference(value, record.data() + nColumn.Position);
            nColumn.DataType->SetInteger(value, n);
            char text[16];
            std::snprintf(text, sizeof text, "n%05d", n);
            sColumn.DataType->SetReference(value, record.data() + sColumn.Position);
            sColumn.DataType->SetAnsiString(value, text);
            const std::int32_t size = keys.CalcIndexInfo(file.IndexDef(), record, n, entry);
            if (file.Add_Index(std::span<const std::byte>(entry).first(
                    static_cast<std::size_t>(size))) != 0) {
                std::printf("add failed: %s\n", tdb::ToUtf8(file.LastErrorMessage()).c_str());
                return 1;
            }
        }
        const std::int32_t count = file.ItemCount();
        if (file.Flush() != 0 || file.Close() != 0) {
            std::printf("flush failed\n");
            return 1;
        }
        std::printf("count %d\n", count);
    } catch (const std::exception& e) {
        std::printf("failed: %s\n", e.what());
        return 1;
    }
    return 0;
}
