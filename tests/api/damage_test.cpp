// Damaged and hostile table files met through the call interface: a database of tables of every
// header form, one file of it spoilt at a time, then opened and read the way callers do. Every
// call must answer with a result code (a failure explained by the last error), and the tables
// whose files were not touched must open and read as before, their files unchanged.
//
// The random run is deterministic: round r uses seed r. ZENKALO_DAMAGE_ROUNDS asks for more
// rounds than the default, ZENKALO_DAMAGE_VERBOSE names each round on the error stream before it
// runs, so that a round that brings the process down can be found again.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "../engine/indexed_insert.h"
#include "../platform/test_support.h"
#include "api/call_interface.h"
#include "api/text_buffers.h"
#include "base/engine_errors.h"
#include "engine/base_table.h"
#include "engine/catalog.h"
#include "engine/session.h"
#include "engine/session_list.h"
#include "index/index_entry.h"
#include "index/index_text.h"
#include "platform/text.h"
#include "types/data_type.h"

namespace tdb::api {
namespace {

using testing::TempDir;
namespace fs = std::filesystem;

constexpr std::uint16_t kExclusiveWrite = kTdbRightsWrite | kTdbRightExclusive;

using TRecord = std::vector<std::byte>;
using TFiles = std::map<std::string, std::string>;  // file name → contents

// What a caller learns of a table through the call interface, and its records as the engine
// reads them.
struct TableImage {
    std::u16string info;
    std::u16string fields;
    std::u16string indexes;
    std::vector<TRecord> records;
    bool operator==(const TableImage&) const = default;
};

// The tables of the database: name, level, how many records.
struct TableKind {
    const char16_t* name;
    std::int16_t level;
    int rows;
};
constexpr TableKind kTables[] = {
    {u"Irsz", 6, 300},   // the program's table: two user indexes
    {u"Ids", 6, 200},    // record ids (sys_Inr) and a primary key (sys_Primary)
    {u"Regi5", 5, 150},  // the older wide header
    {u"Regi3", 3, 100},  // the old short header
    {u"Titok", 6, 120},  // protected by a password
};

// The database's key, which the protected table was made with; the others have none.
constexpr const char16_t* kKey = u"Titkos jelszó a postához";

const char16_t* const kSettlements[] = {u"Budapest", u"Szeged",        u"Győr", u"Pécs",
                                        u"Érd",      u"Őriszentpéter", u"Ózd",  u"Szekszárd"};

std::unique_ptr<TTdbColumnDef> Column(std::u16string name, const TTdbDataType* type,
                                      std::u16string collation = {}) {
    if (type->IsStringType())
        return TTdbColumnDef::CreateStringColumnDef(std::move(name), type, 0, std::move(collation));
    return TTdbColumnDef::CreateColumnDef(std::move(name), type, 0);
}

class TableFileDamage : public ::testing::Test {
protected:
    TableFileDamage() : db_(dir_.Name("Posta")) {
        session_ = TdbCreateSession(u"");
        EXPECT_GT(session_, 0);
    }
    ~TableFileDamage() override { TdbSessDelete(session_); }

    // ---- The engine under the session, for what the call interface cannot do yet ----

    TTdbLocalSession& Local() {
        return dynamic_cast<TTdbLocalSession&>(*TSessionList::Instance().GetSession(session_));
    }
    TTdbCatalog& Catalog() { return Local().Catalog(); }
    TTdbBaseTable& Table(std::int16_t rltnHdl) {
        return dynamic_cast<TTdbBaseTable&>(*Catalog().GetRelation(rltnHdl % 256));
    }

    std::pair<std::int16_t, std::string> LastError() {
        std::int16_t code = 0;
        char16_t message[256];
        EXPECT_EQ(TdbSessGetLastError(session_, code, message, 255), kTdbOk);
        return {code, ToUtf8(message)};
    }
    void ClearLastError() { Local().Services().LastError().ClearLastError(); }

    // A failed call must say why. Verbose runs list every answer.
    void ExpectExplained(std::int32_t result, const char* call) {
        if (verbose_)
            std::fprintf(stderr, "  %s: %d %s\n", call, static_cast<int>(result),
                         result < 0 ? LastError().second.c_str() : "");
        if (result >= 0)
            return;
        const auto [code, message] = LastError();
        EXPECT_LT(code, 0) << call << " answered " << result << " without a last error";
        EXPECT_FALSE(message.empty()) << call << " answered " << result << " without a message";
    }

    // ---- Building the database ----

    void CreateTables() {
        ASSERT_EQ(TdbSessCreateDatabase(session_, 0, db_.c_str(), 0, 0, u""), kTdbOk);
        ASSERT_EQ(TdbSessOpenDb(session_, db_.c_str(), u"", kKey, 0, 0), kTdbOk);
        for (const TableKind& kind : kTables) {
            TTdbCreateTableArgs args;
            args.StoragePath = kind.name;
            args.Level = kind.level;
            args.Capacity = 1000;
            const std::u16string name(kind.name);
            const std::int16_t level = kind.level;
            if (name == u"Titok") {
                args.EncryptionMethod = temProtection;
                args.Key = kKey;
                args.KeyDefs.Add(std::make_unique<TTdbCandidateKeyDef>(u"", u"IRSZ", true));
            }
            if (name == u"Irsz" || name == u"Regi5" || name == u"Titok") {
                args.ColumnDefs.Add(Column(
                    u"IRSZ", TTdbDataType::GetStringType(ctWideString, false, 4, u"", level)));
                args.ColumnDefs.Add(Column(
                    u"TELEP",
                    TTdbDataType::GetStringType(ctWideString, false, 38, u"Hungarian", level),
                    u"Hungarian"));
                args.ColumnDefs.Add(Column(
                    u"TELK", TTdbDataType::GetStringType(ctWideString, false, 2, u"", level)));
                args.IndexDefs.Add(std::make_unique<TTdbSortDef>(
                    ParseIndexSpecification(u"TELEP", u"TELEP", args.ColumnDefs, level, false)));
                if (name == u"Irsz")
                    args.IndexDefs.Add(std::make_unique<TTdbSortDef>(
                        ParseIndexSpecification(u"IRSZ", u"IRSZ", args.ColumnDefs, level, false)));
            } else if (name == u"Ids") {
                args.ColumnDefs.Add(Column(u"Id", TTdbDataType::GetDataType(ctAutoInc, false)));
                args.ColumnDefs.Add(Column(u"Kod", TTdbDataType::GetDataType(ctInteger, false)));
                args.ColumnDefs.Add(
                    Column(u"Nev", TTdbDataType::GetStringType(ctWideString, false, 20, u"")));
                args.KeyDefs.Add(std::make_unique<TTdbCandidateKeyDef>(u"", u"Kod", true));
            } else {
                args.ColumnDefs.Add(
                    Column(u"KOD", TTdbDataType::GetDataType(ctInteger, false, level)));
                args.ColumnDefs.Add(
                    Column(u"NEV", TTdbDataType::GetStringType(ctString, false, 30, u"", level)));
                args.IndexDefs.Add(std::make_unique<TTdbSortDef>(
                    ParseIndexSpecification(u"NEV", u"NEV", args.ColumnDefs, level, false)));
            }
            ASSERT_EQ(Catalog().CreateTable(args), 0) << ToUtf8(name) << ": " << LastError().second;
            AppendRows(name, kind.rows);
        }
        for (const TableKind& kind : kTables)
            images_[kind.name] = Image(kind.name);
        ASSERT_EQ(TdbSessCloseDb(session_), kTdbOk);
        for (const auto& entry : fs::directory_iterator(dir_.Path() / "Posta"))
            pristine_[entry.path().filename().string()] = testing::ReadBytes(entry.path());
    }

    static void SetValue(TTdbRelation& table, TRecord& record, int fieldNo,
                         std::u16string_view text, std::int64_t number) {
        const TTdbColumnDef& column = *table.ColumnDefs().GetColumnDef(fieldNo - 1);
        TTdbDataValue value;
        column.DataType->SetReference(value, record.data() + column.Position);
        if (column.DataType->IsStringType())
            column.DataType->SetWideString(value, text);
        else
            column.DataType->SetInteger(value, number);
    }

    // Records go straight into the data file and every index, as record writing will.
    void AppendRows(const std::u16string& name, int rows) {
        const int rltnIdx = Catalog().OpenTable(name, {}, kTdbRightsWrite | kTdbRightExclusive,
                                                false, false, false);
        ASSERT_GT(rltnIdx, 0) << LastError().second;
        auto& table = dynamic_cast<TTdbBaseTable&>(*Catalog().GetRelation(rltnIdx));
        TRecord record(static_cast<std::size_t>(table.GetRecordSize()));
        for (int i = 0; i < rows; ++i) {
            const std::u16string settlement =
                std::u16string(kSettlements[i % std::size(kSettlements)]) + u" " +
                NumberText((i * 37) % 101);
            ASSERT_EQ(table.InitRecord(record, true), 0) << LastError().second;
            if (name == u"Ids" || name == u"Masik") {
                SetValue(table, record, 2, {}, 5000 - 3 * i);
                SetValue(table, record, 3, settlement.substr(0, 20), 0);
            } else if (name == u"Regi3") {
                SetValue(table, record, 1, {}, (i * 7919) % 1000);
                SetValue(table, record, 2, settlement, 0);
            } else {
                SetValue(table, record, 1, NumberText(1000 + (i * 53) % 9000), 0);
                SetValue(table, record, 2, settlement, 0);
                SetValue(table, record, 3, NumberText(i % 40), 0);
            }
            ASSERT_EQ(tdb::testing::InsertIndexed(table, record), "") << LastError().second;
        }
        ASSERT_EQ(table.Flush(false), 0);
        Catalog().CloseRelation(rltnIdx);
    }

    // ---- Reading a table the way callers do ----

    // Opens, describes and closes a table; empty info when it cannot be opened.
    TableImage Image(const std::u16string& name) {
        TableImage image;
        const std::int16_t rltn =
            TdbSessOpenTable(session_, name.c_str(), u"", kExclusiveWrite, false, false);
        EXPECT_GT(rltn, 0) << ToUtf8(name) << ": " << LastError().second;
        if (rltn <= 0)
            return image;
        TTdbTableInfo info{};
        EXPECT_EQ(TdbRltnGetTableInfo(rltn, info), kTdbOk);
        image.info = std::u16string(FixedText(info.FileName)) + u"|" + NumberText(info.Level) +
                     u"|" + std::u16string(FixedText(info.Language)) + u"|" +
                     NumberText(info.Capacity);
        for (std::int16_t no = 1;; ++no) {
            TTdbFieldSpec spec{};
            if (TdbRltnGetFieldSpec(rltn, no, spec) != kTdbOk)
                break;
            image.fields += std::u16string(FixedText(spec.Name)) + u":" + NumberText(spec.FldType) +
                            u":" + NumberText(spec.Param) + u";";
        }
        for (const std::u16string& index : IndexNames(rltn)) {
            char16_t desc[512] = {};
            const std::int16_t kind = TdbRltnGetIndexDesc(rltn, index.c_str(), desc, 511, true, 2);
            image.indexes += index + u"=" + desc + u"/" + NumberText(kind) + u";";
        }
        TTdbBaseTable& table = Table(rltn);
        TRecord record(static_cast<std::size_t>(table.GetRecordSize()));
        for (std::int32_t recNo = 1; recNo <= table.GetRecordCount(); ++recNo) {
            EXPECT_EQ(table.ReadRecord(recNo, record), 0);
            image.records.push_back(record);
        }
        EXPECT_EQ(TdbRltnClose(rltn), kTdbOk);
        return image;
    }

    static std::vector<std::u16string> IndexNames(std::int16_t rltn) {
        char16_t names[2048] = {};
        std::vector<std::u16string> list;
        if (TdbRltnGetIndexNames(rltn, names, 2047) != kTdbOk)
            return list;
        std::u16string_view rest(names);
        while (!rest.empty()) {
            const std::size_t comma = rest.find(u',');
            list.emplace_back(rest.substr(0, comma));
            rest =
                comma == std::u16string_view::npos ? std::u16string_view{} : rest.substr(comma + 1);
        }
        return list;
    }

    // ---- Files ----

    fs::path PathOf(const std::string& file) const { return dir_.Path() / "Posta" / file; }

    void RestorePristine() {
        for (const auto& entry : fs::directory_iterator(dir_.Path() / "Posta"))
            fs::remove_all(entry.path());
        for (const auto& [file, bytes] : pristine_)
            testing::WriteBytes(PathOf(file), bytes);
    }

    // The table a file belongs to.
    static std::u16string OwnerOf(const std::string& file) {
        if (file == "NEV.ind" || file.rfind("Regi3", 0) == 0)
            return u"Regi3";
        for (const TableKind& kind : kTables) {
            const std::string name = ToUtf8(kind.name);
            if (file.rfind(name + ".", 0) == 0 || file.rfind(name + "!", 0) == 0)
                return kind.name;
        }
        return {};
    }
    static bool IsDataFile(const std::string& file) {
        return file.ends_with(".tdbt") ||
               (file.ends_with(".dat") && file.find('!') == std::string::npos);
    }

    // The files of every table other than Owner are as they were made.
    void ExpectOthersUntouched(const std::u16string& owner) {
        for (const auto& [file, bytes] : pristine_) {
            if (OwnerOf(file) == owner || OwnerOf(file).empty())
                continue;
            EXPECT_TRUE(testing::ReadBytes(PathOf(file)) == bytes) << file << " changed";
        }
    }

    // Every table but the owners (names separated by "|") opens and reads as it did before.
    void ExpectOthersRead(const std::u16string& owners) {
        for (const TableKind& kind : kTables) {
            const std::u16string bracketed = u"|" + std::u16string(kind.name) + u"|";
            if ((u"|" + owners + u"|").find(bracketed) != std::u16string::npos)
                continue;
            SCOPED_TRACE(ToUtf8(kind.name));
            EXPECT_TRUE(Image(kind.name) == images_[kind.name]);
        }
    }

    TempDir dir_;
    std::u16string db_;
    std::int16_t session_ = 0;
    const bool verbose_ = std::getenv("ZENKALO_DAMAGE_VERBOSE") != nullptr;
    TFiles pristine_;
    std::map<std::u16string, TableImage> images_;
};

// ---- Cases worth their own tests ----

// The database made once per test, and what it takes to see that an index is the table's own.
class IndexFileDamage : public TableFileDamage {
protected:
    void SetUp() override { CreateTables(); }

    // Every entry of the index stands for one record, with that record's key, and every record
    // has its entry.
    void ExpectIndexAgrees(TTdbBaseTable& table, std::u16string_view name) {
        SCOPED_TRACE(ToUtf8(name));
        const TTdbIndexNo no = table.FindIndexByName(name);
        ASSERT_NE(no, kTdbNoIndex);
        ASSERT_TRUE(table.CheckIndexOpen(no, false)) << LastError().second;
        TTdbIndexFile& index = *table.GetIndexFile(no);
        EXPECT_EQ(index.ItemCount(), table.GetRecordCount());
        TRecord record(static_cast<std::size_t>(table.GetRecordSize()));
        std::vector<bool> seen(static_cast<std::size_t>(table.GetRecordCount()) + 1, false);
        std::span<std::byte> entry = index.GetWorkInfo(4);
        std::span<std::byte> expected = index.GetWorkInfo(3);
        int entries = 0;
        for (int found = index.Erster_Index(entry); found == 0;
             found = index.Naechster_Index(entry)) {
            ++entries;
            const std::int32_t recNo = GetDateiVerweis(entry);
            ASSERT_GE(recNo, 1);
            ASSERT_LE(recNo, table.GetRecordCount());
            EXPECT_FALSE(seen[static_cast<std::size_t>(recNo)]) << recNo;
            seen[static_cast<std::size_t>(recNo)] = true;
            ASSERT_EQ(table.ReadRecord(recNo, record), 0);
            table.Keys().CalcIndexInfo(index.IndexDef(), record, recNo, expected);
            EXPECT_TRUE(table.Keys().IsSameIndexInfo(index.IndexDef(), entry, expected)) << recNo;
        }
        EXPECT_EQ(entries, table.GetRecordCount());
    }

    // Ids opened through the call interface: its engine's indexes are its own again.
    void ExpectIdsSound() {
        const std::int16_t rltn =
            TdbSessOpenTable(session_, u"Ids", u"", kExclusiveWrite, false, false);
        ASSERT_GT(rltn, 0) << LastError().second;
        EXPECT_EQ(IndexNames(rltn), (std::vector<std::u16string>{u"sys_Primary", u"sys_Inr"}));
        char16_t desc[64] = {};
        EXPECT_EQ(TdbRltnGetIndexDesc(rltn, u"sys_Primary", desc, 63, true, 0), 2);
        EXPECT_EQ(std::u16string(desc), u"Kod");
        EXPECT_EQ(TdbRltnGetIndexDesc(rltn, u"sys_Inr", desc, 63, true, 0), 1);
        EXPECT_EQ(std::u16string(desc), u"Id");
        ExpectIndexAgrees(Table(rltn), u"sys_Primary");
        ExpectIndexAgrees(Table(rltn), u"sys_Inr");
        EXPECT_EQ(TdbRltnClose(rltn), kTdbOk);
        EXPECT_TRUE(Image(u"Ids") == images_[u"Ids"]);
    }
};

TEST_F(IndexFileDamage, DamagedOrMissingAutomaticIndexesAreRebuiltSilently) {
    struct Case {
        const char* file;
        const char* damage;
    };
    for (const Case& c :
         {Case{"Ids!sys_Inr.tdbi", "deleted"}, Case{"Ids!sys_Primary.tdbi", "deleted"},
          Case{"Ids!sys_Inr.tdbi", "empty"}, Case{"Ids!sys_Primary.tdbi", "header zeroed"},
          Case{"Ids!sys_Inr.tdbi", "cut"}, Case{"Ids!sys_Primary.tdbi", "garbage"}}) {
        SCOPED_TRACE(std::string(c.file) + " " + c.damage);
        RestorePristine();
        const std::string damage = c.damage;
        std::string bytes = pristine_[c.file];
        if (damage == "deleted") {
            fs::remove(PathOf(c.file));
        } else {
            if (damage == "empty")
                bytes.clear();
            else if (damage == "header zeroed")
                std::fill_n(bytes.begin(), 64, '\0');
            else if (damage == "cut")
                bytes.resize(bytes.size() / 2);
            else
                std::fill(bytes.begin(), bytes.end(), '\x5A');
            testing::WriteBytes(PathOf(c.file), bytes);
        }
        ASSERT_EQ(TdbSessOpenDb(session_, db_.c_str(), u"", kKey, 0, 0), kTdbOk);
        ExpectIdsSound();
        EXPECT_EQ(TdbSessCloseDb(session_), kTdbOk);
        EXPECT_TRUE(testing::ReadBytes(PathOf("Ids.tdbt")) == pristine_["Ids.tdbt"]);
    }
}

TEST_F(IndexFileDamage, AnIndexFileOfTheWrongTableOrIndexIsNotTakenForTheEnginesOwn) {
    // A table of the same shape as Ids, with other records.
    ASSERT_EQ(TdbSessOpenDb(session_, db_.c_str(), u"", kKey, 0, 0), kTdbOk);
    TTdbCreateTableArgs args;
    args.StoragePath = u"Masik";
    args.ColumnDefs.Add(Column(u"Id", TTdbDataType::GetDataType(ctAutoInc, false)));
    args.ColumnDefs.Add(Column(u"Kod", TTdbDataType::GetDataType(ctInteger, false)));
    args.ColumnDefs.Add(Column(u"Nev", TTdbDataType::GetStringType(ctWideString, false, 20, u"")));
    args.KeyDefs.Add(std::make_unique<TTdbCandidateKeyDef>(u"", u"Kod", true));
    ASSERT_EQ(Catalog().CreateTable(args), 0) << LastError().second;
    AppendRows(u"Masik", 50);
    ASSERT_EQ(TdbSessCloseDb(session_), kTdbOk);
    const std::string masikInr = testing::ReadBytes(PathOf("Masik!sys_Inr.tdbi"));
    const std::string masikPrimary = testing::ReadBytes(PathOf("Masik!sys_Primary.tdbi"));
    struct Case {
        const char* file;
        std::string bytes;
        const char* what;
    };
    const Case cases[] = {
        {"Ids!sys_Primary.tdbi", pristine_["Ids!sys_Inr.tdbi"], "the record-id index as the key"},
        {"Ids!sys_Inr.tdbi", pristine_["Ids!sys_Primary.tdbi"], "the key as the record-id index"},
        {"Ids!sys_Inr.tdbi", masikInr, "another table's record-id index"},
        {"Ids!sys_Primary.tdbi", masikPrimary, "another table's key"},
        {"Ids!sys_Inr.tdbi", pristine_["Irsz!TELEP.tdbi"], "a user index of another table"},
        {"Ids!sys_Primary.tdbi", pristine_["Regi5!TELEP.ind"], "an index of an older level"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RestorePristine();
        testing::WriteBytes(PathOf(c.file), c.bytes);
        ASSERT_EQ(TdbSessOpenDb(session_, db_.c_str(), u"", kKey, 0, 0), kTdbOk);
        ExpectIdsSound();
        EXPECT_EQ(TdbSessCloseDb(session_), kTdbOk);
    }
}

TEST_F(IndexFileDamage, ADamagedUserIndexIsReportedAndTheTableStillReads) {
    struct Case {
        const char* what;
        std::function<void(std::string&)> damage;  // null: the file is deleted
    };
    const Case cases[] = {
        {"deleted", nullptr},
        {"header zeroed", [](std::string& b) { std::fill_n(b.begin(), 64, '\0'); }},
        {"empty", [](std::string& b) { b.clear(); }},
        {"an index of another table",
         [&](std::string& b) { b = pristine_["Ids!sys_Primary.tdbi"]; }},
        {"the same column in an older table",
         [&](std::string& b) { b = pristine_["Regi5!TELEP.ind"]; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RestorePristine();
        if (c.damage) {
            std::string bytes = pristine_["Irsz!TELEP.tdbi"];
            c.damage(bytes);
            testing::WriteBytes(PathOf("Irsz!TELEP.tdbi"), bytes);
        } else {
            fs::remove(PathOf("Irsz!TELEP.tdbi"));
        }
        ASSERT_EQ(TdbSessOpenDb(session_, db_.c_str(), u"", kKey, 0, 0), kTdbOk);
        const std::int16_t rltn =
            TdbSessOpenTable(session_, u"Irsz", u"", kExclusiveWrite, false, false);
        ASSERT_GT(rltn, 0) << LastError().second;
        EXPECT_EQ(IndexNames(rltn), (std::vector<std::u16string>{u"TELEP", u"IRSZ"}));
        char16_t desc[64] = {};
        // Lost: every use says so.
        EXPECT_EQ(TdbRltnGetIndexDesc(rltn, u"TELEP", desc, 63, true, 0), kTdbIndexNotAvailable);
        EXPECT_EQ(TdbRltnGetIndexDesc(rltn, u"TELEP", desc, 63, true, 0), kTdbIndexNotAvailable);
        EXPECT_EQ(LastError().first, -kTdbErrIndexCorrupt) << LastError().second;
        EXPECT_EQ(TdbRltnRefreshIndex(rltn, u"TELEP"), kTdbEngineError);
        EXPECT_EQ(LastError().first, -kTdbErrIndexCorrupt) << LastError().second;
        // The rest of the table is as it was.
        EXPECT_EQ(TdbRltnGetIndexDesc(rltn, u"IRSZ", desc, 63, true, 0), 0);
        ExpectIndexAgrees(Table(rltn), u"IRSZ");
        TTdbBaseTable& table = Table(rltn);
        ASSERT_EQ(table.GetRecordCount(), 300);
        TRecord record(static_cast<std::size_t>(table.GetRecordSize()));
        for (std::int32_t recNo = 1; recNo <= 300; ++recNo) {
            ASSERT_EQ(table.ReadRecord(recNo, record), 0);
            ASSERT_TRUE(record == images_[u"Irsz"].records[static_cast<std::size_t>(recNo - 1)]);
        }
        // Deleting the lost index is the way out; the name can then be used again.
        EXPECT_EQ(TdbRltnDeleteIndex(rltn, u"TELEP"), kTdbOk) << LastError().second;
        EXPECT_GE(TdbRltnCreateIndex(rltn, u"TELEP", u"TELEP", false), 0) << LastError().second;
        ExpectIndexAgrees(Table(rltn), u"TELEP");
        EXPECT_EQ(TdbRltnClose(rltn), kTdbOk);
        EXPECT_EQ(TdbSessCloseDb(session_), kTdbOk);
    }
}

class DataFileDamage : public IndexFileDamage {};

TEST_F(DataFileDamage, ARecordCountBeyondTheFileIsLoweredToWhatTheFileHolds) {
    struct Case {
        const char* file;
        const char16_t* table;
        std::size_t countOffset;
    };
    for (const Case& c : {Case{"Irsz.tdbt", u"Irsz", 7}, Case{"Ids.tdbt", u"Ids", 7},
                          Case{"Regi5.dat", u"Regi5", 7}, Case{"Regi3.dat", u"Regi3", 10}}) {
        for (const std::int32_t count : {301, 100000, INT32_MAX}) {
            SCOPED_TRACE(std::string(c.file) + " " + std::to_string(count));
            RestorePristine();
            std::string bytes = pristine_[c.file];
            for (std::size_t i = 0; i < 4; ++i)
                bytes[c.countOffset + i] =
                    static_cast<char>((static_cast<std::uint32_t>(count) >> (8 * i)) & 0xFF);
            testing::WriteBytes(PathOf(c.file), bytes);
            ASSERT_EQ(TdbSessOpenDb(session_, db_.c_str(), u"", kKey, 0, 0), kTdbOk);
            const std::int16_t rltn =
                TdbSessOpenTable(session_, c.table, u"", kExclusiveWrite, false, false);
            ASSERT_GT(rltn, 0) << LastError().second;
            TTdbBaseTable& table = Table(rltn);
            const std::vector<TRecord>& records = images_[c.table].records;
            EXPECT_GE(table.GetRecordCount(), static_cast<std::int32_t>(records.size()));
            EXPECT_LE(static_cast<std::int64_t>(table.GetRecordCount()) * table.GetRecordSize(),
                      static_cast<std::int64_t>(bytes.size()));
            TRecord record(static_cast<std::size_t>(table.GetRecordSize()));
            for (std::int32_t recNo = 1; recNo <= table.GetRecordCount(); ++recNo) {
                ASSERT_EQ(table.ReadRecord(recNo, record), 0) << recNo;
                if (recNo <= static_cast<std::int32_t>(records.size())) {
                    ASSERT_TRUE(record == records[static_cast<std::size_t>(recNo - 1)]) << recNo;
                }
            }
            for (const std::u16string& index : IndexNames(rltn)) {
                if (table.GetIndexFile(table.FindIndexByName(index))->IsAutomatic())
                    ExpectIndexAgrees(table, index);
            }
            const std::int32_t fitted = table.GetRecordCount();
            const bool oldLevel = table.GetLevel() < 5;
            EXPECT_EQ(TdbRltnClose(rltn), kTdbOk);
            EXPECT_EQ(TdbSessCloseDb(session_), kTdbOk);
            // The old levels write the lowered count back; the newer ones leave the header to
            // the next change, which writes it under a write lock.
            const std::string after = testing::ReadBytes(PathOf(c.file));
            std::uint32_t stored = 0;
            for (std::size_t i = 0; i < 4; ++i)
                stored |=
                    static_cast<std::uint32_t>(static_cast<unsigned char>(after[c.countOffset + i]))
                    << (8 * i);
            EXPECT_EQ(static_cast<std::int32_t>(stored), oldLevel ? fitted : count);
        }
    }
}

TEST_F(DataFileDamage, AnEmptyTableFileIsRefusedWithItsReason) {
    testing::WriteBytes(PathOf("Irsz.tdbt"), "");
    ASSERT_EQ(TdbSessOpenDb(session_, db_.c_str(), u"", kKey, 0, 0), kTdbOk);
    EXPECT_EQ(TdbSessExistsTable(session_, u"Irsz"), 1);
    EXPECT_EQ(TdbSessOpenTable(session_, u"Irsz", u"", kExclusiveWrite, false, false),
              kTdbCannotOpenTable);
    const auto [code, message] = LastError();
    EXPECT_EQ(code, -kTdbErrOldVersion) << message;
    EXPECT_EQ(TdbSessFindRltnHdl(session_, u"Irsz"), 0);
    ExpectOthersRead(u"Irsz");
    EXPECT_EQ(TdbSessCloseDb(session_), kTdbOk);
    EXPECT_EQ(testing::ReadBytes(PathOf("Irsz.tdbt")), "");
}

TEST_F(DataFileDamage, ADirectoryNamedLikeATableIsNoTable) {
    fs::create_directory(PathOf("Mappa.tdbt"));
    fs::create_directory(PathOf("Regi.dat"));
    ASSERT_EQ(TdbSessOpenDb(session_, db_.c_str(), u"", kKey, 0, 0), kTdbOk);
    char16_t names[256] = {};
    TdbSessGetTableNames(session_, names, 255);
    const std::string list = ToUtf8(names);
    EXPECT_EQ(list.find("Mappa"), std::string::npos) << list;
    EXPECT_EQ(list.find("Regi;"), std::string::npos) << list;
    for (const char16_t* name : {u"Mappa", u"Regi", u"Mappa.tdbt"}) {
        SCOPED_TRACE(ToUtf8(name));
        EXPECT_EQ(TdbSessExistsTable(session_, name), 0);
        EXPECT_EQ(TdbSessOpenTable(session_, name, u"", kExclusiveWrite, false, false),
                  kTdbCannotOpenTable);
        EXPECT_EQ(LastError().first, -kTdbErrFileNotFound) << LastError().second;
    }
    ExpectOthersRead({});
    EXPECT_EQ(TdbSessCloseDb(session_), kTdbOk);
    EXPECT_TRUE(fs::is_directory(PathOf("Mappa.tdbt")));
}

TEST_F(DataFileDamage, StoredIndexNamesThatAreNoIndexNamesAreNotFollowed) {
    // Beside the database, a file that no index name of a table in it may reach.
    testing::WriteBytes(dir_.Path() / "Kint.ind", "marad");
    struct Case {
        const char* file;
        const char16_t* table;
        std::size_t entry;  // where the name of the first index is stored
        bool wide;
        std::string name;
    };
    const Case cases[] = {
        {"Regi3.dat", u"Regi3", 20, false, "../Kint.ind"},
        {"Regi5.dat", u"Regi5", 25, true, "../../Kint"},
        {"Irsz.tdbt", u"Irsz", 25, true, "TE/LEP"},
        {"Irsz.tdbt", u"Irsz", 25, true, std::string("TE\0P", 4)},
        {"Irsz.tdbt", u"Irsz", 25, true, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.file) + " " + c.name);
        RestorePristine();
        std::string bytes = pristine_[c.file];
        if (c.wide) {
            bytes[c.entry] = static_cast<char>(c.name.size());
            bytes[c.entry + 1] = 0;
            for (std::size_t i = 0; i < 44; ++i) {
                bytes[c.entry + 2 + 2 * i] = i < c.name.size() ? c.name[i] : '\0';
                bytes[c.entry + 3 + 2 * i] = 0;
            }
        } else {
            bytes[c.entry] = static_cast<char>(c.name.size());
            for (std::size_t i = 0; i < 44; ++i)
                bytes[c.entry + 1 + i] = i < c.name.size() ? c.name[i] : '\0';
        }
        testing::WriteBytes(PathOf(c.file), bytes);
        ASSERT_EQ(TdbSessOpenDb(session_, db_.c_str(), u"", kKey, 0, 0), kTdbOk);
        const std::int16_t rltn =
            TdbSessOpenTable(session_, c.table, u"", kExclusiveWrite, false, false);
        ASSERT_GT(rltn, 0) << LastError().second;
        for (const std::u16string& name : IndexNames(rltn)) {
            EXPECT_EQ(name.find(u'/'), std::u16string::npos) << ToUtf8(name);
            EXPECT_FALSE(name.empty());
            char16_t desc[64] = {};
            EXPECT_NE(TdbRltnGetIndexDesc(rltn, name.c_str(), desc, 63, true, 0),
                      kTdbIndexDoesNotExist)
                << ToUtf8(name);
        }
        const std::u16string hostile = FromUtf8(c.name);
        EXPECT_LT(TdbRltnDeleteIndex(rltn, hostile.c_str()), 0);
        EXPECT_EQ(TdbRltnClose(rltn), kTdbOk);
        EXPECT_EQ(TdbSessCloseDb(session_), kTdbOk);
        EXPECT_EQ(testing::ReadBytes(dir_.Path() / "Kint.ind"), "marad");
        EXPECT_TRUE(testing::ReadBytes(PathOf(c.file)) == bytes);
    }
}

TEST_F(DataFileDamage, IndexNamesThatLeaveTheDirectoryAreRefusedWhenMade) {
    ASSERT_EQ(TdbSessOpenDb(session_, db_.c_str(), u"", kKey, 0, 0), kTdbOk);
    const std::int16_t rltn =
        TdbSessOpenTable(session_, u"Irsz", u"", kExclusiveWrite, false, false);
    ASSERT_GT(rltn, 0) << LastError().second;
    for (const char16_t* name : {u"../Kint", u"../../Kint", u"a/b", u"", u"TE\\LEP"}) {
        SCOPED_TRACE(ToUtf8(name));
        EXPECT_EQ(TdbRltnCreateIndex(rltn, name, u"TELEP", false), kTdbInvalidIndexDefinition);
        EXPECT_EQ(LastError().first, -kTdbErrInvalidIndexName) << LastError().second;
    }
    EXPECT_EQ(IndexNames(rltn), (std::vector<std::u16string>{u"TELEP", u"IRSZ"}));
    EXPECT_EQ(TdbRltnClose(rltn), kTdbOk);
    EXPECT_EQ(TdbSessCloseDb(session_), kTdbOk);
    std::vector<std::string> outside;
    for (const auto& entry : fs::recursive_directory_iterator(dir_.Path()))
        if (entry.path().parent_path() != dir_.Path() / "Posta")
            outside.push_back(entry.path().filename().string());
    EXPECT_EQ(outside, (std::vector<std::string>{"Posta"}));
}

TEST_F(DataFileDamage, ADirectoryInPlaceOfAnIndexFileIsNoIndex) {
    for (const char* file : {"Irsz!TELEP.tdbi", "Ids!sys_Inr.tdbi"}) {
        fs::remove(PathOf(file));
        fs::create_directory(PathOf(file));
    }
    ASSERT_EQ(TdbSessOpenDb(session_, db_.c_str(), u"", kKey, 0, 0), kTdbOk);
    // A user index is lost, and the table reads.
    const std::int16_t rltn =
        TdbSessOpenTable(session_, u"Irsz", u"", kExclusiveWrite, false, false);
    ASSERT_GT(rltn, 0) << LastError().second;
    char16_t desc[64] = {};
    EXPECT_EQ(TdbRltnGetIndexDesc(rltn, u"TELEP", desc, 63, true, 0), kTdbIndexNotAvailable);
    EXPECT_EQ(LastError().first, -kTdbErrIndexCorrupt);
    EXPECT_EQ(TdbRltnGetIndexDesc(rltn, u"IRSZ", desc, 63, true, 0), 0);
    EXPECT_EQ(TdbRltnClose(rltn), kTdbOk);
    // The engine's own index cannot be made again where a directory stands: the open says so.
    EXPECT_EQ(TdbSessOpenTable(session_, u"Ids", u"", kExclusiveWrite, false, false),
              kTdbCannotOpenTable);
    const auto [code, message] = LastError();
    EXPECT_EQ(code, -kTdbErrIndexInsert);
    EXPECT_NE(message.find("sys_Inr"), std::string::npos) << message;
    ExpectOthersRead(u"Irsz|Ids");
    EXPECT_EQ(TdbSessCloseDb(session_), kTdbOk);
    EXPECT_TRUE(fs::is_directory(PathOf("Irsz!TELEP.tdbi")));
    EXPECT_TRUE(fs::is_directory(PathOf("Ids!sys_Inr.tdbi")));
    EXPECT_TRUE(testing::ReadBytes(PathOf("Ids.tdbt")) == pristine_["Ids.tdbt"]);
}

// ---- The random run ----

// Aborts the process when a round outlasts its time: a hang is a failure as much as a crash.
class Watchdog {
public:
    explicit Watchdog(std::chrono::seconds limit) : limit_(limit), thread_([this] { Run(); }) {}
    ~Watchdog() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    void Round(std::string what) {
        std::lock_guard lock(mutex_);
        what_ = std::move(what);
        ++round_;
        wake_.notify_all();
    }

private:
    void Run() {
        std::unique_lock lock(mutex_);
        while (!done_) {
            const long seen = round_;
            if (!wake_.wait_for(lock, limit_, [&] { return done_ || round_ != seen; })) {
                std::fprintf(stderr, "round hangs: %s\n", what_.c_str());
                std::abort();
            }
        }
    }
    std::chrono::seconds limit_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    long round_ = 0;
    std::string what_;
    std::thread thread_;
};

enum class TDamage { FlipBytes, ZeroRange, Cut, Grow, HeaderField, Replace, kCount };
const char* const kDamageNames[] = {"flip", "zero", "cut", "grow", "field", "replace"};

// Offsets of header fields worth extreme values: data file level, encryption, record count,
// next id, index name count, definition length; index file magic, version, tree header, count.
constexpr std::int64_t kHeaderOffsets[] = {4,  6,  7,  10, 12, 14, 15,   16,   18,   22, 23,
                                           24, 26, 28, 30, 34, 38, 4525, 8192, 4096, 51, 55};
constexpr std::int64_t kExtremes[] = {0,          -1,        1,       0x7FFF, 0x8000, 0xFFFF,
                                      0x7FFFFFFF, INT32_MIN, 0x10000, 4096,   32768,  1000};

class RandomDamage : public TableFileDamage {
protected:
    // Spoils one file; answers what was done.
    std::string Damage(std::mt19937& rng, const std::string& file, std::string& bytes,
                       const std::vector<std::string>& files) {
        auto below = [&](std::size_t n) {
            return n == 0 ? std::size_t{0}
                          : std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
        };
        const auto damage = static_cast<TDamage>(below(static_cast<std::size_t>(TDamage::kCount)));
        std::string what = std::string(kDamageNames[static_cast<int>(damage)]) + " " + file;
        switch (damage) {
            case TDamage::FlipBytes: {
                const std::size_t count = 1 + below(16);
                // Mostly in the headers, where a flip changes meaning.
                const std::size_t span =
                    below(2) == 0 ? std::min<std::size_t>(bytes.size(), 16384) : bytes.size();
                for (std::size_t i = 0; i < count && span > 0; ++i)
                    bytes[below(span)] ^= static_cast<char>(1 + below(255));
                what += " x" + std::to_string(count);
                break;
            }
            case TDamage::ZeroRange: {
                const std::size_t start = below(bytes.size());
                const std::size_t length = std::min(bytes.size() - start, 1 + below(9000));
                std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(start), length, '\0');
                what += " @" + std::to_string(start) + "+" + std::to_string(length);
                break;
            }
            case TDamage::Cut:
                bytes.resize(below(bytes.size()));
                what += " to " + std::to_string(bytes.size());
                break;
            case TDamage::Grow: {
                const std::size_t extra = 1 + below(20000);
                for (std::size_t i = 0; i < extra; ++i)
                    bytes.push_back(static_cast<char>(below(256)));
                what += " by " + std::to_string(extra);
                break;
            }
            case TDamage::HeaderField: {
                const std::int64_t offset = below(3) == 0
                                                ? static_cast<std::int64_t>(below(64))
                                                : kHeaderOffsets[below(std::size(kHeaderOffsets))];
                const std::int64_t value = kExtremes[below(std::size(kExtremes))];
                const std::size_t width = below(2) == 0 ? 2 : 4;
                if (static_cast<std::size_t>(offset) + width <= bytes.size()) {
                    for (std::size_t i = 0; i < width; ++i)
                        bytes[static_cast<std::size_t>(offset) + i] = static_cast<char>(
                            (static_cast<std::uint64_t>(value) >> (8 * i)) & 0xFF);
                }
                what += " @" + std::to_string(offset) + "=" + std::to_string(value) + "/" +
                        std::to_string(width);
                break;
            }
            case TDamage::Replace: {
                // Another file of the same kind: a data file for a data file, an index for an
                // index.
                std::vector<std::string> sameKind;
                for (const std::string& other : files)
                    if (other != file && IsDataFile(other) == IsDataFile(file))
                        sameKind.push_back(other);
                const std::string& other = sameKind[below(sameKind.size())];
                bytes = pristine_[other];
                what += " by " + other;
                break;
            }
            case TDamage::kCount:
                break;
        }
        return what;
    }

    // Everything a caller does with a table, each answer checked for an explanation.
    void Exercise(const std::u16string& name, std::mt19937& rng, bool readOnly, bool refreshing,
                  std::int16_t& rltn) {
        const bool force = rng() % 4 == 0;
        ClearLastError();
        rltn = TdbSessOpenTable(session_, name.c_str(), u"", readOnly ? 0 : kExclusiveWrite, false,
                                force);
        ExpectExplained(rltn, "TdbSessOpenTable");
        if (rltn <= 0)
            return;
        TTdbTableInfo info{};
        ClearLastError();
        ExpectExplained(TdbRltnGetTableInfo(rltn, info), "TdbRltnGetTableInfo");
        for (std::int16_t no = 1; no <= 1001; ++no) {
            TTdbFieldSpec spec{};
            ClearLastError();
            const std::int16_t result = TdbRltnGetFieldSpec(rltn, no, spec);
            if (result < 0) {
                ExpectExplained(result, "TdbRltnGetFieldSpec");
                break;
            }
        }
        const std::vector<std::u16string> indexes = IndexNames(rltn);
        for (const std::u16string& index : indexes) {
            char16_t desc[512] = {};
            ClearLastError();
            ExpectExplained(TdbRltnGetIndexDesc(rltn, index.c_str(), desc, 511, true, 1),
                            "TdbRltnGetIndexDesc");
        }
        // The records as the engine reads them, through the count the header claims.
        TTdbBaseTable& table = Table(rltn);
        TRecord record(static_cast<std::size_t>(table.GetRecordSize()));
        const std::int32_t count = std::min(table.GetRecordCount(), 2000);
        for (std::int32_t recNo = 1; recNo <= count; ++recNo) {
            ClearLastError();
            const std::int16_t result = table.ReadRecord(recNo, record);
            if (result < 0) {
                ExpectExplained(result, "ReadRecord");
                break;
            }
        }
        if (!refreshing)
            return;
        const std::u16string refresh =
            indexes.empty() || rng() % 4 == 0 ? std::u16string{} : indexes[rng() % indexes.size()];
        ClearLastError();
        ExpectExplained(TdbRltnRefreshIndex(rltn, refresh.c_str()), "TdbRltnRefreshIndex");
    }

    void Round(int seed, Watchdog& watchdog) {
        std::mt19937 rng(static_cast<std::uint32_t>(seed));
        RestorePristine();
        std::vector<std::string> files;
        for (const auto& [file, bytes] : pristine_)
            if (!OwnerOf(file).empty())
                files.push_back(file);
        const std::string& file = files[rng() % files.size()];
        std::string bytes = pristine_[file];
        const std::string what =
            "round " + std::to_string(seed) + ": " + Damage(rng, file, bytes, files);
        SCOPED_TRACE(what);
        watchdog.Round(what);
        if (verbose_)
            std::fprintf(stderr, "%s\n", what.c_str());
        testing::WriteBytes(PathOf(file), bytes);
        const std::u16string owner = OwnerOf(file);

        // Read-only opens repair the engine's own indexes too, as far as the medium lets them.
        const bool readOnly = rng() % 4 == 0;
        const bool refreshing = rng() % 2 == 0;
        ASSERT_EQ(TdbSessOpenDb(session_, db_.c_str(), u"", kKey, 0,
                                readOnly ? kTdbDbReadOnly | kTdbDbSharedReadOnly : 0),
                  kTdbOk);
        std::int16_t rltn = 0;
        Exercise(owner, rng, readOnly, refreshing, rltn);
        // The others open and read while the damaged one is still open. Their indexes are only
        // compared once it is closed: below level 4 an index file is named by the index alone,
        // so another table's data file in place of this one's reaches for the same index file,
        // which the first to open it holds.
        for (const TableKind& kind : kTables) {
            if (kind.name == owner)
                continue;
            SCOPED_TRACE(ToUtf8(kind.name));
            TableImage image = Image(kind.name);
            image.indexes = images_[kind.name].indexes;
            EXPECT_TRUE(image == images_[kind.name]);
        }
        if (rltn > 0) {
            EXPECT_EQ(TdbRltnClose(rltn), kTdbOk) << LastError().second;
        }
        ExpectOthersRead(owner);
        EXPECT_EQ(TdbSessCloseDb(session_), kTdbOk);
        ExpectOthersUntouched(owner);
        // Of the damaged table, only what is derived may change: the engine's own indexes, the
        // user indexes a refresh asked for, and any index once its data file lost records
        // (an index whose count is not the table's is built again from the records).
        for (const auto& [other, pristineBytes] : pristine_) {
            if (other == file || OwnerOf(other) != owner ||
                other.find("!sys_") != std::string::npos ||
                ((refreshing || IsDataFile(file)) && !IsDataFile(other)))
                continue;
            EXPECT_TRUE(testing::ReadBytes(PathOf(other)) == pristineBytes) << other << " changed";
        }
    }
};

int Rounds() { return testing::CountFromEnvironment("ZENKALO_DAMAGE_ROUNDS", 400); }

TEST_F(RandomDamage, EveryCallAnswersAndTheOtherTablesStaySound) {
    CreateTables();
    ASSERT_EQ(pristine_.size(), 14u);
    Watchdog watchdog(std::chrono::seconds(60));
    const int rounds = Rounds();
    for (int seed = 1; seed <= rounds && !HasFatalFailure(); ++seed)
        Round(seed, watchdog);
}

}  // namespace
}  // namespace tdb::api
