// The database component over real directory databases: connecting and disconnecting with its
// events, the rules for its properties while connected, opening tables (keys, linked tables),
// the registry datasets find it in, automatic names and databases, and what it tells the
// datasets registered with it.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "../platform/test_support.h"
#include "api/call_interface.h"
#include "api/text_buffers.h"
#include "dataset/dataset_error.h"
#include "dataset/tdb_database.h"
#include "platform/text.h"

namespace dataset {
namespace {

using namespace tdb::api;
using tdb::ToUtf8;
using tdb::testing::TempDir;

// Column type codes and the encryption method that only guards a table with its key.
constexpr std::int16_t kWideString = 18;
constexpr std::int16_t kLink = 10;
constexpr std::uint8_t kProtection = 2;

template <typename Action>
std::string MessageOf(Action&& action) {
    try {
        action();
    } catch (const EDatabaseError& e) {
        return ToUtf8(e.Message());
    }
    return "(nothing raised)";
}

TTdbFieldSpec Field(std::u16string_view name, std::int16_t type, std::int32_t param = 0,
                    std::u16string_view link = {}) {
    TTdbFieldSpec spec{};
    SetFixedText(spec.Name, name);
    spec.FldType = type;
    spec.Param = param;
    SetFixedText(spec.SelectOrLink, link);
    return spec;
}

// A dataset as the database sees it: what it was told goes into a shared log.
class RecordingClient : public TTdbDatabaseClient {
public:
    RecordingClient(std::vector<std::string>& log, std::string name, std::int16_t tableHdl = 0)
        : FLog(log), FName(std::move(name)), FTableHdl(tableHdl) {}

    std::int16_t TableHdl() const noexcept override { return FTableHdl; }
    const std::u16string& DatabaseName() const noexcept override { return FDatabaseName; }
    void SetDatabaseName(const std::u16string& name) override { FDatabaseName = name; }
    void CloseDataSet() override {
        FLog.push_back("close " + FName);
        FTableHdl = 0;
        if (FUnregisterOnClose != nullptr)
            FUnregisterOnClose->UnRegisterClient(this);
    }
    void RefreshDataSet() override { FLog.push_back("refresh " + FName); }
    void RecordMoved(std::int32_t deletedRecNo, std::int32_t movedRecNo) override {
        FLog.push_back("moved " + FName + " " + std::to_string(deletedRecNo) + " " +
                       std::to_string(movedRecNo));
    }

    // Closing unregisters from this database, as a table dataset does.
    TTdbDatabase* FUnregisterOnClose = nullptr;

private:
    std::vector<std::string>& FLog;
    std::string FName;
    std::int16_t FTableHdl;
    std::u16string FDatabaseName;
};

// A dataset on a window, among the window's other components.
class OwnedClient : public TComponent, public RecordingClient {
public:
    OwnedClient(TComponent* owner, std::vector<std::string>& log, std::u16string databaseName)
        : TComponent(owner), RecordingClient(log, "owned") {
        SetDatabaseName(databaseName);
    }
};

class DatabaseTest : public ::testing::Test {
protected:
    DatabaseTest() : location_(dir_.Name("Posta")) {}

    // A database at Location made through the component, and a component connected to it.
    void MakeDatabase(TTdbDatabase& db) {
        db.SetLocation(location_);
        db.CreateDatabase();
        db.SetConnected(true);
    }

    // A table with a code and a name; Link names the table of a link column.
    static void CreateTable(TTdbDatabase& db, std::u16string_view name,
                            std::u16string_view link = {}, const char16_t* key = u"") {
        std::vector<TTdbFieldSpec> fields = {Field(u"IRSZ", kWideString, 4),
                                             Field(u"TELEP", kWideString, 38)};
        if (!link.empty())
            fields.push_back(Field(u"Kapocs", kLink, 0, link));
        TTdbTableInfo info{};
        SetFixedText(info.FileName, name);
        info.Level = 6;
        SetFixedText(info.Language, u"Hungarian");
        info.EncryptionMethod = *key != u'\0' ? kProtection : 0;
        info.Capacity = 100;
        ASSERT_EQ(
            TdbSessCreateTable(db.SessionHdl(), info, key, static_cast<std::int16_t>(fields.size()),
                               fields.data(), 0, nullptr, 0, nullptr, 0, nullptr),
            0)
            << ToUtf8(std::u16string(name));
    }

    static void Append(std::int16_t cursor, std::u16string_view code) {
        ASSERT_EQ(TdbTableAppend(cursor), 0);
        ASSERT_EQ(TdbTableSetFieldAsString(cursor, 1, std::u16string(code).c_str()), 0);
        ASSERT_EQ(TdbTableAppendConfirm(cursor), 0);
    }

    TempDir dir_;
    std::u16string location_;
    std::vector<std::string> log_;
};

TEST_F(DatabaseTest, ConnectAndDisconnectRunTheirEventsAndCloseDataSetsLastToFirst) {
    TTdbDatabase db(nullptr);
    db.SetLocation(location_);
    db.CreateDatabase();
    db.BeforeConnect = [&](TTdbDatabase& d) {
        log_.push_back(d.Connected() ? "before connect: connected" : "before connect");
    };
    db.AfterConnect = [&](TTdbDatabase& d) {
        log_.push_back(d.Connected() ? "after connect: connected" : "after connect");
    };
    db.BeforeDisconnect = [&](TTdbDatabase&) { log_.push_back("before disconnect"); };
    db.AfterDisconnect = [&](TTdbDatabase& d) {
        log_.push_back(d.Connected() ? "after disconnect: connected" : "after disconnect");
    };
    db.SetConnected(true);
    EXPECT_GT(db.SessionHdl(), 0);
    EXPECT_EQ(db.DatabaseType(), dbtDirectory);
    EXPECT_EQ(db.ManagementLevel(), 0);
    EXPECT_EQ(db.ServerTimeout(), 20000);  // the session's default, kept
    db.SetConnected(true);                 // already connected: nothing runs again

    RecordingClient first(log_, "first", 1), second(log_, "second", 2), third(log_, "third", 3);
    db.RegisterClient(&first);
    db.RegisterClient(&second);
    db.RegisterClient(&second);
    db.RegisterClient(&third);
    ASSERT_EQ(db.DataSetCount(), 3);
    EXPECT_EQ(db.GetDataSet(1), &second);
    // A dataset that unregisters as it closes does not make the others skipped.
    second.FUnregisterOnClose = &db;
    db.SetConnected(false);
    EXPECT_EQ(log_, (std::vector<std::string>{"before connect", "after connect: connected",
                                              "before disconnect", "close third", "close second",
                                              "close first", "after disconnect"}));
    EXPECT_EQ(db.SessionHdl(), 0);
    EXPECT_EQ(db.DataSetCount(), 2);
    EXPECT_EQ(MessageOf([&] { db.GetDataSet(2); }), "List index out of bounds (2)");
}

TEST_F(DatabaseTest, TheSessionGetsThePrivateDirectoryAndTheLogLevel) {
    TTdbDatabase db(nullptr);
    db.SetPrivateDir(dir_.Name("Sajat"));
    db.SetLogLevel(0x10001);  // only the low half is a log level
    MakeDatabase(db);
    // The session log lies in the private directory under the station number the session drew.
    const std::filesystem::path log =
        dir_.Path() / "Sajat" / ("TdbLog" + std::to_string(db.ConnectionId()) + "_01.txt");
    EXPECT_TRUE(std::filesystem::exists(log)) << log;
}

TEST_F(DatabaseTest, AnEventRaisingAbortStopsConnectAndDisconnectSilently) {
    TTdbDatabase db(nullptr);
    MakeDatabase(db);
    RecordingClient client(log_, "client", 1);
    db.RegisterClient(&client);
    db.BeforeDisconnect = [](TTdbDatabase&) { Abort(); };
    EXPECT_THROW(db.SetConnected(false), EAbort);
    EXPECT_TRUE(db.Connected());
    EXPECT_TRUE(log_.empty());

    db.BeforeDisconnect = nullptr;
    db.SetConnected(false);
    db.BeforeConnect = [](TTdbDatabase&) { Abort(); };
    EXPECT_THROW(db.SetConnected(true), EAbort);
    EXPECT_FALSE(db.Connected());
}

TEST_F(DatabaseTest, ASecondConnectedDatabaseOfTheSameNameIsRefusedByItsComponentName) {
    TTdbDatabase first(nullptr), second(nullptr);
    first.SetName(u"TdbDatabase1");
    second.SetName(u"TdbDatabase2");
    for (TTdbDatabase* db : {&first, &second}) {
        db->SetDatabaseName(u"Posta");
        db->SetLocation(location_);
    }
    // Disconnected, the first one is no rival.
    first.CreateDatabase();
    second.SetConnected(true);
    second.SetConnected(false);

    first.SetConnected(true);
    EXPECT_EQ(MessageOf([&] { second.SetConnected(true); }),
              "Duplicate database name: \"TdbDatabase2\"");
    EXPECT_FALSE(second.Connected());
    // The names are compared with their case.
    second.SetDatabaseName(u"POSTA");
    second.SetConnected(true);
    EXPECT_TRUE(second.Connected());
}

TEST_F(DatabaseTest, ADatabaseThatIsNotThereLeavesTheComponentDisconnected) {
    TTdbDatabase db(nullptr);
    const std::u16string missing = dir_.Name("Nincs");
    db.SetLocation(missing);
    const std::string message = MessageOf([&] { db.SetConnected(true); });
    const std::string head = "Opening database \"" + ToUtf8(missing) + "\": Database not found. ";
    EXPECT_EQ(message.substr(0, head.size()), head);
    EXPECT_GT(message.size(), head.size());
    EXPECT_FALSE(db.Connected());
    EXPECT_EQ(db.SessionHdl(), 0);
    // The read-only retry did not succeed either, so nothing was changed.
    EXPECT_FALSE(db.ReadOnly());
    EXPECT_FALSE(db.Exclusive());
}

// A medium the engine will not open for writing: it answers "Database not found" unless it
// is opened read-only.
class UnwritableMediumDatabase : public TTdbDatabase {
public:
    using TTdbDatabase::TTdbDatabase;
    std::vector<std::uint16_t> Attempts;
    bool RefuseAll = false;

protected:
    std::int16_t OpenDatabaseFiles(std::uint16_t attributes) override {
        Attempts.push_back(attributes);
        if (RefuseAll || (attributes & kTdbDbReadOnly) == 0)
            return tdb::kTdbDatabaseNotFound;
        return TTdbDatabase::OpenDatabaseFiles(attributes);
    }
};

TEST_F(DatabaseTest, AMediumThatCannotBeWrittenIsOpenedReadOnlyAndExclusiveOnce) {
    {
        TTdbDatabase maker(nullptr);
        MakeDatabase(maker);
        CreateTable(maker, u"Irsz");
    }
    struct Case {
        const char* name;
        bool readOnly, exclusive, refuseAll;
        std::vector<std::uint16_t> attempts;
        bool connected;
    };
    const std::uint16_t both = kTdbDbReadOnly | kTdbDbExclusive;
    for (const Case& c : {
             Case{"retried read-only and exclusive", false, false, false, {0, both}, true},
             Case{"read-only already: no retry", true, false, true, {kTdbDbReadOnly}, false},
             Case{"exclusive already: no retry", false, true, true, {kTdbDbExclusive}, false},
             Case{"the retry refused as well", false, false, true, {0, both}, false},
         }) {
        SCOPED_TRACE(c.name);
        UnwritableMediumDatabase db(nullptr);
        db.SetLocation(location_);
        db.SetReadOnly(c.readOnly);
        db.SetExclusive(c.exclusive);
        db.RefuseAll = c.refuseAll;
        const std::string message = MessageOf([&] { db.SetConnected(true); });
        EXPECT_EQ(db.Attempts, c.attempts);
        EXPECT_EQ(db.Connected(), c.connected);
        if (!c.connected) {
            EXPECT_TRUE(message.starts_with("Opening database \"" + ToUtf8(location_) +
                                            "\": Database not found"))
                << message;
            EXPECT_EQ(db.ReadOnly(), c.readOnly);
            EXPECT_EQ(db.Exclusive(), c.exclusive);
            continue;
        }
        EXPECT_TRUE(db.ReadOnly());
        EXPECT_TRUE(db.Exclusive());
        // The tables it opens carry the database's exclusive use.
        EXPECT_EQ(db.RightsWord(TTdbAccessRights::All(), false, tfmDefault), 0xF9FF);
        const std::int16_t rltn = db.OpenTable(u"Irsz", u"", false, tarAppend, tfmDefault);
        const std::int16_t cursor = TdbTableCreate(rltn, u"Olvaso");
        ASSERT_GT(cursor, 0);
        EXPECT_EQ(TdbTableCanModify(cursor), 0);
        EXPECT_EQ(TdbTableDelete(cursor), 0);
    }
}

TEST_F(DatabaseTest, TheRightsWordJoinsTheRequestWithTheDatabasesOwnSettings) {
    TTdbDatabase db(nullptr);
    struct Case {
        TTdbAccessRights rights;
        bool exclusive;
        TTdbFlushMode flush;
        bool dbExclusive;
        TTdbFlushMode dbFlush;
        std::uint16_t word;
    };
    for (const Case& c : {
             Case{{}, false, tfmDefault, false, tfmDefault, 0xF8F0},
             Case{tarAppend, false, tfmDefault, false, tfmDefault, 0xF8F1},
             Case{tarEdit | tarDelete, false, tfmFast, false, tfmSecure, 0xF8F6},
             Case{tarIndex, true, tfmSecure, false, tfmDefault, 0xFBF8},
             Case{TTdbAccessRights::All(), false, tfmDefault, true, tfmSecure, 0xFBFF},
             Case{TTdbAccessRights::All(), false, tfmDefault, false, tfmFast, 0xF8FF},
         }) {
        db.SetExclusive(c.dbExclusive);
        db.SetFlushMode(c.dbFlush);
        EXPECT_EQ(db.RightsWord(c.rights, c.exclusive, c.flush), c.word) << std::hex << c.word;
    }
}

TEST_F(DatabaseTest, PropertiesThatNameTheDatabaseCannotChangeWhileConnected) {
    TTdbDatabase db(nullptr);
    db.SetDatabaseName(u"Posta");
    MakeDatabase(db);
    struct Case {
        std::function<void()> change;
        const char* message;
    };
    for (const Case& c : {
             Case{[&] { db.SetLocation(dir_.Name("Mashol")); },
                  "Cannot change location while database is open"},
             Case{[&] { db.SetPrivateDir(dir_.Name("Sajat")); },
                  "Cannot change private directory while database is open"},
             Case{[&] { db.SetDatabaseName(u"Mas"); },
                  "Cannot change the database name when connected"},
             Case{[&] { db.SetAutoDatabaseName(true); },
                  "Cannot change the database name when connected"},
             Case{[&] { db.CreateDatabase(); }, "Cannot change the database name when connected"},
             Case{[&] { db.DeleteDatabase(); }, "Cannot change the database name when connected"},
         }) {
        EXPECT_EQ(MessageOf(c.change), c.message);
    }
    EXPECT_TRUE(db.Connected());
    EXPECT_EQ(db.Location(), location_);
    EXPECT_EQ(db.PrivateDir(), u"");
    EXPECT_EQ(db.DatabaseName(), u"Posta");
    EXPECT_FALSE(db.AutoDatabaseName());
    // The same values are no change.
    db.SetLocation(location_);
    db.SetDatabaseName(u"Posta");
    EXPECT_TRUE(db.Connected());
}

TEST_F(DatabaseTest, OpenModePropertiesDisconnectWhenTheyChangeAndReadOnlyAlways) {
    TTdbDatabase db(nullptr);
    MakeDatabase(db);
    CreateTable(db, u"Irsz");
    struct Case {
        const char* name;
        std::function<void()> change;
        bool disconnects;
    };
    for (const Case& c : {
             Case{"same exclusive", [&] { db.SetExclusive(false); }, false},
             Case{"same shared read-only", [&] { db.SetSharedReadOnly(false); }, false},
             Case{"same type", [&] { db.SetDatabaseType(dbtDirectory); }, false},
             Case{"settings", [&] { db.SetCaseSensitive(true); }, false},
             Case{"page sizes", [&] { db.SetIndexPageSize(8192); }, false},
             Case{"log level", [&] { db.SetLogLevel(0); }, false},
             Case{"same read-only", [&] { db.SetReadOnly(false); }, true},
             Case{"exclusive", [&] { db.SetExclusive(true); }, true},
             Case{"back from exclusive", [&] { db.SetExclusive(false); }, true},
             Case{"shared read-only", [&] { db.SetSharedReadOnly(true); }, true},
         }) {
        SCOPED_TRACE(c.name);
        log_.clear();
        db.SetConnected(true);
        RecordingClient client(log_, "client", 1);
        db.RegisterClient(&client);
        c.change();
        EXPECT_EQ(db.Connected(), !c.disconnects);
        EXPECT_EQ(log_, c.disconnects ? std::vector<std::string>{"close client"}
                                      : std::vector<std::string>{});
        db.UnRegisterClient(&client);
    }
    EXPECT_TRUE(db.SharedReadOnly());
    db.SetSharedReadOnly(false);

    // Reconnected read-only, the tables refuse writing.
    db.SetConnected(true);
    db.SetReadOnly(true);
    db.SetConnected(true);
    const std::int16_t rltn =
        db.OpenTable(u"Irsz", u"", false, TTdbAccessRights::All(), tfmDefault);
    const std::int16_t cursor = TdbTableCreate(rltn, u"Olvaso");
    ASSERT_GT(cursor, 0);
    EXPECT_EQ(TdbTableCanModify(cursor), 0);
    EXPECT_EQ(TdbTableDelete(cursor), 0);

    // Settings the engine refuses raise and keep the value the session has.
    const std::string message = MessageOf([&] { db.SetBlobBlockSize(0); });
    EXPECT_TRUE(message.starts_with("Setting database properties: ")) << message;
    EXPECT_EQ(db.BlobBlockSize(), 512);
}

TEST_F(DatabaseTest, TableServicesNeedAConnectedDatabase) {
    TTdbDatabase db(nullptr);
    const std::vector<std::function<void()>> services = {
        [&] { db.OpenTable(u"Irsz", u"", false, TTdbAccessRights::All(), tfmDefault); },
        [&] { db.OpenRelation(u"Irsz", u"", 0, false); },
        [&] { db.AddTable(u"Irsz"); },
        [&] { db.RemoveTable(u"Irsz"); },
        [&] { db.CloseCachedTables(); },
        [&] { db.StartTransaction(); },
        [&] { db.Commit(); },
        [&] { db.Rollback(); },
        [&] { db.GetInTransaction(); },
        [&] { db.Backup(dir_.Name("Mentes"), dbtDirectory); },
        [&] { db.RefreshDataSets(); },
    };
    for (std::size_t i = 0; i < services.size(); ++i) {
        EXPECT_EQ(MessageOf(services[i]), "Cannot perform this action on a disconnected database")
            << i;
    }
}

TEST_F(DatabaseTest, TableServicesReachTheSessionAndRaiseWithTheirContext) {
    TTdbDatabase db(nullptr);
    MakeDatabase(db);
    CreateTable(db, u"Irsz");

    EXPECT_FALSE(db.InTransaction());
    db.StartTransaction();
    EXPECT_TRUE(db.InTransaction());
    EXPECT_EQ(MessageOf([&] { db.StartTransaction(); }),
              "Starting transaction: Cannot begin or end the transaction. There is already a "
              "transaction running");
    db.Rollback();
    EXPECT_FALSE(db.InTransaction());
    db.StartTransaction();
    db.Commit();
    EXPECT_FALSE(db.InTransaction());

    const std::int16_t added = db.AddTable(u"Irsz");
    EXPECT_GT(added, 0);
    EXPECT_EQ(TdbSessFindRltnHdl(db.SessionHdl(), u"Irsz"), added);
    db.RemoveTable(u"Irsz");
    EXPECT_EQ(TdbSessFindRltnHdl(db.SessionHdl(), u"Irsz"), 0);
    EXPECT_TRUE(MessageOf([&] { db.RemoveTable(u"Irsz"); }).starts_with("Removing table: "));
    EXPECT_TRUE(MessageOf([&] { db.AddTable(u"Nincs"); }).starts_with("Adding table: "));

    // Nothing uses the relation: closing cached tables closes it.
    const std::int16_t opened =
        db.OpenTable(u"Irsz", u"", false, TTdbAccessRights::All(), tfmDefault);
    EXPECT_EQ(db.OpenTable(u"Irsz", u"", false, TTdbAccessRights::All(), tfmDefault), opened);
    db.CloseCachedTables();
    EXPECT_EQ(TdbSessFindRltnHdl(db.SessionHdl(), u"Irsz"), 0);

    db.OpenTable(u"Irsz", u"", false, TTdbAccessRights::All(), tfmDefault);
    db.Backup(dir_.Name("Mentes"), dbtDirectory);
    EXPECT_TRUE(std::filesystem::exists(dir_.Path() / "Mentes" / "Irsz.tdbt"));

    const std::string missing =
        MessageOf([&] { db.OpenTable(u"Nincs", u"", false, TTdbAccessRights::All(), tfmDefault); });
    EXPECT_TRUE(missing.starts_with("Opening table \"Nincs\": Cannot open table. ")) << missing;
}

TEST_F(DatabaseTest, DatabasesAreMadeAndDeletedThroughATemporarySession) {
    TTdbDatabase db(nullptr);
    db.SetLocation(location_);
    db.CreateDatabase();
    EXPECT_TRUE(std::filesystem::is_directory(dir_.Path() / "Posta"));
    EXPECT_FALSE(db.Connected());
    db.SetConnected(true);
    CreateTable(db, u"Irsz");
    db.SetConnected(false);
    db.DeleteDatabase();
    EXPECT_FALSE(std::filesystem::exists(dir_.Path() / "Posta" / "Irsz.tdbt"));

    // A file where the directory should be.
    tdb::testing::WriteBytes(dir_.Path() / "Fajl", "nem konyvtar");
    db.SetLocation(dir_.Name("Fajl/Posta"));
    const std::string head = "Creating database \"" + ToUtf8(db.Location()) + "\": ";
    EXPECT_TRUE(MessageOf([&] { db.CreateDatabase(); }).starts_with(head));
    db.SetLocation(dir_.Name("Nincs/Sehol/Posta"));
    const std::string message = MessageOf([&] { db.DeleteDatabase(); });
    EXPECT_TRUE(message.starts_with("Deleting database \"")) << message;
}

TEST_F(DatabaseTest, DestroyingAConnectedDatabaseClosesItsDataSetsAndLeavesTheRegistry) {
    RecordingClient client(log_, "client", 1);
    {
        TTdbDatabase db(nullptr);
        db.SetDatabaseName(u"Posta");
        MakeDatabase(db);
        db.RegisterClient(&client);
    }
    EXPECT_EQ(log_, std::vector<std::string>{"close client"});
    EXPECT_EQ(TTdbDatabase::FindDatabase(u"Posta"), nullptr);
}

// A handler that answers the table's key, and what it was asked.
struct PasswordAnswer {
    std::vector<std::string> asked;
    std::u16string key;
    bool retry = true;

    TTdbPasswordEvent Handler() {
        return [this](TComponent* sender, const std::u16string& tableName, std::u16string& key,
                      bool& retry) {
            asked.push_back(ToUtf8(tableName) + (sender == nullptr ? " by the engine" : " again"));
            key = this->key;
            retry = this->retry;
        };
    }
};

TEST_F(DatabaseTest, ATableWithAKeyAsksOnPasswordOnceAndOpensWithTheKeyGiven) {
    TTdbDatabase db(nullptr);
    MakeDatabase(db);
    CreateTable(db, u"Titok", {}, u"Jelszó");
    const auto open = [&] {
        db.OpenTable(u"Titok", u"Rossz", false, TTdbAccessRights::All(), tfmDefault);
    };

    const std::string refused = MessageOf(open);
    EXPECT_TRUE(refused.starts_with("Opening table \"Titok\": Wrong password. ")) << refused;
    EXPECT_GT(refused.size(), std::string("Opening table \"Titok\": Wrong password. ").size());

    PasswordAnswer declines{{}, u"", false};
    db.OnPassword = declines.Handler();
    EXPECT_TRUE(MessageOf(open).starts_with("Opening table \"Titok\": Wrong password"));
    EXPECT_EQ(declines.asked, std::vector<std::string>{"Titok by the engine"});

    db.OnPassword = [](TComponent*, const std::u16string&, std::u16string&, bool&) { Abort(); };
    EXPECT_THROW(open(), EAbort);
    EXPECT_EQ(TdbSessFindRltnHdl(db.SessionHdl(), u"Titok"), 0);

    PasswordAnswer knows{{}, u"Jelszó", true};
    db.OnPassword = knows.Handler();
    EXPECT_NO_THROW(open());
    EXPECT_EQ(knows.asked, std::vector<std::string>{"Titok by the engine"});
    EXPECT_GT(TdbSessFindRltnHdl(db.SessionHdl(), u"Titok"), 0);
}

TEST_F(DatabaseTest, OpeningATableOpensTheTablesItsLinkColumnsName) {
    TTdbDatabase db(nullptr);
    MakeDatabase(db);
    // Three tables linked round in a ring, and one beside them.
    CreateTable(db, u"Harmadik", u"Fo");
    CreateTable(db, u"Masik", u"Harmadik");
    CreateTable(db, u"Fo", u"Masik");
    CreateTable(db, u"Kulon");
    std::filesystem::create_directories(dir_.Path() / "Posta" / "Al");
    CreateTable(db, u"Al/Negyedik", u"Otodik");
    CreateTable(db, u"Al/Otodik");
    db.SetConnected(false);
    db.SetConnected(true);

    const std::int16_t fo = db.OpenTable(u"Fo", u"", false, TTdbAccessRights::All(), tfmDefault);
    EXPECT_GT(fo, 0);
    EXPECT_GT(TdbSessFindRltnHdl(db.SessionHdl(), u"Masik"), 0);
    EXPECT_GT(TdbSessFindRltnHdl(db.SessionHdl(), u"Harmadik"), 0);
    EXPECT_EQ(TdbSessFindRltnHdl(db.SessionHdl(), u"Kulon"), 0);

    // The linked table is looked for beside the table that links it.
    EXPECT_FALSE(std::filesystem::exists(dir_.Path() / "Posta" / "Otodik.tdbt"));
    EXPECT_GT(db.OpenTable(u"Al/Negyedik", u"", false, TTdbAccessRights::All(), tfmDefault), 0);
    EXPECT_GT(TdbSessFindRltnHdl(db.SessionHdl(), u"Otodik"), 0);
    // The temporary cursor is gone again: every handle is free for datasets.
    const std::int16_t cursor = TdbTableCreate(fo, u"Proba");
    EXPECT_GT(cursor, 0);
    EXPECT_EQ(TdbTableDelete(cursor), 0);
}

TEST_F(DatabaseTest, TableSettingsOpenTheirTablesAtConnect) {
    TTdbDatabase db(nullptr);
    MakeDatabase(db);
    CreateTable(db, u"Irsz");
    db.SetConnected(false);
    TTdbBaseTableDef& irsz = db.TableDefs().AddTableDef(u"Irsz");
    EXPECT_TRUE(irsz.UseEditLocks());
    EXPECT_EQ(&db.TableDefs().AddTableDef(u"IRSZ"), &irsz);
    EXPECT_EQ(db.TableDefs().IndexOf(u"irsz"), 0);
    EXPECT_EQ(db.TableDefs().Find(u"Nincs"), nullptr);
    irsz.SetUseEditLocks(false);
    db.SetConnected(true);
    EXPECT_GT(TdbSessFindRltnHdl(db.SessionHdl(), u"Irsz"), 0);
    irsz.SetUseEditLocks(true);  // taken over by the open table

    // A table that cannot be opened fails the connect, which leaves no session behind.
    db.SetConnected(false);
    db.TableDefs().AddTableDef(u"Nincs");
    const std::string message = MessageOf([&] { db.SetConnected(true); });
    EXPECT_TRUE(message.starts_with("Opening table \"Nincs\": ")) << message;
    EXPECT_FALSE(db.Connected());
    db.TableDefs().Delete(db.TableDefs().IndexOf(u"Nincs"));
    db.SetConnected(true);
    EXPECT_TRUE(db.Connected());
}

TEST_F(DatabaseTest, DatasetsFindTheirDatabaseByNameWithoutCase) {
    EXPECT_EQ(TTdbDatabase::FindDatabase(u"Posta"), nullptr);
    TTdbDatabase first(nullptr);
    first.SetDatabaseName(u"Posta");
    EXPECT_EQ(TTdbDatabase::FindDatabase(u"pOSTA"), &first);
    {
        TTdbDatabase second(nullptr);
        second.SetName(u"Nagybetus");
        second.SetDatabaseName(u"POSTA");
        EXPECT_EQ(MessageOf([] { TTdbDatabase::FindDatabase(u"posta"); }),
                  "Database name \"posta\" is not unique");
        EXPECT_EQ(TTdbDatabase::FindDatabase(u"Nagybetus"), nullptr);
    }
    EXPECT_EQ(TTdbDatabase::FindDatabase(u"posta"), &first);
    // Accented capitals are the same letters as well.
    first.SetDatabaseName(u"Őrség Űr");
    EXPECT_EQ(TTdbDatabase::FindDatabase(u"őrség űr"), &first);
}

TEST_F(DatabaseTest, ANameSetOnAComponentWithoutADatabaseNameBecomesIt) {
    TTdbDatabase db(nullptr);
    db.SetName(u"TdbDatabase1");
    EXPECT_EQ(db.DatabaseName(), u"TdbDatabase1");
    db.SetName(u"TdbDatabase2");
    EXPECT_EQ(db.DatabaseName(), u"TdbDatabase1");
}

TEST_F(DatabaseTest, AnAutomaticNameIsUniqueAndReachesTheDatasetsOnTheSameOwner) {
    TComponent form(nullptr);
    TComponent otherForm(nullptr);
    TTdbDatabase elsewhere(&otherForm);
    elsewhere.SetDatabaseName(u"Mas");
    elsewhere.SetAutoDatabaseName(true);
    EXPECT_EQ(elsewhere.DatabaseName(), u"Mas_1");

    TTdbDatabase db(&form);
    db.SetName(u"TdbDatabase1");
    db.SetDatabaseName(u"Posta");
    OwnedClient sameName(&form, log_, u"POSTA");
    OwnedClient otherName(&form, log_, u"Masik");
    OwnedClient otherOwner(&otherForm, log_, u"Posta");
    db.SetAutoDatabaseName(true);
    EXPECT_EQ(db.SessionNumber(), 2);
    EXPECT_EQ(db.DatabaseName(), u"Posta_2");
    EXPECT_EQ(sameName.DatabaseName(), u"Posta_2");
    EXPECT_EQ(otherName.DatabaseName(), u"Posta_2");
    EXPECT_EQ(otherOwner.DatabaseName(), u"Posta");

    EXPECT_EQ(MessageOf([&] { TTdbDatabase second(&form); }),
              "Cannot add a session to the form or data-module while session 'TdbDatabase1' has "
              "AutoSessionName enabled");
    EXPECT_EQ(form.Components().size(), 3u);

    TComponent thirdForm(nullptr);
    TTdbDatabase one(&thirdForm), another(&thirdForm);
    EXPECT_EQ(MessageOf([&] { another.SetAutoDatabaseName(true); }),
              "Cannot enable AutoSessionName property with more than one session on a form or "
              "data-module");
    EXPECT_FALSE(another.AutoDatabaseName());
}

TEST_F(DatabaseTest, ALoadedDatabaseHandsItsAutomaticNameOnAndConnectsAsStored) {
    TTdbDatabase maker(nullptr);
    maker.SetLocation(location_);
    maker.CreateDatabase();

    TComponent form(nullptr);
    TTdbDatabase db(&form);
    db.BeginLoading();
    db.SetDatabaseName(u"Posta");
    db.SetLocation(location_);
    db.SetAutoDatabaseName(true);
    db.SetConnected(true);
    OwnedClient client(&form, log_, u"Posta");  // read after the database
    EXPECT_FALSE(db.Connected());
    db.EndLoading();
    EXPECT_TRUE(db.Connected());
    EXPECT_EQ(client.DatabaseName(), db.DatabaseName());
    EXPECT_NE(db.DatabaseName(), u"Posta");
}

TEST_F(DatabaseTest, AnAutomaticDatabaseFreesItselfWhenItsLastDatasetLeaves) {
    {
        TTdbDatabase maker(nullptr);
        MakeDatabase(maker);
    }
    TTdbDatabase& db = TTdbDatabase::CreateAutomatic(location_);
    EXPECT_TRUE(db.Automatic());
    EXPECT_EQ(db.Location(), location_);
    EXPECT_EQ(TTdbDatabase::FindDatabase(location_), &db);
    db.SetConnected(true);
    RecordingClient first(log_, "first", 1), second(log_, "second", 2);
    db.RegisterClient(&first);
    db.RegisterClient(&second);
    db.UnRegisterClient(&first);
    EXPECT_EQ(TTdbDatabase::FindDatabase(location_), &db);
    db.UnRegisterClient(&second);
    EXPECT_EQ(TTdbDatabase::FindDatabase(location_), nullptr);

    // Datasets that leave because the database closes them leave it to be found again.
    TTdbDatabase& again = TTdbDatabase::CreateAutomatic(location_);
    again.SetConnected(true);
    first.FUnregisterOnClose = &again;
    again.RegisterClient(&first);
    again.SetConnected(false);
    ASSERT_EQ(TTdbDatabase::FindDatabase(location_), &again);
    EXPECT_EQ(again.DataSetCount(), 0);
    again.SetConnected(true);
    again.RegisterClient(&first);
    again.UnRegisterClient(&first);
    EXPECT_EQ(TTdbDatabase::FindDatabase(location_), nullptr);
}

TEST_F(DatabaseTest, TheChangeNotificationReachesTheDatasetOfThatCursor) {
    TTdbDatabase db(nullptr);
    MakeDatabase(db);
    CreateTable(db, u"Irsz");
    const std::int16_t rltn =
        db.OpenTable(u"Irsz", u"", false, TTdbAccessRights::All(), tfmDefault);
    const std::int16_t watched = TdbTableCreate(rltn, u"Figyelt");
    const std::int16_t other = TdbTableCreate(rltn, u"Masik");
    ASSERT_GT(watched, 0);
    ASSERT_GT(other, 0);
    for (const char16_t* code : {u"1011", u"1022", u"1033"})
        Append(watched, code);
    RecordingClient watchedClient(log_, "watched", watched), otherClient(log_, "other", other);
    db.RegisterClient(&otherClient);
    db.RegisterClient(&watchedClient);
    ASSERT_EQ(TdbTableSetChangeCallback(watched, TTdbDatabase::TableChanged), 0);

    ASSERT_EQ(TdbTableSetRecNo(watched, 1), 1);
    ASSERT_EQ(TdbTableDeleteRec(watched), 0);
    EXPECT_EQ(log_, std::vector<std::string>{"moved watched 1 3"});
    // Another session's cursor of that number is not this database's.
    log_.clear();
    TTdbDatabase::TableChanged(static_cast<std::int16_t>(db.SessionHdl() + 1), watched, 1, 2);
    TTdbDatabase::TableChanged(db.SessionHdl(), 255, 1, 2);
    EXPECT_TRUE(log_.empty());
    db.UnRegisterClient(&watchedClient);
    db.UnRegisterClient(&otherClient);
    EXPECT_EQ(TdbTableDelete(watched), 0);
    EXPECT_EQ(TdbTableDelete(other), 0);
}

TEST_F(DatabaseTest, RefreshingDataSetsRefreshesTheOpenOnes) {
    TTdbDatabase db(nullptr);
    MakeDatabase(db);
    RecordingClient open(log_, "open", 7), closed(log_, "closed", 0), last(log_, "last", 9);
    for (RecordingClient* client : {&open, &closed, &last})
        db.RegisterClient(client);
    db.RefreshDataSets();
    EXPECT_EQ(log_, (std::vector<std::string>{"refresh open", "refresh last"}));
    for (RecordingClient* client : {&open, &closed, &last})
        db.UnRegisterClient(client);
}

}  // namespace
}  // namespace dataset
