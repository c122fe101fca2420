// A second process for the heap data file tests: it opens a table shared, appends records,
// flushes, and says how many the table now has, so that the test can watch another process's
// changes arrive through Invalidate.
//
//   data_file_probe DIRECTORY FILE COUNT  -> prints "count N" after appending COUNT records
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "platform/text.h"
#include "storage/heap_data_file.h"
#include "storage/os_file_system.h"

namespace {

class PlainFactory : public tdb::TTdbExpressionFactory {
public:
    std::unique_ptr<tdb::TTdbCalculation> CreateCalculation(std::u16string_view,
                                                            tdb::TTdbExpressionSyntax,
                                                            std::int16_t) override {
        return nullptr;
    }
    std::unique_ptr<tdb::TTdbCondition> CreateCondition(std::u16string_view,
                                                        tdb::TTdbExpressionSyntax,
                                                        std::int16_t) override {
        return nullptr;
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: data_file_probe DIRECTORY FILE COUNT\n");
        return 2;
    }
    try {
        tdb::TdwOSFileSystem fileSystem(tdb::FromUtf8(argv[1]));
        tdb::TTdbPageManager pageManager;
        pageManager.RegisterClient(1, 1024);
        tdb::TTdbHeapDataFile file(pageManager, fileSystem, 1, tdb::FromUtf8(argv[2]));
        tdb::TdwCryptor cryptor;
        PlainFactory factory;
        std::int32_t capacity = 0;
        std::u16string collation;
        tdb::TTdbTypeDefs types;
        tdb::TTdbColumnDefs columns;
        tdb::TTdbCheckDefs checks;
        tdb::TTdbCandidateKeyDefs keys;
        tdb::TTdbForeignKeyDefs foreignKeys;
        file.Open(false, false, cryptor, factory, capacity, collation, types, columns, checks, keys,
                  foreignKeys);
        std::vector<std::byte> record(file.GetRecordSize(), std::byte{0x5A});
        const int count = std::atoi(argv[3]);
        for (int i = 0; i < count; ++i) {
            if (file.InsertRecord(record) < 0) {
                std::printf("insert failed\n");
                return 1;
            }
        }
        file.Flush();
        std::printf("count %d\n", file.GetRecordCount());
        file.Close();
    } catch (const std::exception& e) {
        std::printf("error %s\n", e.what());
        return 1;
    }
    return 0;
}
