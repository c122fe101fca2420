// Tables of a directory database through the catalog: creating them with their indexes,
// opening them by name, reading their records and definitions, and what the catalog refuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "../platform/test_support.h"
#include "../storage/fault_file_system.h"
#include "indexed_insert.h"
#include "base/engine_errors.h"
#include "engine/base_table.h"
#include "engine/catalog.h"
#include "engine/session.h"
#include "index/index_entry.h"
#include "index/index_text.h"
#include "platform/text.h"
#include "storage/heap_data_file.h"
#include "storage/page_manager.h"
#include "types/data_type.h"

namespace tdb {
namespace {

using testing::TempDir;

// One column of a test table.
std::unique_ptr<TTdbColumnDef> Column(std::u16string name, const TTdbDataType* type) {
    if (type->IsStringType())
        return TTdbColumnDef::CreateStringColumnDef(std::move(name), type, 0, u"");
    return TTdbColumnDef::CreateColumnDef(std::move(name), type, 0);
}

class CatalogTest : public ::testing::Test {
protected:
    CatalogTest() { OpenSession(); }
    ~CatalogTest() override { CloseSession(); }

    void OpenSession(bool exclusive = true) {
        session_ = std::make_unique<TTdbLocalSession>(&pm_);
        ASSERT_EQ(session_->Initialize(1), 0);
        Catalog().SetLocation(dir_.Name());
        Catalog().SetExclusive(exclusive);
        ASSERT_EQ(session_->OpenDb(), 0) << LastError();
    }
    void CloseSession() {
        if (session_) {
            session_->Uninitialize();
            session_.reset();
        }
    }
    TTdbCatalog& Catalog() { return session_->Catalog(); }
    TTdbServices& Services() { return session_->Services(); }
    std::string LastError() { return ToUtf8(Services().LastError().LastErrorMsg()); }
    std::int16_t LastCode() { return Services().LastError().LastErrorCode(); }
    TTdbBaseTable& Table(int rltnIdx) {
        return dynamic_cast<TTdbBaseTable&>(*Catalog().GetRelation(rltnIdx));
    }

    // Irsz-like: a code and a settlement name under the Hungarian collation.
    std::int16_t CreateIrsz(std::u16string name = u"Irsz", std::int16_t level = 6,
                            bool withIndexes = true) {
        TTdbCreateTableArgs args;
        args.StoragePath = std::move(name);
        args.Level = level;
        args.Capacity = 1000;
        args.ColumnDefs.Add(Column(u"IRSZ", TTdbDataType::GetStringType(ctWideString, false, 4, u"", level)));
        args.ColumnDefs.Add(TTdbColumnDef::CreateStringColumnDef(
            u"TELEP", TTdbDataType::GetStringType(ctWideString, false, 38, u"Hungarian", level), 0,
            u"Hungarian"));
        if (withIndexes) {
            args.IndexDefs.Add(std::make_unique<TTdbSortDef>(
                ParseIndexSpecification(u"TELEP", u"TELEP", args.ColumnDefs, level, false)));
            args.IndexDefs.Add(std::make_unique<TTdbSortDef>(
                ParseIndexSpecification(u"IRSZ", u"IRSZ", args.ColumnDefs, level, false)));
        }
        return Catalog().CreateTable(args);
    }

    int Open(std::u16string_view name, std::uint16_t rights = TTdbCatalog::kAllWriteRights) {
        return Catalog().OpenTable(name, {}, rights, false, false, false);
    }

    // Appends records straight into the data file of a closed table.
    void AppendRows(const std::u16string& fileName,
                    const std::vector<std::pair<std::u16string, std::u16string>>& rows) {
        const int rltnIdx = Open(fileName);
        ASSERT_GT(rltnIdx, 0) << LastError();
        TTdbBaseTable& table = Table(rltnIdx);
        std::vector<std::byte> record(static_cast<std::size_t>(table.GetRecordSize()));
        for (const auto& [code, name] : rows) {
            ASSERT_EQ(table.InitRecord(record, false), 0);
            SetText(table, record, 1, code);
            SetText(table, record, 2, name);
            ASSERT_EQ(testing::InsertIndexed(table, record), "") << LastError();
        }
        ASSERT_EQ(table.Flush(false), 0);
        Catalog().CloseRelation(rltnIdx);
    }

    static void SetText(TTdbRelation& table, std::span<std::byte> record, int fieldNo,
                        std::u16string_view text) {
        const TTdbColumnDef& column = *table.ColumnDefs().GetColumnDef(fieldNo - 1);
        TTdbDataValue value;
        column.DataType->SetReference(value, record.data() + column.Position);
        column.DataType->SetWideString(value, text);
    }
    static std::u16string GetText(TTdbRelation& table, std::span<std::byte> record, int fieldNo) {
        const TTdbColumnDef& column = *table.ColumnDefs().GetColumnDef(fieldNo - 1);
        TTdbDataValue value;
        column.DataType->SetReference(value, record.data() + column.Position);
        return column.DataType->GetWideString(value);
    }

    // The record numbers of an index in index order.
    static std::vector<std::int32_t> IndexOrder(TTdbBaseTable& table, TTdbIndexNo no) {
        std::vector<std::int32_t> order;
        EXPECT_TRUE(table.CheckIndexOpen(no, false));
        TTdbIndexFile& index = *table.GetIndexFile(no);
        std::span<std::byte> entry = index.GetWorkInfo(4);
        for (int found = index.Erster_Index(entry); found == 0;
             found = index.Naechster_Index(entry))
            order.push_back(GetDateiVerweis(entry));
        return order;
    }

    TTdbPageManager pm_;
    TempDir dir_;
    std::unique_ptr<TTdbLocalSession> session_;
};

TEST_F(CatalogTest, CreatedTableOpensWithItsIndexesAndReadsItsRecords) {
    ASSERT_EQ(CreateIrsz(), 0) << LastError();
    EXPECT_TRUE(std::filesystem::exists(dir_.Path() / "Irsz.tdbt"));
    EXPECT_TRUE(std::filesystem::exists(dir_.Path() / "Irsz!TELEP.tdbi"));
    AppendRows(u"Irsz", {{u"7100", u"Szekszárd"}, {u"1011", u"Budapest"}, {u"6720", u"Szeged"}});

    const int rltnIdx = Open(u"irsz");  // names match without case
    ASSERT_GT(rltnIdx, 0) << LastError();
    TTdbBaseTable& table = Table(rltnIdx);
    EXPECT_EQ(table.StdName(), u"Irsz");
    EXPECT_EQ(table.GetRecordCount(), 3);
    EXPECT_EQ(table.GetIndexCount(), 2);
    EXPECT_EQ(table.FindIndexByName(u"telep"), 0);
    EXPECT_EQ(IndexOrder(table, table.FindIndexByName(u"TELEP")),
              (std::vector<std::int32_t>{2, 3, 1}));
    std::vector<std::byte> record(static_cast<std::size_t>(table.GetRecordSize()));
    ASSERT_EQ(table.ReadRecord(3, record), 0);
    EXPECT_EQ(GetText(table, record, 2), u"Szeged");
    EXPECT_EQ(table.ReadRecord(4, record), -kTdbErrRecordNotFound);

    SetText(table, record, 1, u"6720");
    EXPECT_EQ(table.LocateRecord(record, table.FindIndexByName(u"IRSZ")), 3);
    SetText(table, record, 1, u"6721");
    EXPECT_EQ(table.LocateRecord(record, table.FindIndexByName(u"IRSZ")), 0);

    // A second open of the same table in this session is refused.
    EXPECT_EQ(Open(u"Irsz"), -kTdbErrTableAlreadyOpen);
    EXPECT_EQ(Catalog().FindRltnIdx(u"IRSZ"), rltnIdx);
}

TEST_F(CatalogTest, KeysWithANameOfTheirOwnGetAnIndexThatOpens) {
    TTdbCreateTableArgs args;
    args.StoragePath = u"Irsz";
    args.ColumnDefs.Add(Column(u"IRSZ", TTdbDataType::GetStringType(ctWideString, false, 4, u"")));
    args.ColumnDefs.Add(Column(u"TELEP", TTdbDataType::GetStringType(ctWideString, false, 38, u"")));
    args.KeyDefs.Add(std::make_unique<TTdbCandidateKeyDef>(u"", u"IRSZ", true));
    args.KeyDefs.Add(std::make_unique<TTdbCandidateKeyDef>(u"Telep_Egyedi", u"TELEP", false));
    ASSERT_EQ(Catalog().CreateTable(args), 0) << LastError();
    EXPECT_TRUE(std::filesystem::exists(dir_.Path() / "Irsz!Telep_Egyedi.tdbi"));

    const int rltnIdx = Open(u"Irsz");
    ASSERT_GT(rltnIdx, 0) << LastError();
    TTdbBaseTable& table = Table(rltnIdx);
    const TTdbIndexNo no = table.FindIndexByName(u"Telep_Egyedi");
    ASSERT_NE(no, kTdbNoIndex);
    EXPECT_TRUE(table.CheckIndexOpen(no, false)) << LastError();
    EXPECT_TRUE(table.GetIndexFile(no)->MustBeUnique());
}

TEST_F(CatalogTest, ColumnsDescribeThemselvesForCallers) {
    TTdbCreateTableArgs args;
    args.StoragePath = u"Oszlopok";
    args.ColumnDefs.Add(Column(u"Nev", TTdbDataType::GetStringType(ctWideString, false, 38, u"")));
    args.ColumnDefs.Add(TTdbColumnDef::CreateColumnDef(
        u"Ido", TTdbDataType::GetDateTimeType(ctTime, false, 2), 0));
    auto size = TTdbColumnDef::CreateColumnDef(u"Meret",
                                               TTdbDataType::GetDataType(ctInteger, false), 0);
    size->SetNullable(true, 6);
    args.ColumnDefs.Add(std::move(size));
    args.ColumnDefs.Add(std::make_unique<TTdbEnumColumnDef>(u"Fajta", u"Kicsi,Nagy", 0, 6));
    ASSERT_EQ(Catalog().CreateTable(args), 0) << LastError();
    const int rltnIdx = Open(u"Oszlopok");
    ASSERT_GT(rltnIdx, 0) << LastError();
    const TTdbRelation& table = Table(rltnIdx);

    struct Expected {
        TTdbColumnType type;
        std::int32_t param;
        std::uint8_t options;
        std::int16_t position;
        std::int16_t size;
        std::u16string_view select;
    };
    const Expected expected[] = {{ctWideString, 38, 0, 0, 78, u""},
                                 {ctTime, 2, 0, 78, 2, u""},
                                 {ctInteger, 0, cdoNullable | cdoNullByte, 80, 5, u""},
                                 {ctEnum, 0, 0, 85, 1, u"Kicsi,Nagy"}};
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        const TTdbFieldSpec spec = table.GetFieldSpec(i + 1);
        EXPECT_EQ(spec.No, i + 1);
        EXPECT_EQ(spec.Name, table.GetFieldName(i + 1));
        EXPECT_EQ(spec.FldType, expected[i].type);
        EXPECT_EQ(spec.Param, expected[i].param);
        EXPECT_EQ(spec.Options, expected[i].options);
        EXPECT_EQ(spec.InternalPosition, expected[i].position);
        EXPECT_EQ(spec.InternalSize, expected[i].size);
        EXPECT_EQ(spec.SelectOrLink, expected[i].select);
    }
    EXPECT_THROW(table.GetFieldSpec(5), ETdbEngine);
    EXPECT_THROW(table.GetFieldSpec(0), ETdbEngine);
}

TEST_F(CatalogTest, CreateTableRefusals) {
    ASSERT_EQ(CreateIrsz(), 0);
    struct Case {
        std::u16string path;
        std::int16_t level;
        std::int16_t code;
    } cases[] = {
        {u"Other.dat", 6, -kTdbErrInvalidTableName},
        {u"Other.tdbt", 5, -kTdbErrInvalidTableName},
        {u"Other.txt", 6, -kTdbErrInvalidTableName},
        {u"", 6, -kTdbErrInvalidIdentifier},
        {u"no name", 3, -kTdbErrInvalidIdentifier},
        {u"IRSZ", 6, -kTdbErrFileExists},  // differs only in case from an existing table
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(ToUtf8(c.path));
        EXPECT_EQ(CreateIrsz(c.path, c.level, false), c.code);
        EXPECT_EQ(LastCode(), -c.code);
    }
    TTdbCreateTableArgs noColumns;
    noColumns.StoragePath = u"Empty";
    EXPECT_EQ(Catalog().CreateTable(noColumns), -kTdbErrUnsupportedFeature);
    TTdbCreateTableArgs badCollation;
    badCollation.StoragePath = u"Bad";
    badCollation.Collation = u"NoSuchCollation";
    badCollation.ColumnDefs.Add(Column(u"A", TTdbDataType::GetDataType(ctInteger, true)));
    EXPECT_EQ(Catalog().CreateTable(badCollation), -kTdbErrCollationNotFound);
    // Nothing of the refused tables was left behind.
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.Path()))
        files.push_back(entry.path().filename().string());
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"Irsz!IRSZ.tdbi", "Irsz!TELEP.tdbi", "Irsz.tdbt",
                                               dir_.Path().filename().string() + ".tdbd"}));
}

TEST_F(CatalogTest, DatBeatsTdbtOnOpenButNotInExistsTable) {
    ASSERT_EQ(CreateIrsz(u"Irsz", 5, false), 0);  // Irsz.dat
    ASSERT_EQ(CreateIrsz(u"Other", 6, false), 0);
    std::filesystem::rename(dir_.Path() / "Other.tdbt", dir_.Path() / "Irsz.tdbt");
    const int rltnIdx = Open(u"Irsz");
    ASSERT_GT(rltnIdx, 0) << LastError();
    EXPECT_EQ(Table(rltnIdx).GetLevel(), 5);
    Catalog().CloseRelation(rltnIdx);
    std::filesystem::remove(dir_.Path() / "Irsz.dat");
    EXPECT_TRUE(Catalog().ExistsTable(u"Irsz"));
    EXPECT_TRUE(Catalog().ExistsTable(u"IRSZ"));
    EXPECT_FALSE(Catalog().ExistsTable(u"Nothing"));
    EXPECT_EQ(Open(u"Nothing"), -kTdbErrFileNotFound);
}

TEST_F(CatalogTest, TableNamesOfAnUnmanagedDirectory) {
    for (const char* name : {"a.dat", "b.tdbt", "c.rel", "sys_x.dat", "d.txt"})
        testing::WriteBytes(dir_.Path() / name, "x");
    std::vector<std::u16string> names = Catalog().GetTableNames();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::u16string>{u"a", u"b", u"c.rel"}));
    EXPECT_EQ(Catalog().DbManagementLevel(), tmlUnmanaged);
}

TEST_F(CatalogTest, ImplausibleFirstRecordIsAWrongKeyButAnEmptyTableOpens) {
    ASSERT_EQ(CreateIrsz(u"Irsz", 6, false), 0);
    const int empty = Open(u"Irsz");
    ASSERT_GT(empty, 0) << LastError();
    Catalog().CloseRelation(empty);
    AppendRows(u"Irsz", {{u"7100", u"Szekszárd"}});
    // What a wrong key decrypts to: a length prefix far beyond the column.
    const int rltnIdx = Open(u"Irsz");
    ASSERT_GT(rltnIdx, 0);
    TTdbBaseTable& table = Table(rltnIdx);
    const std::int64_t position = table.DataFile()->GetRecordCountOffset();
    (void)position;
    std::vector<std::byte> record(static_cast<std::size_t>(table.GetRecordSize()));
    ASSERT_EQ(table.ReadRecord(1, record), 0);
    const TTdbColumnDef& code = *table.ColumnDefs().GetColumnDef(0);
    record[static_cast<std::size_t>(code.Position)] = std::byte{0x7F};
    ASSERT_EQ(table.DataFile()->WriteRecord(1, record), 0);
    ASSERT_EQ(table.Flush(false), 0);
    Catalog().CloseRelation(rltnIdx);
    EXPECT_EQ(Open(u"Irsz"), -kTdbErrInvalidCredentials);
    EXPECT_EQ(Catalog().RelationCount(), 0);
}

TEST_F(CatalogTest, ClearDatEmptiesTableAndIndexesAndRestartsRecordIds) {
    TTdbCreateTableArgs args;
    args.StoragePath = u"Ids";
    args.ColumnDefs.Add(Column(u"Id", TTdbDataType::GetDataType(ctAutoInc, false)));
    args.ColumnDefs.Add(Column(u"Name", TTdbDataType::GetStringType(ctWideString, false, 10, u"")));
    ASSERT_EQ(Catalog().CreateTable(args), 0) << LastError();
    EXPECT_TRUE(std::filesystem::exists(dir_.Path() / "Ids!sys_Inr.tdbi"));
    const int rltnIdx = Open(u"Ids");
    ASSERT_GT(rltnIdx, 0) << LastError();
    TTdbBaseTable& table = Table(rltnIdx);
    ASSERT_TRUE(table.HasRecordId());
    EXPECT_EQ(table.InrIndexNo(), table.FindIndexByName(u"sys_Inr"));
    std::vector<std::byte> record(static_cast<std::size_t>(table.GetRecordSize()));
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(table.InitRecord(record, true), 0) << LastError();
        ASSERT_EQ(testing::InsertIndexed(table, record), "") << LastError();
    }
    EXPECT_EQ(table.FindRecordId(2), 2);
    EXPECT_EQ(table.FindRecordId(0), 0);
    EXPECT_EQ(table.ReadRecordId(3), 3);
    EXPECT_EQ(table.ClearDat(), 3);
    EXPECT_EQ(table.GetRecordCount(), 0);
    EXPECT_EQ(table.FindRecordId(2), 0);
    EXPECT_EQ(table.GetIndexFile(table.InrIndexNo())->ItemCount(), 0);
    ASSERT_EQ(table.InitRecord(record, true), 0);
    EXPECT_EQ(table.GetRecordIdOf(record), 1);
}

TEST_F(CatalogTest, RecordIdsNeedARecordIdColumnAndTheAppendRight) {
    ASSERT_EQ(CreateIrsz(u"Irsz", 6, false), 0);
    const int rltnIdx = Open(u"Irsz", 0);  // read-only
    ASSERT_GT(rltnIdx, 0);
    TTdbBaseTable& table = Table(rltnIdx);
    EXPECT_TRUE(table.GetReadOnly());
    EXPECT_EQ(table.ReadRecordId(1), -kTdbErrNoRecordIdColumn);
    std::vector<std::byte> record(static_cast<std::size_t>(table.GetRecordSize()));
    EXPECT_EQ(table.SetAutoNum(record), -kTdbErrNoRecordIdColumn);
}

TEST_F(CatalogTest, LostIndexesAutomaticRebuiltUserReported) {
    TTdbCreateTableArgs args;
    args.StoragePath = u"Ids";
    args.ColumnDefs.Add(Column(u"Id", TTdbDataType::GetDataType(ctAutoInc, false)));
    args.ColumnDefs.Add(Column(u"Name", TTdbDataType::GetStringType(ctWideString, false, 10, u"")));
    args.IndexDefs.Add(std::make_unique<TTdbSortDef>(
        ParseIndexSpecification(u"ByName", u"Name", args.ColumnDefs, 6, false)));
    ASSERT_EQ(Catalog().CreateTable(args), 0) << LastError();
    std::filesystem::remove(dir_.Path() / "Ids!sys_Inr.tdbi");
    std::filesystem::remove(dir_.Path() / "Ids!ByName.tdbi");
    const int rltnIdx = Open(u"Ids");
    ASSERT_GT(rltnIdx, 0) << LastError();
    EXPECT_TRUE(std::filesystem::exists(dir_.Path() / "Ids!sys_Inr.tdbi"));
    TTdbBaseTable& table = Table(rltnIdx);
    const TTdbIndexNo byName = table.FindIndexByName(u"ByName");
    ASSERT_GE(byName, 0);
    EXPECT_FALSE(table.CheckIndexOpen(byName, false));
    EXPECT_TRUE(table.GetIndexFile(byName)->IsLost());
    EXPECT_FALSE(table.CheckIndexOpen(byName, false));
    EXPECT_EQ(LastCode(), kTdbErrIndexCorrupt);
}

TEST_F(CatalogTest, SystemViewsOfAnUnmanagedDatabase) {
    ASSERT_EQ(CreateIrsz(), 0);
    ASSERT_GT(Open(u"Irsz"), 0);
    const int view = Catalog().OpenTable(u"sys_UserIndexes", {}, 0, false, false, false);
    ASSERT_GT(view, 0) << LastError();
    TTdbRelation& indexes = *Catalog().GetRelation(view);
    ASSERT_EQ(indexes.GetRecordCount(), 2);
    std::vector<std::byte> record(static_cast<std::size_t>(indexes.GetRecordSize()));
    std::vector<std::u16string> names;
    for (std::int32_t recNo = 1; recNo <= 2; ++recNo) {
        ASSERT_EQ(indexes.ReadRecord(recNo, record), 0);
        EXPECT_EQ(GetText(indexes, record, 1), u"Irsz");
        names.push_back(GetText(indexes, record, 2));
    }
    EXPECT_EQ(names, (std::vector<std::u16string>{u"TELEP", u"IRSZ"}));
    const std::u16string viewFile = Catalog().GetRelation(view)->GetFullName();
    Catalog().CloseRelation(view);
    TdwOSFileSystem machine;
    EXPECT_FALSE(machine.FileExists(viewFile));  // the view goes with its close
    EXPECT_EQ(Catalog().OpenTable(u"sys_NoSuchView", {}, 0, false, false, false),
              -kTdbErrFileNotFound);
}

TEST_F(CatalogTest, DeleteAndRenameTables) {
    ASSERT_EQ(CreateIrsz(), 0);
    AppendRows(u"Irsz", {{u"7100", u"Szekszárd"}});
    ASSERT_EQ(Catalog().RenameTable(u"Irsz", u"Posta", {}), 0) << LastError();
    EXPECT_FALSE(std::filesystem::exists(dir_.Path() / "Irsz.tdbt"));
    EXPECT_TRUE(std::filesystem::exists(dir_.Path() / "Posta!TELEP.tdbi"));
    const int rltnIdx = Open(u"Posta");
    ASSERT_GT(rltnIdx, 0) << LastError();
    EXPECT_EQ(Table(rltnIdx).GetRecordCount(), 1);
    EXPECT_EQ(IndexOrder(Table(rltnIdx), 0), (std::vector<std::int32_t>{1}));
    ASSERT_EQ(Catalog().DeleteTable(rltnIdx), 0) << LastError();
    EXPECT_EQ(Catalog().RelationCount(), 0);
    for (const auto& entry : std::filesystem::directory_iterator(dir_.Path()))
        EXPECT_EQ(entry.path().extension(), ".tdbd") << entry.path();
}

TEST_F(CatalogTest, BackupCopiesTablesHeldOpenExclusively) {
    ASSERT_EQ(CreateIrsz(), 0);
    AppendRows(u"Irsz", {{u"7100", u"Szekszárd"}, {u"1011", u"Budapest"}});
    ASSERT_GT(Open(u"Irsz"), 0);
    const std::u16string target = dir_.Name("backup/of/today");
    ASSERT_EQ(Catalog().BackupDatabase(dbtDbDirectory, target), 0) << LastError();
    EXPECT_EQ(Catalog().BackupDatabase(dbtDbDirectory, target), -kTdbErrFileExists);
    EXPECT_EQ(Catalog().BackupDatabase(dbtSingleFile, dir_.Name("single")), -kTdbErrNotSupported);

    CloseSession();
    session_ = std::make_unique<TTdbLocalSession>(&pm_);
    ASSERT_EQ(session_->Initialize(1), 0);
    Catalog().SetLocation(target);
    Catalog().SetExclusive(true);
    ASSERT_EQ(session_->OpenDb(), 0) << LastError();
    const int rltnIdx = Open(u"Irsz");
    ASSERT_GT(rltnIdx, 0) << LastError();
    EXPECT_EQ(Table(rltnIdx).GetRecordCount(), 2);
    EXPECT_EQ(IndexOrder(Table(rltnIdx), Table(rltnIdx).FindIndexByName(u"TELEP")),
              (std::vector<std::int32_t>{2, 1}));
}

TEST_F(CatalogTest, ManagedDatabaseListsItsTablesInItsSystemTables) {
    CloseSession();
    const std::u16string location = dir_.Name("managed");
    session_ = std::make_unique<TTdbLocalSession>(&pm_);
    ASSERT_EQ(session_->Initialize(1), 0);
    ASSERT_EQ(session_->CreateDatabase(dbtDbDirectory, location, tmlManaged, 0, u""), 0)
        << LastError();
    const auto reopen = [&] {
        session_->CloseDb();
        Catalog().SetLocation(location);
        Catalog().SetExclusive(true);
        ASSERT_EQ(session_->OpenDb(), 0) << LastError();
    };
    reopen();
    EXPECT_EQ(Catalog().DbManagementLevel(), tmlManaged);
    EXPECT_TRUE(Catalog().GetTableNames().empty());
    ASSERT_EQ(CreateIrsz(), 0) << LastError();
    ASSERT_EQ(CreateIrsz(u"Other", 6, false), 0) << LastError();
    EXPECT_EQ(Catalog().GetTableNames(), (std::vector<std::u16string>{u"Irsz", u"Other"}));

    reopen();  // every listed table is opened with the database
    EXPECT_GT(Catalog().FindRltnIdx(u"Irsz"), 0);
    EXPECT_GT(Catalog().FindRltnIdx(u"Other"), 0);
    ASSERT_EQ(Catalog().RenameTable(u"Other", u"Renamed", {}), 0) << LastError();
    ASSERT_EQ(Catalog().DeleteTable(u"Irsz", {}), 0) << LastError();
    EXPECT_EQ(Catalog().GetTableNames(), (std::vector<std::u16string>{u"Renamed"}));
    EXPECT_EQ(Catalog().OpenTable(u"sys_UserIndexes", {}, 0, false, false, false),
              -kTdbErrFileNotFound);
    reopen();
    EXPECT_EQ(Catalog().GetTableNames(), (std::vector<std::u16string>{u"Renamed"}));
}

TEST_F(CatalogTest, WrongPasswordAsksTheCallbackUntilItGivesUp) {
    TTdbCreateTableArgs args;
    args.StoragePath = u"Secret";
    args.EncryptionMethod = temProtection;
    args.Key = u"right";
    args.ColumnDefs.Add(Column(u"A", TTdbDataType::GetDataType(ctInteger, true)));
    ASSERT_EQ(Catalog().CreateTable(args), 0) << LastError();
    EXPECT_EQ(Catalog().TryOpenTable(u"Secret", u"wrong", 15, false, false),
              -kTdbErrInvalidCredentials);
    std::vector<std::u16string> offered{u"still wrong", u"right"};
    int asked = 0;
    Services().FPasswordCallback = [&](std::u16string_view table, std::u16string& key) {
        EXPECT_EQ(table, u"Secret");
        if (asked == static_cast<int>(offered.size()))
            return false;
        key = offered[static_cast<std::size_t>(asked++)];
        return true;
    };
    const int rltnIdx = Catalog().TryOpenTable(u"Secret", u"wrong", 15, false, false);
    EXPECT_GT(rltnIdx, 0) << LastError();
    EXPECT_EQ(asked, 2);
    Catalog().CloseRelation(rltnIdx);
    offered = {u"no", u"nope"};
    asked = 0;
    EXPECT_EQ(Catalog().TryOpenTable(u"Secret", u"wrong", 15, false, false),
              -kTdbErrInvalidCredentials);
    EXPECT_EQ(asked, 2);
}

TEST(CatalogMediumTest, TableOnAReadOnlyMediumOpensReadOnly) {
    TempDir dir;
    TTdbPageManager pm;
    auto fileSystem = std::make_unique<testing::FaultFileSystem>(dir.Name());
    testing::FaultFileSystem& medium = *fileSystem;
    pm.AddFileSystem(dir.Name(), std::move(fileSystem));
    TTdbLocalSession session(&pm);
    ASSERT_EQ(session.Initialize(1), 0);
    session.Catalog().SetLocation(dir.Name());
    session.Catalog().SetExclusive(true);
    ASSERT_EQ(session.OpenDb(), 0);
    TTdbCreateTableArgs args;
    args.StoragePath = u"T";
    args.ColumnDefs.Add(Column(u"A", TTdbDataType::GetDataType(ctInteger, true)));
    ASSERT_EQ(session.Catalog().CreateTable(args), 0);
    medium.readOnlyMedium = true;
    const int rltnIdx = session.Catalog().OpenTable(u"T", {}, 15, false, false, false);
    ASSERT_GT(rltnIdx, 0) << ToUtf8(session.Services().LastError().LastErrorMsg());
    EXPECT_TRUE(session.Catalog().GetRelation(rltnIdx)->GetReadOnly());
    session.Uninitialize();
}

TEST_F(CatalogTest, IntegrityRulesFindTheirIndexesAndOpenTheirParent) {
    const auto makeParent = [&](bool keyed) {
        TTdbCreateTableArgs parent;
        parent.StoragePath = u"Parent";
        parent.ColumnDefs.Add(Column(u"Id", TTdbDataType::GetDataType(ctInteger, false)));
        if (keyed)
            parent.KeyDefs.Add(std::make_unique<TTdbCandidateKeyDef>(u"", u"Id", true));
        return Catalog().CreateTable(parent);
    };
    ASSERT_EQ(makeParent(true), 0) << LastError();
    TTdbCreateTableArgs child;
    child.StoragePath = u"Child";
    child.ColumnDefs.Add(Column(u"ParentId", TTdbDataType::GetDataType(ctInteger, false)));
    child.ForeignKeyDefs.Add(
        TTdbForeignKeyDef::Create(u"", tiaReject, tiaReject, u"Id", u"Parent", u"ParentId"));
    EXPECT_EQ(Catalog().CreateTable(child), -kTdbErrTableNotFound);  // the parent must be open
    const int parentIdx = Open(u"Parent");
    ASSERT_GT(parentIdx, 0);
    ASSERT_EQ(Catalog().CreateTable(child), 0) << LastError();
    Catalog().CloseRelation(parentIdx);

    // Opening the child opens its parent and gives the rule an index of its own.
    const int childIdx = Open(u"Child");
    ASSERT_GT(childIdx, 0) << LastError();
    TTdbBaseTable& table = Table(childIdx);
    ASSERT_EQ(table.IntegrityLinks().size(), 1u);
    const TTdbBaseTable::TIntegrityLink link = table.IntegrityLinks()[0];
    EXPECT_EQ(table.GetIndexFile(link.ChildIndexNo)->Name(), u"IR_FK1");
    EXPECT_EQ(link.ParentRltnIdx, Catalog().FindRltnIdx(u"Parent"));
    EXPECT_EQ(Table(link.ParentRltnIdx).GetIndexFile(link.ParentIndexNo)->Name(), u"sys_Primary");
    Catalog().CloseRelation(childIdx);
    Catalog().CloseRelation(link.ParentRltnIdx);

    // Without its parent, or without a parent index over the key, the child does not open.
    std::filesystem::rename(dir_.Path() / "Parent.tdbt", dir_.Path() / "Gone.tdbt");
    EXPECT_EQ(Open(u"Child"), -kTdbErrParentTable);
    std::filesystem::remove(dir_.Path() / "Parent!sys_Primary.tdbi");
    ASSERT_EQ(makeParent(false), 0);
    EXPECT_EQ(Open(u"Child"), -kTdbErrNoSuitableIndex);
    EXPECT_EQ(Catalog().FindRltnIdx(u"Child"), 0);
}

// An accessor's stand-in: a relation with a listener is in use and cannot be closed for room.
class Listener final : public IRelationListener {
public:
    std::u16string GetTag() const override { return u"test"; }
    void RecordDeleted(std::int32_t, std::int32_t) override {}
    void RecordChanged(std::int32_t) override {}
    void RelationChanged() override {}
    void RelationEmptied() override {}
    bool CanRemoveIndex(TTdbIndexNo) override { return true; }
    void IndexRemoved(TTdbIndexNo) override {}
    bool IsEditing(std::int32_t) override { return false; }
};

TEST_F(CatalogTest, RelationSlotsRunOutAfter254AndUnusedRelationsMakeRoom) {
    ASSERT_EQ(CreateIrsz(u"Irsz", 6, false), 0);
    const int base = Open(u"Irsz");
    ASSERT_EQ(base, 1);
    Listener listener;
    Catalog().GetRelation(base)->AddAccessor(&listener);
    for (int i = 2; i <= TTdbCatalog::kMaxRelations; ++i) {
        const int view = Catalog().OpenVirtualRelation(u"View" + NumberText(i), base);
        ASSERT_EQ(view, i) << LastError();
        if (i != 100)
            Catalog().GetRelation(view)->AddAccessor(&listener);
    }
    // Every slot is taken; the one relation nobody uses is closed to make room.
    EXPECT_EQ(Catalog().OpenVirtualRelation(u"Extra", base), 100);
    EXPECT_EQ(Catalog().FindRltnIdx(u"View100"), 0);
    Catalog().GetRelation(100)->AddAccessor(&listener);
    EXPECT_EQ(Catalog().OpenVirtualRelation(u"OneTooMany", base), -kTdbErrTooManyTables);
    EXPECT_EQ(Open(u"Other"), -kTdbErrTooManyTables);
    for (int i = 1; i <= TTdbCatalog::kMaxRelations; ++i)
        Catalog().GetRelation(i)->RemoveAccessor(&listener);
    Catalog().CloseUnneededTables(false, false);
    EXPECT_EQ(Catalog().RelationCount(), 0);
}

// The unlock thread walks the relation list while the session opens and closes tables.
using CatalogThreads = CatalogTest;

TEST_F(CatalogThreads, TablesOpenAndCloseWhileTheUnlockThreadRuns) {
    ASSERT_EQ(CreateIrsz(u"Irsz", 6, false), 0);
    for (int round = 0; round < 50; ++round) {
        const int rltnIdx = Open(u"Irsz");
        ASSERT_GT(rltnIdx, 0) << LastError();
        std::vector<std::byte> record(static_cast<std::size_t>(Table(rltnIdx).GetRecordSize()));
        EXPECT_EQ(Table(rltnIdx).ReadRecord(1, record), -kTdbErrRecordNotFound);
        Catalog().CloseRelation(rltnIdx);
    }
    EXPECT_EQ(Catalog().RelationCount(), 0);
}

}  // namespace
}  // namespace tdb
