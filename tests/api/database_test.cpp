// Databases and tables through the call interface alone: a directory database made, filled with
// a table of every column type the engine stores, read back and taken apart again, and the
// answers callers get when something is refused.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "../platform/test_support.h"
#include "api/call_interface.h"
#include "api/text_buffers.h"
#include "base/engine_errors.h"
#include "platform/text.h"
#include "storage/cryptor.h"
#include "storage/os_file_system.h"
#include "storage/page_manager.h"
#include "types/data_type.h"

namespace tdb::api {
namespace {

using testing::TempDir;

constexpr std::uint16_t kExclusiveWrite = kTdbRightsWrite | kTdbRightExclusive;

TTdbFieldSpec Field(std::u16string_view name, std::int16_t type, std::int32_t param = 0,
                    std::uint8_t options = 0, std::u16string_view select = {}) {
    TTdbFieldSpec spec{};
    SetFixedText(spec.Name, name);
    spec.FldType = type;
    spec.Param = param;
    spec.Options = options;
    SetFixedText(spec.SelectOrLink, select);
    return spec;
}

TTdbKeySpec Key(std::u16string_view name, std::u16string_view fields, bool primary) {
    TTdbKeySpec spec{};
    spec.IsPrimaryKey = primary ? 1 : 0;
    SetFixedText(spec.Name, name);
    SetFixedText(spec.Fields, fields);
    return spec;
}

TTdbTableInfo Info(std::u16string_view fileName, std::uint8_t encryption = 0) {
    TTdbTableInfo info{};
    SetFixedText(info.FileName, fileName);
    info.Level = 6;
    SetFixedText(info.Language, u"Hungarian");
    info.EncryptionMethod = encryption;
    info.Capacity = 1000;
    return info;
}

// One column of the table of every type, with what the engine reports of it.
struct ColumnCase {
    TTdbFieldSpec spec;
    std::int32_t param;  // reported
    std::uint8_t options;
    std::int16_t size;
};

std::vector<ColumnCase> EveryStoredType() {
    return {
        {Field(u"Kod", ctInteger), 0, 0, 4},
        {Field(u"Nev", ctWideString, 38), 38, 0, 78},
        {Field(u"Rovid", ctString, 10), 10, 0, 11},
        {Field(u"Betu", ctChar), 1, 0, 1},
        {Field(u"Kicsi", ctSmallInt), 0, 0, 2},
        {Field(u"Ar", ctFloat, 2), 2, 0, 8},
        {Field(u"Bajt", ctByte), 0, 0, 1},
        {Field(u"Igaz", ctBoolean), 0, 0, 1},
        {Field(u"Datum", ctDate), 0, 0, 4},
        {Field(u"Meret", ctEnum, 0, 0, u"Kicsi,Közepes,Nagy"), 0, 0, 1},
        {Field(u"Azon", ctAutoInc), 0, 0, 4},
        {Field(u"Ido", ctTime, 3), 3, 0, 4},
        {Field(u"Szam", ctInteger, 0, 0x20), 0, 0x28, 5},
        {Field(u"Pecset", ctTimeStamp), 0, 0, 8},
        {Field(u"Nagy", ctBigInt), 0, 0, 8},
        {Field(u"Guid", ctGuid), 0, 0, 16},
        {Field(u"Kapocs", ctLink, 0, 0, u"Masik"), 0, 0, 4},
    };
}

class DatabaseTest : public ::testing::Test {
protected:
    DatabaseTest() : db_(dir_.Name("Posta")) { session_ = NewSession(); }
    ~DatabaseTest() override {
        for (const std::int16_t handle : sessions_) {
            TdbSessDelete(handle);
        }
    }

    std::int16_t NewSession() {
        const std::int16_t handle = TdbCreateSession(u"");
        EXPECT_GT(handle, 0);
        sessions_.push_back(handle);
        return handle;
    }

    // The last error of a session: its negated engine number and its message.
    static std::pair<std::int16_t, std::string> LastError(std::int16_t session) {
        std::int16_t code = 0;
        char16_t message[256];
        EXPECT_EQ(TdbSessGetLastError(session, code, message, 255), kTdbOk);
        return {code, ToUtf8(message)};
    }

    void CreateAndOpenDatabase(std::int16_t session) {
        ASSERT_EQ(TdbSessCreateDatabase(session, 0, db_.c_str(), 0, 0, u""), kTdbOk);
        ASSERT_EQ(TdbSessOpenDb(session, db_.c_str(), u"", u"", 0, 0), kTdbOk);
    }

    // Irsz: code and settlement name, the name unique.
    std::int16_t CreateIrsz(std::int16_t session, std::u16string_view name = u"Irsz",
                            std::uint8_t encryption = 0, const char16_t* key = u"") {
        const TTdbFieldSpec fields[] = {Field(u"IRSZ", ctWideString, 4),
                                        Field(u"TELEP", ctWideString, 38)};
        const TTdbKeySpec keys[] = {Key(u"", u"IRSZ", true)};
        return TdbSessCreateTable(session, Info(name, encryption), key, 2, fields, 1, keys, 0,
                                  nullptr, 0, nullptr);
    }

    static std::u16string IndexDesc(std::int16_t rltn, std::u16string_view index, bool readable,
                                    std::int16_t includeLen, std::int16_t* result = nullptr) {
        char16_t desc[1024] = {};
        const std::u16string name(index);
        const std::int16_t answer =
            TdbRltnGetIndexDesc(rltn, name.c_str(), desc, 1023, readable, includeLen);
        if (result != nullptr) {
            *result = answer;
        }
        return desc;
    }

    TempDir dir_;
    std::u16string db_;
    std::int16_t session_ = 0;
    std::vector<std::int16_t> sessions_;
};

TEST_F(DatabaseTest, ADirectoryDatabaseMadeFilledReadBackAndTakenApart) {
    ASSERT_EQ(TdbSessCreateDatabase(session_, 0, db_.c_str(), 0, 0, u""), kTdbOk);
    ASSERT_TRUE(std::filesystem::is_directory(dir_.Path() / "Posta"));
    ASSERT_EQ(TdbSessOpenDb(session_, db_.c_str(), u"", u"", 0, 0), kTdbOk);
    TTdbDatabaseInfo dbInfo{-1, -1};
    EXPECT_EQ(TdbSessGetDbInfo(session_, dbInfo), kTdbOk);
    EXPECT_EQ(dbInfo.ManagementLevel, 0);
    EXPECT_EQ(TdbSessIsSingleFile(session_), 0);

    const std::vector<ColumnCase> columns = EveryStoredType();
    std::vector<TTdbFieldSpec> fields;
    for (const ColumnCase& c : columns) {
        fields.push_back(c.spec);
    }
    const TTdbKeySpec keys[] = {Key(u"", u"Kod", true), Key(u"Nev_Egyedi", u"Nev", false)};
    ASSERT_EQ(
        TdbSessCreateTable(session_, Info(u"Minden"), u"", static_cast<std::int16_t>(fields.size()),
                           fields.data(), 2, keys, 0, nullptr, 0, nullptr),
        kTdbOk)
        << LastError(session_).second;
    EXPECT_TRUE(std::filesystem::exists(dir_.Path() / "Posta" / "Minden.tdbt"));
    EXPECT_EQ(TdbSessExistsTable(session_, u"Minden"), 1);
    // A created table is left closed.
    EXPECT_EQ(TdbSessFindRltnHdl(session_, u"Minden"), 0);

    const std::int16_t rltn =
        TdbSessOpenTable(session_, u"Minden", u"", kExclusiveWrite, false, false);
    ASSERT_GT(rltn, 0) << LastError(session_).second;
    EXPECT_EQ(TdbSessFindRltnHdl(session_, u"minden"), rltn);
    ASSERT_GE(TdbRltnCreateIndex(rltn, u"NevDatum", u"Nev, -Datum", false), 0)
        << LastError(session_).second;

    TTdbTableInfo info{};
    ASSERT_EQ(TdbRltnGetTableInfo(rltn, info), kTdbOk);
    EXPECT_EQ(std::filesystem::path(ToUtf8(FixedText(info.FileName))).filename(), "Minden.tdbt");
    EXPECT_EQ(info.Level, 6);
    EXPECT_EQ(FixedText(info.Language), u"Hungarian");
    EXPECT_EQ(info.Capacity, 1000);

    std::int16_t position = 0;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        const ColumnCase& c = columns[i];
        SCOPED_TRACE(ToUtf8(FixedText(c.spec.Name)));
        TTdbFieldSpec spec{};
        ASSERT_EQ(TdbRltnGetFieldSpec(rltn, static_cast<std::int16_t>(i + 1), spec), kTdbOk);
        EXPECT_EQ(spec.No, static_cast<std::int16_t>(i + 1));
        EXPECT_EQ(FixedText(spec.Name), FixedText(c.spec.Name));
        EXPECT_EQ(spec.FldType, c.spec.FldType);
        EXPECT_EQ(spec.Param, c.param);
        EXPECT_EQ(spec.Options, c.options);
        EXPECT_EQ(FixedText(spec.SelectOrLink), FixedText(c.spec.SelectOrLink));
        EXPECT_EQ(spec.InternalPosition, position);
        EXPECT_EQ(spec.InternalSize, c.size);
        position = static_cast<std::int16_t>(position + spec.InternalSize);
    }
    TTdbFieldSpec beyond{};
    EXPECT_EQ(TdbRltnGetFieldSpec(rltn, static_cast<std::int16_t>(columns.size() + 1), beyond),
              kTdbUnknownColumn);
    EXPECT_EQ(TdbRltnGetFieldSpec(rltn, 0, beyond), kTdbUnknownColumn);

    char16_t names[256] = {};
    ASSERT_EQ(TdbRltnGetIndexNames(rltn, names, 255), kTdbOk);
    EXPECT_EQ(ToUtf8(names), "Nev_Egyedi,sys_Primary,sys_Inr,sys_In1,NevDatum");
    struct IndexCase {
        std::u16string_view name;
        std::int16_t kind;
        std::u16string readable;
        std::u16string stored;
        std::u16string withLengths;
    };
    for (const IndexCase& c : {
             IndexCase{u"sys_Primary", 2, u"Kod", u"${Kod}", u"Kod:4"},
             IndexCase{u"Nev_Egyedi", 1, u"Nev", u"${Nev}", u"Nev:38"},
             IndexCase{u"NevDatum", 0, u"Nev, -Datum", u"${Nev}, -${Datum}", u"Nev:38, -Datum:4"},
         }) {
        SCOPED_TRACE(ToUtf8(c.name));
        std::int16_t result = -999;
        EXPECT_EQ(IndexDesc(rltn, c.name, true, 0, &result), c.readable)
            << LastError(rltn / 256 + 1).second;
        EXPECT_EQ(result, c.kind);
        EXPECT_EQ(IndexDesc(rltn, c.name, false, 0), c.stored);
        EXPECT_EQ(IndexDesc(rltn, c.name, true, 2), c.withLengths);
    }
    EXPECT_EQ(TdbRltnClose(rltn), kTdbOk);
    TTdbTableInfo closed{};
    EXPECT_EQ(TdbRltnGetTableInfo(rltn, closed), kTdbInvalidRelationHandle);
    EXPECT_EQ(TdbSessCloseDb(session_), kTdbOk);
    EXPECT_EQ(TdbSessDelete(session_), kTdbOk);

    // A new session finds the same definition in the files.
    const std::int16_t again = NewSession();
    ASSERT_EQ(TdbSessOpenDb(again, db_.c_str(), u"", u"", 0, 0), kTdbOk);
    const std::int16_t reopened =
        TdbSessOpenTable(again, u"Minden", u"", kExclusiveWrite, false, false);
    ASSERT_GT(reopened, 0) << LastError(again).second;
    TTdbFieldSpec spec{};
    ASSERT_EQ(TdbRltnGetFieldSpec(reopened, 10, spec), kTdbOk);
    EXPECT_EQ(FixedText(spec.SelectOrLink), u"Kicsi,Közepes,Nagy");
    std::int16_t result = -999;
    EXPECT_EQ(IndexDesc(reopened, u"NevDatum", true, 0, &result), u"Nev, -Datum");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(TdbRltnClose(reopened), kTdbOk);

    EXPECT_EQ(TdbSessDeleteTable(again, u"Minden", u""), kTdbOk) << LastError(again).second;
    EXPECT_EQ(TdbSessExistsTable(again, u"Minden"), 0);
    EXPECT_FALSE(std::filesystem::exists(dir_.Path() / "Posta" / "Minden.tdbt"));
    EXPECT_EQ(TdbSessCloseDb(again), kTdbOk);
    EXPECT_EQ(TdbSessDeleteDatabase(again, db_.c_str(), u""), kTdbOk) << LastError(again).second;
    EXPECT_TRUE(std::filesystem::is_empty(dir_.Path() / "Posta"));
}

TEST_F(DatabaseTest, OpeningADatabaseAnswersWhetherItWasFound) {
    std::filesystem::create_directories(dir_.Path() / "Ures");
    // Both system tables present but unreadable: the database is managed and cannot be opened.
    std::filesystem::create_directories(dir_.Path() / "Rossz");
    testing::WriteBytes(dir_.Path() / "Rossz" / "sys_UserTables.tdbt", "nem tabla");
    testing::WriteBytes(dir_.Path() / "Rossz" / "sys_UserColumns.tdbt", "nem tabla");
    struct Case {
        const char* location;
        std::int16_t result;
        std::int16_t lastError;
    };
    for (const Case& c :
         {Case{"Nincs", kTdbDatabaseNotFound, -37}, Case{"Nincs.abc", kTdbDatabaseNotFound, -37},
          Case{"Ures", kTdbOk, 0}, Case{"Rossz", kTdbCannotCreateSession, 0}}) {
        SCOPED_TRACE(c.location);
        const std::int16_t session = NewSession();
        EXPECT_EQ(TdbSessOpenDb(session, dir_.Name(c.location).c_str(), u"", u"", 0, 0), c.result);
        const auto [code, message] = LastError(session);
        if (c.result == kTdbOk) {
            EXPECT_EQ(code, 0);
        } else if (c.lastError != 0) {
            EXPECT_EQ(code, c.lastError);
            EXPECT_NE(message.find("File not found or access denied"), std::string::npos);
        } else {
            EXPECT_LT(code, 0) << message;
        }
    }
}

TEST_F(DatabaseTest, OpeningATableAnswersWhyItCannotBeOpened) {
    CreateAndOpenDatabase(session_);
    ASSERT_EQ(CreateIrsz(session_), kTdbOk) << LastError(session_).second;
    const std::int16_t rltn =
        TdbSessOpenTable(session_, u"Irsz", u"", kExclusiveWrite, false, false);
    ASSERT_GT(rltn, 0);

    EXPECT_EQ(TdbSessOpenTable(session_, u"Irsz", u"", kExclusiveWrite, false, false),
              kTdbCannotOpenTable);
    EXPECT_EQ(
        LastError(session_),
        std::make_pair(std::int16_t{-35}, std::string("A table named \"Irsz\" is already open")));
    EXPECT_EQ(TdbSessFindRltnHdl(session_, u"Irsz"), rltn);

    EXPECT_EQ(TdbSessOpenTable(session_, u"Nincs", u"", kExclusiveWrite, false, false),
              kTdbCannotOpenTable);
    EXPECT_EQ(LastError(session_).first, -kTdbErrFileNotFound);

    // Writing without exclusive use shares the table through its lock file.
    ASSERT_EQ(TdbRltnClose(rltn), kTdbOk);
    const std::int16_t shared =
        TdbSessOpenTable(session_, u"Irsz", u"", kTdbRightsWrite, false, false);
    EXPECT_GT(shared, 0) << LastError(session_).second;
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(ToUtf8(db_)) / "Irsz.tdbl"));
    ASSERT_EQ(TdbRltnClose(shared), kTdbOk);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(ToUtf8(db_)) / "Irsz.tdbl"));
    // Reading in a database opened shared read-only is no such risk.
    ASSERT_EQ(TdbSessOpenDb(session_, db_.c_str(), u"", u"", 0, kTdbDbSharedReadOnly), kTdbOk);
    const std::int16_t reading = TdbSessOpenTable(session_, u"Irsz", u"", 0, false, false);
    EXPECT_GT(reading, 0) << LastError(session_).second;
}

// The key the callback hands over, and how often it was asked.
int gPasswordCalls = 0;
bool GiveKey(std::int16_t, const char16_t* tableName, char16_t* key, std::int16_t maxKeyLen) {
    ++gPasswordCalls;
    EXPECT_EQ(std::u16string(tableName), u"Titok");
    CopyOut(key, maxKeyLen, u"Jelszó");
    return true;
}

TEST_F(DatabaseTest, TransactionsBeginOnceAndEndWithCommitOrRollback) {
    CreateAndOpenDatabase(session_);
    EXPECT_EQ(TdbSessGetTransactionState(session_), 0);
    EXPECT_EQ(TdbSessEndTransaction(session_), kTdbOk);  // nothing to end
    ASSERT_EQ(TdbSessBeginTransaction(session_), kTdbOk);
    EXPECT_GT(TdbSessGetTransactionState(session_), 0);
    EXPECT_EQ(TdbSessBeginTransaction(session_), kTdbTransactionFailed);
    EXPECT_EQ(LastError(session_),
              std::make_pair(std::int16_t{-kTdbErrTransactionRunning},
                             std::string("There is already a transaction running")));
    EXPECT_EQ(TdbSessCancelTransaction(session_), kTdbOk);
    EXPECT_EQ(TdbSessGetTransactionState(session_), 0);
    ASSERT_EQ(TdbSessBeginTransaction(session_), kTdbOk);
    EXPECT_EQ(TdbSessEndTransaction(session_), kTdbOk);
    EXPECT_EQ(TdbSessGetTransactionState(session_), 0);
    EXPECT_EQ(TdbSessBeginTransaction(9999), kTdbInvalidSessionHandle);
}

TEST_F(DatabaseTest, AWrongKeyIsReportedAndThePasswordCallbackMayGiveTheRightOne) {
    CreateAndOpenDatabase(session_);
    ASSERT_EQ(CreateIrsz(session_, u"Titok", temProtection, u"Jelszó"), kTdbOk)
        << LastError(session_).second;
    EXPECT_EQ(TdbSessOpenTable(session_, u"Titok", u"Rossz", kExclusiveWrite, false, false),
              kTdbWrongPassword);
    EXPECT_EQ(LastError(session_).first, -kTdbErrInvalidCredentials);

    gPasswordCalls = 0;
    ASSERT_EQ(TdbSessSetPasswordCallback(session_, GiveKey), kTdbOk);
    const std::int16_t rltn =
        TdbSessOpenTable(session_, u"Titok", u"Rossz", kExclusiveWrite, false, false);
    EXPECT_GT(rltn, 0) << LastError(session_).second;
    EXPECT_EQ(gPasswordCalls, 1);
    TTdbTableInfo info{};
    ASSERT_EQ(TdbRltnGetTableInfo(rltn, info), kTdbOk);
    EXPECT_EQ(info.EncryptionMethod, temProtection);
}

// The operating system's file system, as a container file would be: no file held exclusively.
class SharedOnlyFileSystem : public TdwOSFileSystem {
public:
    using TdwOSFileSystem::TdwOSFileSystem;
    bool SupportsExclusiveFiles() const override { return false; }
};

TEST_F(DatabaseTest, ExclusiveUseIsRefusedWhereTheFilesCannotBeHeldExclusively) {
    CreateAndOpenDatabase(session_);
    ASSERT_EQ(CreateIrsz(session_), kTdbOk);
    ASSERT_EQ(TdbSessCloseDb(session_), kTdbOk);
    ASSERT_TRUE(TTdbPageManager::Instance().AddFileSystem(
        db_, std::make_unique<SharedOnlyFileSystem>(db_)));
    ASSERT_EQ(TdbSessOpenDb(session_, db_.c_str(), u"", u"", 0, 0), kTdbOk);
    EXPECT_EQ(TdbSessOpenTable(session_, u"Irsz", u"", kExclusiveWrite, false, false),
              kTdbEngineError);
    EXPECT_EQ(LastError(session_),
              std::make_pair(std::int16_t{-117},
                             std::string("\"Irsz\" uses a feature that is not supported by "
                                         "tables of this level: Exlusive")));
    EXPECT_EQ(TdbSessCloseDb(session_), kTdbOk);
}

TEST_F(DatabaseTest, TablesThatCannotBeMadeAreRefusedWithTheirReason) {
    CreateAndOpenDatabase(session_);
    struct Case {
        const char* name;
        std::vector<TTdbFieldSpec> fields;
        std::int16_t fieldCount;
        std::int16_t lastError;
    };
    const Case cases[] = {
        {"unknown type", {Field(u"A", 14)}, 1, -kTdbErrUnknownType},
        {"no columns", {}, 0, -kTdbErrUnsupportedFeature},
        {"negative count", {}, -1, -kTdbErrInvalidParameter},
        {"count without specs", {}, 2, -kTdbErrInvalidParameter},
        {"string too long", {Field(u"A", ctWideString, 20000)}, 1, -kTdbErrStringLength},
        {"precision out of range", {Field(u"A", ctTime, 5)}, 1, -kTdbErrInvalidParameter},
        {"precision that would be lost",
         {Field(u"A", ctTimeStamp, 2)},
         1,
         -kTdbErrInvalidParameter},
        {"enum without names", {Field(u"A", ctEnum)}, 1, -kTdbErrInvalidParameter},
        {"key on a missing column", {Field(u"A", ctInteger)}, 1, -kTdbErrNoSuitableIndex},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TTdbKeySpec key = Key(u"", u"Nincs", true);
        const bool withKey = std::string(c.name) == "key on a missing column";
        EXPECT_EQ(TdbSessCreateTable(session_, Info(u"Hibas"), u"", c.fieldCount,
                                     c.fields.empty() ? nullptr : c.fields.data(), withKey ? 1 : 0,
                                     withKey ? &key : nullptr, 0, nullptr, 0, nullptr),
                  kTdbCannotCreateTable);
        EXPECT_EQ(LastError(session_).first, c.lastError) << LastError(session_).second;
        EXPECT_EQ(TdbSessExistsTable(session_, u"Hibas"), 0);
    }
}

TEST_F(DatabaseTest, TableNamesAndMessagesAreCutAtTheCallersLength) {
    CreateAndOpenDatabase(session_);
    ASSERT_EQ(CreateIrsz(session_, u"Irsz"), kTdbOk);
    ASSERT_EQ(CreateIrsz(session_, u"Telep"), kTdbOk);
    char16_t names[64] = {};
    ASSERT_EQ(TdbSessGetTableNames(session_, names, 63), 10);
    std::u16string list(names);
    EXPECT_TRUE(list == u"Irsz;Telep" || list == u"Telep;Irsz") << ToUtf8(list);
    EXPECT_EQ(TdbSessGetTableNames(session_, names, 3), 10);
    EXPECT_EQ(std::u16string(names).size(), 3u);

    EXPECT_EQ(TdbSessOpenTable(session_, u"Nincs", u"", kExclusiveWrite, false, false),
              kTdbCannotOpenTable);
    std::int16_t code = 0;
    char16_t message[8];
    ASSERT_EQ(TdbSessGetLastError(session_, code, message, 7), kTdbOk);
    EXPECT_EQ(code, -kTdbErrFileNotFound);
    EXPECT_EQ(ToUtf8(message), "File no");
}

TEST_F(DatabaseTest, IndexesAreMadeRebuiltAndDeletedByName) {
    CreateAndOpenDatabase(session_);
    ASSERT_EQ(CreateIrsz(session_), kTdbOk);
    const std::int16_t rltn =
        TdbSessOpenTable(session_, u"Irsz", u"", kExclusiveWrite, false, false);
    ASSERT_GT(rltn, 0);

    EXPECT_EQ(TdbRltnCreateIndex(rltn, u"Rossz", u"TELEP,", false), kTdbInvalidIndexDefinition);
    EXPECT_EQ(LastError(session_).first, -kTdbErrInvalidIndexSpec);
    EXPECT_EQ(TdbRltnCreateIndex(rltn, u"Rossz", u"NINCS", false), kTdbInvalidIndexDefinition);
    const std::int16_t indexNo = TdbRltnCreateIndex(rltn, u"TELEP", u"TELEP", true);
    ASSERT_GT(indexNo, 0) << LastError(session_).second;
    EXPECT_TRUE(std::filesystem::exists(dir_.Path() / "Posta" / "Irsz!TELEP.tdbi"));
    EXPECT_EQ(TdbRltnCreateIndex(rltn, u"TELEP", u"IRSZ", false), kTdbInvalidIndexDefinition);
    std::int16_t kind = -999;
    EXPECT_EQ(IndexDesc(rltn, u"TELEP", true, 0, &kind), u"TELEP");
    EXPECT_EQ(kind, 1);

    char16_t realName[45] = {};
    EXPECT_EQ(TdbRltnGetRealIndexName(rltn, u"telep", realName, 44), kTdbOk);
    EXPECT_EQ(std::u16string(realName), u"TELEP");
    EXPECT_EQ(TdbRltnGetRealIndexName(rltn, u"Nincs", realName, 44), kTdbIndexDoesNotExist);

    EXPECT_EQ(TdbRltnRefreshIndex(rltn, u"TELEP"), kTdbOk) << LastError(session_).second;
    EXPECT_EQ(TdbRltnRefreshIndex(rltn, u""), kTdbOk) << LastError(session_).second;
    EXPECT_EQ(TdbRltnRefreshIndex(rltn, u"Nincs"), kTdbIndexDoesNotExist);

    EXPECT_EQ(TdbRltnDeleteIndex(rltn, u"Nincs"), kTdbInvalidIndexDefinition);
    EXPECT_EQ(LastError(session_).first, -kTdbErrIndexNotFound);
    EXPECT_EQ(TdbRltnDeleteIndex(rltn, u"TELEP"), kTdbOk) << LastError(session_).second;
    EXPECT_FALSE(std::filesystem::exists(dir_.Path() / "Posta" / "Irsz!TELEP.tdbi"));
    EXPECT_EQ(IndexDesc(rltn, u"TELEP", true, 0, &kind), u"");
    EXPECT_EQ(kind, kTdbIndexDoesNotExist);
}

TEST_F(DatabaseTest, RemovingATableClosesItAndRenamingMovesItsFiles) {
    CreateAndOpenDatabase(session_);
    ASSERT_EQ(CreateIrsz(session_), kTdbOk);
    const std::int16_t rltn =
        TdbSessOpenTable(session_, u"Irsz", u"", kExclusiveWrite, false, false);
    ASSERT_GT(rltn, 0);
    EXPECT_EQ(TdbSessRemoveTable(session_, u"Irsz"), kTdbOk);
    EXPECT_EQ(TdbSessFindRltnHdl(session_, u"Irsz"), 0);
    EXPECT_EQ(TdbSessExistsTable(session_, u"Irsz"), 1);
    EXPECT_EQ(TdbSessRemoveTable(session_, u"Irsz"), kTdbEngineError);
    EXPECT_EQ(LastError(session_).first, -kTdbErrTableNotFound);

    EXPECT_EQ(TdbSessRenameTable(session_, u"Irsz", u"Iranyito", u""), kTdbOk)
        << LastError(session_).second;
    EXPECT_EQ(TdbSessExistsTable(session_, u"Irsz"), 0);
    EXPECT_EQ(TdbSessExistsTable(session_, u"Iranyito"), 1);
    EXPECT_EQ(TdbSessDeleteTable(session_, u"Nincs", u""), kTdbCannotDeleteTable);
}

TEST_F(DatabaseTest, TablesAreAddedClosedWhenUnneededAndBackedUp) {
    CreateAndOpenDatabase(session_);
    ASSERT_EQ(CreateIrsz(session_), kTdbOk);
    ASSERT_EQ(TdbSessOpenDb(session_, db_.c_str(), u"", u"", 0, kTdbDbExclusive), kTdbOk);
    const std::int16_t added = TdbSessAddTable(session_, u"Irsz");
    ASSERT_GT(added, 0) << LastError(session_).second;
    EXPECT_EQ(TdbSessFindRltnHdl(session_, u"Irsz"), added);

    EXPECT_EQ(TdbSessCloseUnneededTables(session_), kTdbOk);
    EXPECT_EQ(TdbSessFindRltnHdl(session_, u"Irsz"), 0);

    // A backup reads the files beside their tables: the database is opened for sharing them.
    ASSERT_EQ(
        TdbSessOpenDb(session_, db_.c_str(), u"", u"", 0, kTdbDbReadOnly | kTdbDbSharedReadOnly),
        kTdbOk);
    EXPECT_EQ(TdbSessBackupDatabase(session_, 0, dir_.Name("Mentes").c_str()), kTdbOk)
        << LastError(session_).second;
    EXPECT_TRUE(std::filesystem::exists(dir_.Path() / "Mentes" / "Irsz.tdbt"));
    EXPECT_TRUE(std::filesystem::exists(dir_.Path() / "Mentes" / "Irsz!sys_Primary.tdbi"));
    EXPECT_EQ(TdbSessBackupDatabase(session_, 0, dir_.Name("Mentes").c_str()), kTdbEngineError);
    EXPECT_EQ(LastError(session_).first, -kTdbErrFileExists);
}

TEST_F(DatabaseTest, ClientIdentityAndSettingsReachTheSession) {
    TTdbNetParams params{};
    ASSERT_EQ(TdbSessGetDefaultNetParams(session_, params), kTdbOk);
    EXPECT_EQ(FixedText(params.NetDirs), u"AUTO");
    EXPECT_EQ(FixedText(params.PrivateDir), u"");
    EXPECT_EQ(FixedText(params.StationName), u"Undefined");
    EXPECT_LT(params.StationNo, 2147483647u);
    EXPECT_EQ(params.ServerTimeout, 20000);

    params.StationNo = 4711;
    SetFixedText(params.PrivateDir, dir_.Name("Sajat/Mappa"));
    ASSERT_EQ(TdbSessSetNetParams(session_, params), kTdbOk);
    EXPECT_TRUE(std::filesystem::is_directory(dir_.Path() / "Sajat" / "Mappa"));
    // The log opens in the private directory under the station number.
    ASSERT_EQ(TdbSessSetLogLevel(session_, 2), kTdbOk);
    EXPECT_TRUE(std::filesystem::exists(dir_.Path() / "Sajat" / "Mappa" / "TdbLog4711_01.txt"));
    EXPECT_EQ(TdbSessSetLogLevel(session_, 0), kTdbOk);

    EXPECT_EQ(TdbSessSetSystemSettings(session_, 8192, 1024), kTdbOk);
    EXPECT_EQ(TdbSessSetSystemSettings(session_, 0, 1024), kTdbEngineError);
    EXPECT_EQ(LastError(session_).first, -kTdbErrInvalidParameter);
    EXPECT_EQ(TdbSessSetSettings(session_, true, false, false, 500), kTdbOk);
}

TEST_F(DatabaseTest, DatabasesAreMadeOnlyByASessionWithoutOne) {
    CreateAndOpenDatabase(session_);
    EXPECT_EQ(TdbSessCreateDatabase(session_, 0, dir_.Name("Masik").c_str(), 0, 0, u""),
              kTdbCannotCreateDatabase);
    EXPECT_EQ(LastError(session_).first, -kTdbErrException);
    EXPECT_FALSE(std::filesystem::exists(dir_.Path() / "Masik"));
    EXPECT_EQ(TdbSessCreateDatabase(session_, 7, dir_.Name("Masik").c_str(), 0, 0, u""),
              kTdbCannotCreateDatabase);
}

}  // namespace
}  // namespace tdb::api
