// The heap data file: record slots after the header, counts and storage sizes, iteration, the
// refusals of writing, and another process's appends arriving through Invalidate.
#include "storage/heap_data_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "../types/table_def_fakes.h"
#include "base/engine_error.h"
#include "platform/text.h"
#include "base/byte_image.h"
#include "fault_file_system.h"
#include "storage/os_file_system.h"
#include "test_support.h"

namespace tdb {
namespace {

using testing::FaultFileSystem;
using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;

class HeapDataFileTest : public ::testing::Test {
protected:
    HeapDataFileTest() { pm_.RegisterClient(1, 8192); }

    // A level-6 table whose records are RecordSize bytes: one String column.
    std::unique_ptr<TTdbHeapDataFile> CreateTable(const std::u16string& name,
                                                  std::int16_t recordSize = 100,
                                                  std::int16_t level = 6) {
        TTdbColumnDefs columns;
        const std::int32_t length = recordSize <= 256 ? recordSize - 1 : recordSize - 2;
        columns.Add(TTdbColumnDef::CreateStringColumnDef(
            u"S", TTdbDataType::GetStringType(ctString, false, length, u"", level), 0, u""));
        auto file = std::make_unique<TTdbHeapDataFile>(pm_, fs_, 1, name);
        file->NewFile(level, cryptor_, 1000, u"", {}, columns, {}, {}, {});
        return file;
    }

    std::unique_ptr<TTdbHeapDataFile> OpenTable(const std::u16string& name) {
        auto file = std::make_unique<TTdbHeapDataFile>(pm_, fs_, 1, name);
        std::int32_t capacity = 0;
        std::u16string collation;
        TTdbTypeDefs types;
        TTdbColumnDefs columns;
        TTdbCheckDefs checks;
        TTdbCandidateKeyDefs keys;
        TTdbForeignKeyDefs foreignKeys;
        file->Open(false, false, cryptor_, factory_, capacity, collation, types, columns, checks,
                   keys, foreignKeys);
        return file;
    }

    // Opens the table afresh and checks its count and the last record.
    void ExpectStored(const std::u16string& name, std::int32_t count, int lastFill) {
        auto reopened = OpenTable(name);
        ASSERT_EQ(reopened->GetRecordCount(), count);
        std::vector<std::byte> buffer(100);
        reopened->ReadRecord(count, buffer);
        EXPECT_EQ(buffer, Record(100, lastFill));
    }

    static std::vector<std::byte> Record(std::size_t size, int fill) {
        return std::vector<std::byte>(size, static_cast<std::byte>(fill));
    }

    TempDir dir_;
    FaultFileSystem fs_{dir_.Name()};
    TTdbPageManager pm_;
    TdwCryptor cryptor_;
    deftest::RecordingFactory factory_;
};

TEST_F(HeapDataFileTest, EmptyTableHasNoRecordsAndAppendsRecordOne) {
    auto file = CreateTable(u"E.tdbt");
    EXPECT_EQ(file->GetRecordCount(), 0);
    EXPECT_EQ(file->GetFirstRecordNo(), -19);
    EXPECT_EQ(file->GetLastRecordNo(), -19);
    EXPECT_EQ(file->GetNextRecordNo(0), -19);
    EXPECT_FALSE(file->GetCanDelete());
    EXPECT_TRUE(file->CanAppend());
    EXPECT_EQ(file->DeleteRecord(1), -3);
    EXPECT_EQ(file->InsertRecord(Record(100, 1)), 1);
    EXPECT_EQ(file->GetFirstRecordNo(), 1);
    EXPECT_EQ(file->GetLastRecordNo(), 1);
}

TEST_F(HeapDataFileTest, RecordsRoundTripAcrossPagesAndReopening) {
    // 300-byte records straddle the 4096-byte pages now and then.
    auto file = CreateTable(u"R.tdbt", 300);
    for (int i = 1; i <= 40; ++i)
        ASSERT_EQ(file->InsertRecord(Record(300, i)), i);
    ASSERT_EQ(file->WriteRecord(14, Record(300, 200)), 0);
    file->Flush();
    file->Close();

    file = OpenTable(u"R.tdbt");
    ASSERT_EQ(file->GetRecordCount(), 40);
    std::vector<std::byte> buffer(300);
    for (int i = 1; i <= 40; ++i) {
        ASSERT_EQ(file->ReadRecord(i, buffer), 0);
        EXPECT_EQ(buffer, Record(300, i == 14 ? 200 : i)) << i;
    }
    // Iteration walks 1..count and stops with -19 at both ends.
    int seen = 0;
    for (std::int32_t n = file->GetFirstRecordNo(); n > 0; n = file->GetNextRecordNo(n))
        ++seen;
    EXPECT_EQ(seen, 40);
    EXPECT_EQ(file->GetPrevRecordNo(1), -19);
    EXPECT_EQ(file->GetPrevRecordNo(2), 1);
    EXPECT_EQ(file->GetNextRecordNo(40), -19);

    // Deleting drops the last slot, whichever number is named.
    EXPECT_EQ(file->DeleteRecord(3), 0);
    EXPECT_EQ(file->GetRecordCount(), 39);
    ASSERT_EQ(file->ReadRecord(3, buffer), 0);
    EXPECT_EQ(buffer, Record(300, 3));
    file->Clear();
    EXPECT_EQ(file->GetRecordCount(), 0);
    EXPECT_EQ(file->GetStorageSize(), file->GetFileOffset());
    file->Flush();
    file->Close();
    EXPECT_EQ(OpenTable(u"R.tdbt")->GetRecordCount(), 0);
}

TEST_F(HeapDataFileTest, StorageIsExactlyAsLongAsTheSlots) {
    auto file = CreateTable(u"S.tdbt", 100);
    EXPECT_EQ(file->GetFileOffset(), 16384);
    for (int i = 0; i < 10; ++i)
        file->InsertRecord(Record(100, i));
    EXPECT_EQ(file->GetStorageSize(), 17384);
    EXPECT_EQ(file->Storage()->GetPageSize(), 4096);
    // Five pages of 4096 bytes take three tiles of the cache; the storage reports whole tiles.
    EXPECT_EQ(file->Storage()->GetSize(), 24576);
    file->Flush();
    EXPECT_EQ(std::filesystem::file_size(dir_.Path() / "S.tdbt"), 24576u);
    for (int i = 0; i < 10; ++i)
        file->DeleteRecord(10 - i);
    EXPECT_EQ(file->GetStorageSize(), 16384);
    EXPECT_EQ(file->Storage()->GetSize(), 16384);
    file->Flush();
    EXPECT_EQ(std::filesystem::file_size(dir_.Path() / "S.tdbt"), 16384u);
}

TEST_F(HeapDataFileTest, WriteBelowRecordOneWritesNothing) {
    auto file = CreateTable(u"W.tdbt");
    file->InsertRecord(Record(100, 1));
    file->Flush();
    const std::string before = ReadBytes(dir_.Path() / "W.tdbt");
    EXPECT_EQ(file->WriteRecord(0, Record(100, 9)), -3);
    EXPECT_EQ(file->WriteRecord(-5, Record(100, 9)), -3);
    file->Flush();
    EXPECT_EQ(ReadBytes(dir_.Path() / "W.tdbt"), before);
    std::vector<std::byte> buffer(100);
    file->ReadRecord(1, buffer);
    EXPECT_EQ(buffer, Record(100, 1));
}

TEST_F(HeapDataFileTest, OldLevelsPutRecordsRightAfterTheHeader) {
    auto file = CreateTable(u"Old.dat", 10, 3);
    const std::int64_t offset = file->GetFileOffset();
    EXPECT_EQ(file->InsertRecord(Record(10, 3)), 1);
    file->Flush();
    file->Close();
    const std::string bytes = ReadBytes(dir_.Path() / "Old.dat");
    ASSERT_LT(offset, 8192);
    ASSERT_EQ(bytes.size(), 8192u) << "one whole tile";
    EXPECT_EQ(bytes[static_cast<std::size_t>(offset)], 3);
    EXPECT_EQ(bytes[10], 1) << "record count at offset 10 of a level-3 header";
}

TEST_F(HeapDataFileTest, AFailedFlushNamesTheFileAndKeepsTheChanges) {
    auto file = CreateTable(u"F.tdbt");
    ASSERT_EQ(file->InsertRecord(Record(100, 7)), 1);
    fs_.writesLeft = 0;
    try {
        file->Flush();
        ADD_FAILURE() << "a failing write flushed";
    } catch (const ETdbEngine& e) {
        EXPECT_EQ(e.Code(), 3);
        EXPECT_NE(ToUtf8(e.Message()).find("F.tdbt"), std::string::npos) << ToUtf8(e.Message());
    }
    fs_.writesLeft = -1;
    file->Flush();
    file->Close();
    ExpectStored(u"F.tdbt", 1, 7);
}

TEST_F(HeapDataFileTest, UndoBringsBackTheFlushedRecordCount) {
    auto file = CreateTable(u"U.tdbt");
    ASSERT_EQ(file->InsertRecord(Record(100, 1)), 1);
    file->Flush();
    ASSERT_EQ(file->InsertRecord(Record(100, 2)), 2);
    file->Undo();
    EXPECT_EQ(file->GetRecordCount(), 1);
    ASSERT_EQ(file->InsertRecord(Record(100, 3)), 2) << "the number the undone record had";
    file->Flush();
    file->Close();
    ExpectStored(u"U.tdbt", 2, 3);
}

// Invalidate reads the count another process wrote; it must meet the same checks as an open.
TEST_F(HeapDataFileTest, InvalidateLowersACountTheFileCannotHold) {
    auto file = CreateTable(u"I.tdbt");
    ASSERT_EQ(file->InsertRecord(Record(100, 1)), 1);
    file->Flush();
    file->UpdateDir();
    const std::int32_t slots = static_cast<std::int32_t>(
        (static_cast<std::int64_t>(ReadBytes(dir_.Path() / "I.tdbt").size()) -
         file->GetFileOffset()) /
        100);
    for (const std::int32_t impossible : {slots + 1, -5, 2000000000}) {
        std::string bytes = ReadBytes(dir_.Path() / "I.tdbt");
        StoreLE<std::int32_t>(bytes.data() + 7, impossible);
        WriteBytes(dir_.Path() / "I.tdbt", bytes);
        file->Invalidate();
        EXPECT_EQ(file->GetRecordCount(), slots) << impossible;
    }
}

// A flush cut short after any of its writes - a process killed in the middle - leaves a table
// that the next process opens, with every record it counts readable as it was written.
TEST_F(HeapDataFileTest, AFlushCutShortLeavesATableThatOpens) {
    constexpr int kRecords = 300;  // 100-byte records over several tiles
    for (int writes = 0;; ++writes) {
        const std::u16string name = u"C" + FromUtf8(std::to_string(writes)) + u".tdbt";
        auto file = CreateTable(name);
        file->UpdateDir();
        for (int i = 1; i <= kRecords; ++i) {
            ASSERT_EQ(file->InsertRecord(Record(100, i % 200 + 1)), i);
        }
        fs_.writesLeft = writes;
        bool complete = true;
        try {
            file->Flush();
        } catch (const ETdbEngine&) {
            complete = false;
        }
        fs_.writesLeft = -1;

        TTdbPageManager other;  // another process's cache
        other.RegisterClient(1, 8192);
        TdwOSFileSystem otherFs{dir_.Name()};
        TTdbHeapDataFile reader(other, otherFs, 1, name);
        std::int32_t capacity = 0;
        std::u16string collation;
        TTdbTypeDefs types;
        TTdbColumnDefs columns;
        TTdbCheckDefs checks;
        TTdbCandidateKeyDefs keys;
        TTdbForeignKeyDefs foreignKeys;
        reader.Open(true, false, cryptor_, factory_, capacity, collation, types, columns, checks,
                    keys, foreignKeys);
        const std::int32_t count = reader.GetRecordCount();
        EXPECT_EQ(count, complete ? kRecords : 0) << writes << " writes";
        std::vector<std::byte> buffer(100);
        for (std::int32_t i = 1; i <= count; ++i) {
            reader.ReadRecord(i, buffer);
            ASSERT_EQ(buffer, Record(100, i % 200 + 1)) << writes << " writes, record " << i;
        }
        if (complete) {
            break;
        }
    }
}

TEST_F(HeapDataFileTest, AnotherProcessesAppendsArriveThroughInvalidate) {
    auto file = CreateTable(u"Shared.tdbt");
    file->InsertRecord(Record(100, 1));
    file->Flush();
    file->UpdateDir();
    ASSERT_EQ(file->GetRecordCount(), 1);

    const testing::ProgramAnswer answer =
        testing::RunProgram({ZENKALO_DATA_FILE_PROBE, dir_.Path().string(), "Shared.tdbt", "5"});
    EXPECT_EQ(answer.status, 0);
    ASSERT_EQ(answer.firstLine, "count 6\n");

    EXPECT_EQ(file->GetRecordCount(), 1) << "nothing changes before Invalidate";
    file->Invalidate();
    EXPECT_EQ(file->GetRecordCount(), 6);
    std::vector<std::byte> buffer(100);
    file->ReadRecord(6, buffer);
    EXPECT_EQ(buffer, Record(100, 0x5A));
}

}  // namespace
}  // namespace tdb
