// The local session: where a database location leads, the file systems it registers and gives
// back, the control file, station identity, database creation and deletion, and user break.
#include "engine/session.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "base/engine_errors.h"
#include "engine/relation.h"
#include "engine/session_list.h"
#include "platform/exception.h"
#include "platform/file.h"
#include "platform/text.h"
#include "storage/file_system.h"
#include "storage/page_manager.h"
#include "test_support.h"
#include "types/data_type.h"

namespace tdb {
namespace {

using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;

constexpr char kControlText[] = "TableDB database control file for directory-based database";

// Whether the page manager holds a file system of that name, without keeping a reference.
bool Registered(TTdbPageManager& pageManager, std::u16string_view name) {
    TdwFileSystem* fileSystem = pageManager.GetFileSystem(name);
    if (fileSystem == nullptr) {
        return false;
    }
    pageManager.ReleaseFileSystem(fileSystem);
    return true;
}

class SessionTest : public ::testing::Test {
protected:
    SessionTest() {
        std::filesystem::create_directory(dir_.Path() / "Post");
        Start(session_, 1);
    }

    void Start(TTdbLocalSession& session, std::int16_t handle) {
        ASSERT_EQ(session.Initialize(handle), 0);
        TTdbNetParams params = TTdbLocalSession::DefaultNetParams();
        params.StationNo = 0;
        params.PrivateDir = dir_.Name("private");
        session.SetNetParams(params);
    }

    std::int16_t Open(TTdbLocalSession& session, const std::string& relative) {
        session.Catalog().SetLocation(dir_.Name(relative));
        return session.OpenDb();
    }

    std::u16string Post() const { return dir_.Name("Post"); }

    TempDir dir_;
    TTdbPageManager pageManager_;
    TTdbLocalSession session_{&pageManager_};
};

TEST_F(SessionTest, InitializeDrawsAStationAndNamesTheSessionAfterIt) {
    EXPECT_GT(session_.ConnectionId(), 0);
    EXPECT_EQ(static_cast<std::uint32_t>(session_.ConnectionId()), session_.Services().FStation);
    EXPECT_EQ(session_.Services().FSessionHdl, 1);
    EXPECT_EQ(session_.Handle(), 1);
    EXPECT_EQ(session_.Services().LogLevel(), 0);
    EXPECT_EQ(&session_.Catalog().Services(), &session_.Services());
    EXPECT_FALSE(session_.IsOpen());

    TTdbLocalSession fresh(&pageManager_);
    EXPECT_EQ(fresh.ConnectionId(), -1);
    ASSERT_EQ(fresh.Initialize(2), 0);
    EXPECT_EQ(fresh.Services().FIDName, NumberText(fresh.Services().FStation));
    EXPECT_NE(fresh.Services().FStation, session_.Services().FStation);
}

TEST_F(SessionTest, NetParamsSetIdentityAndCreateThePrivateDirectory) {
    TTdbNetParams params;
    params.StationNo = 815;
    params.StationName = std::u16string(50, u'x');
    params.ReadOnlyDirs = u"/ro";
    params.NetDirs = u"AUTO";
    params.PrivateDir = dir_.Name("deep/private");
    session_.SetNetParams(params);
    const TTdbServices& services = session_.Services();
    EXPECT_EQ(session_.ConnectionId(), 815);
    EXPECT_EQ(services.FStation, 815u);
    EXPECT_EQ(services.FIDName, std::u16string(41, u'x'));
    EXPECT_EQ(services.FGetCD, u"/ro");
    EXPECT_EQ(services.FNetDrv, u"AUTO");
    EXPECT_EQ(services.PrivateDir(), dir_.Name("deep/private") + u"/");
    EXPECT_TRUE(std::filesystem::is_directory(dir_.Path() / "deep" / "private"));

    // A private directory that cannot be made is no error; a station of 0 keeps the number.
    WriteBytes(dir_.Path() / "file", "x");
    params.StationNo = 0;
    params.PrivateDir = dir_.Name("file/private");
    session_.SetNetParams(params);
    EXPECT_EQ(services.FStation, 815u);
    EXPECT_EQ(services.PrivateDir(), dir_.Name("file/private") + u"/");
}

TEST(SessionNetParamsTest, DefaultsAreTheDocumentedOnes) {
    const TTdbNetParams params = TTdbLocalSession::DefaultNetParams();
    EXPECT_EQ(params.NetDirs, u"AUTO");
    EXPECT_EQ(params.PrivateDir, u"");
    EXPECT_EQ(params.StationName, u"Undefined");
    EXPECT_EQ(params.ReadOnlyDirs, u"");
    EXPECT_EQ(params.ServerTimeout, 20000);
    EXPECT_LT(params.StationNo, 2147483647u);
}

TEST_F(SessionTest, ADirectoryOrAFileInsideItOpensTheDirectory) {
    WriteBytes(dir_.Path() / "Post" / "notes.txt", "x");
    // A table another user holds exclusively still leads to its directory.
    const platform::FileHandle held = platform::CreateFile(dir_.Name("Post/held.dat"));
    ASSERT_NE(held, platform::kInvalidFileHandle);
    for (const char* location :
         {"Post", "Post/", "Post/notes.txt", "Post/./sub/..", "Post/held.dat"}) {
        SCOPED_TRACE(location);
        ASSERT_EQ(Open(session_, location), 0);
        EXPECT_TRUE(session_.IsOpen());
        EXPECT_EQ(session_.Catalog().Location(), Post());
        const TTdbServices& services = session_.Services();
        EXPECT_EQ(services.DatabaseType(), dbtDbDirectory);
        ASSERT_NE(services.DataFileSystem(), nullptr);
        EXPECT_EQ(services.DataFileSystem(), services.OSFileSystem());
        EXPECT_EQ(services.OSFileSystem()->BaseDirectory(), Post());
        ASSERT_NE(services.LockFileSystem(), nullptr);
        EXPECT_NE(services.LockFileSystem(), services.OSFileSystem());
        EXPECT_EQ(services.LockFileSystem()->BaseDirectory(), Post());
        EXPECT_TRUE(Registered(pageManager_, Post()));

        EXPECT_EQ(session_.CloseDb(), 0);
        EXPECT_FALSE(session_.IsOpen());
        EXPECT_EQ(session_.Services().LockFileSystem(), nullptr);
        EXPECT_FALSE(Registered(pageManager_, Post()));
    }
    platform::CloseFile(held);
}

TEST_F(SessionTest, OpeningAgainGivesTheFormerDatabaseBackFirst) {
    std::filesystem::create_directory(dir_.Path() / "Other");
    ASSERT_EQ(Open(session_, "Post"), 0);
    ASSERT_EQ(Open(session_, "Other"), 0);
    EXPECT_FALSE(Registered(pageManager_, Post()));
    ASSERT_EQ(Open(session_, "Other"), 0);
    session_.CloseDb();
    EXPECT_FALSE(Registered(pageManager_, dir_.Name("Other")));
}

TEST_F(SessionTest, MissingNamesAndSingleFileDatabasesAreNotFound) {
    // Without an extension the name is looked for as a single-file database.
    WriteBytes(dir_.Path() / "Compound.tdbd", std::string("\x81\x75\xE4\x39", 4) + "rest");
    // A database file that cannot be read now must not open the directory around it.
    const platform::FileHandle held = platform::CreateFile(dir_.Name("Held.tdbd"));
    ASSERT_NE(held, platform::kInvalidFileHandle);
    struct Case {
        const char* location;
        const char* named;
    };
    const Case cases[] = {
        {"Missing.db", "Missing.db"},
        {"Missing", "Missing.tdbd"},
        {"Post/Sub/Missing.dat", "Post/Sub/Missing.dat"},
        {"Compound.tdbd", "Compound.tdbd"},
        {"Held.tdbd", "Held.tdbd"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.location);
        EXPECT_EQ(Open(session_, c.location), -kTdbErrFileNotFound);
        EXPECT_FALSE(session_.IsOpen());
        const TTdbLastError& error = session_.Services().LastError();
        EXPECT_EQ(error.LastErrorCode(), kTdbErrFileNotFound);
        EXPECT_EQ(error.LastErrorMsg(),
                  u"File not found or access denied: \"" + dir_.Name(c.named) + u"\"");
        EXPECT_EQ(session_.Services().OSFileSystem(), nullptr);
        EXPECT_EQ(session_.Services().LockFileSystem(), nullptr);
    }
    EXPECT_FALSE(std::filesystem::exists(dir_.Path() / "Missing.tdbd"));
    platform::CloseFile(held);
}

TEST_F(SessionTest, TheControlFileIsWrittenOnceAndLeftAlone) {
    ASSERT_EQ(Open(session_, "Post"), 0);
    session_.CloseDb();
    EXPECT_EQ(ReadBytes(dir_.Path() / "Post" / "Post.tdbd"), kControlText);
    EXPECT_EQ(sizeof kControlText - 1, 58u);

    WriteBytes(dir_.Path() / "Post" / "Post.tdbd", "written by someone else");
    ASSERT_EQ(Open(session_, "Post"), 0);
    session_.CloseDb();
    EXPECT_EQ(ReadBytes(dir_.Path() / "Post" / "Post.tdbd"), "written by someone else");

    // The directory's extension gives way to the control file's.
    std::filesystem::create_directory(dir_.Path() / "Data.v2");
    ASSERT_EQ(Open(session_, "Data.v2"), 0);
    session_.CloseDb();
    EXPECT_EQ(ReadBytes(dir_.Path() / "Data.v2" / "Data.tdbd"), kControlText);
}

TEST_F(SessionTest, AReadOnlyDirectoryOpensWithoutItsControlFile) {
    std::filesystem::permissions(dir_.Path() / "Post", std::filesystem::perms::owner_read |
                                                           std::filesystem::perms::owner_exec);
    EXPECT_EQ(Open(session_, "Post"), 0);
    EXPECT_TRUE(session_.IsOpen());
    if (::geteuid() != 0) {  // the superuser writes anyway
        EXPECT_FALSE(std::filesystem::exists(dir_.Path() / "Post" / "Post.tdbd"));
    }
    session_.CloseDb();
    std::filesystem::permissions(dir_.Path() / "Post", std::filesystem::perms::owner_all);
}

TEST_F(SessionTest, TwoSessionsShareTheDirectorysFileSystemUnderTheirOwnStations) {
    TTdbLocalSession other(&pageManager_);
    Start(other, 2);
    EXPECT_NE(other.ConnectionId(), session_.ConnectionId());
    ASSERT_EQ(Open(session_, "Post"), 0);
    ASSERT_EQ(Open(other, "Post/"), 0);
    EXPECT_EQ(other.Services().OSFileSystem(), session_.Services().OSFileSystem());
    EXPECT_NE(other.Services().LockFileSystem(), session_.Services().LockFileSystem());

    session_.CloseDb();
    EXPECT_TRUE(other.IsOpen());
    EXPECT_TRUE(Registered(pageManager_, Post()));
    EXPECT_TRUE(other.Services().DataFileSystem()->FileExists(u"Post.tdbd"));
    other.CloseDb();
    EXPECT_FALSE(Registered(pageManager_, Post()));
}

TEST_F(SessionTest, DeletingASessionFromTheListClosesItsDatabase) {
    TSessionList list;
    auto owned = std::make_unique<TTdbLocalSession>(&pageManager_);
    TTdbLocalSession& session = *owned;
    const std::int16_t handle = list.AddSession(std::move(owned));
    ASSERT_EQ(handle, 1);
    Start(session, handle);
    ASSERT_EQ(Open(session, "Post"), 0);
    EXPECT_TRUE(list.ValidSessionHdl(handle));
    list.DeleteSession(handle);
    EXPECT_FALSE(list.ExistsSessionHdl(handle));
    EXPECT_FALSE(Registered(pageManager_, Post()));
}

TEST_F(SessionTest, CreatingADirectoryDatabaseMakesItsParents) {
    EXPECT_EQ(session_.CreateDatabase(dbtDbDirectory, dir_.Name("a/b/Db"), tmlUnmanaged, 0, u""),
              0);
    EXPECT_TRUE(std::filesystem::is_directory(dir_.Path() / "a" / "b" / "Db"));
    EXPECT_EQ(session_.CreateDatabase(dbtDbDirectory, dir_.Name("a/b/Db"), tmlUnmanaged, 0, u""),
              0);

    WriteBytes(dir_.Path() / "file", "x");
    EXPECT_EQ(session_.CreateDatabase(dbtDbDirectory, dir_.Name("file/Db"), tmlUnmanaged, 0, u""),
              -54);
    EXPECT_EQ(session_.CreateDatabase(dbtDbDirectory, u"", tmlUnmanaged, 0, u""), -54);
}

TEST_F(SessionTest, SingleFileDatabasesCannotBeCreatedYet) {
    EXPECT_EQ(session_.CreateDatabase(dbtSingleFile, dir_.Name("Db"), tmlUnmanaged, 0, u""),
              -kTdbErrNotSupported);
    EXPECT_EQ(session_.Services().LastError().LastErrorMsg(),
              u"This feature is not supported: single-file databases");
    EXPECT_FALSE(std::filesystem::exists(dir_.Path() / "Db.tdbd"));
    EXPECT_FALSE(std::filesystem::exists(dir_.Path() / "Db"));
}

TEST_F(SessionTest, AnOpenSessionRefusesToCreateOrDeleteADatabase) {
    ASSERT_EQ(Open(session_, "Post"), 0);
    try {
        session_.CreateDatabase(dbtDbDirectory, dir_.Name("New"), tmlUnmanaged, 0, u"");
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), u"Session must not be open to create a new database.");
    }
    EXPECT_THROW(session_.DeleteDatabase(Post(), u""), Exception);
    EXPECT_FALSE(std::filesystem::exists(dir_.Path() / "New"));
    EXPECT_TRUE(session_.IsOpen());
}

TEST_F(SessionTest, AManagedDatabaseGetsItsSystemTables) {
    ASSERT_EQ(session_.CreateDatabase(dbtDbDirectory, dir_.Name("Managed"), tmlManaged, 0, u""), 0)
        << ToUtf8(session_.Services().LastError().LastErrorMsg());
    EXPECT_FALSE(session_.IsOpen());
    EXPECT_TRUE(std::filesystem::exists(dir_.Path() / "Managed" / "sys_UserTables.tdbt"));
    EXPECT_TRUE(std::filesystem::exists(dir_.Path() / "Managed" / "sys_UserColumns.tdbt"));

    // Its system tables are opened for writing, which needs the database to itself until
    // tables are shared through lock files.
    session_.Catalog().SetExclusive(true);
    ASSERT_EQ(Open(session_, "Managed"), 0)
        << ToUtf8(session_.Services().LastError().LastErrorMsg());
    EXPECT_EQ(session_.Catalog().DbManagementLevel(), tmlManaged);
    const auto columnsOf = [&](std::u16string_view table) {
        std::vector<std::pair<std::u16string, TTdbColumnType>> columns;
        const TTdbRelation* relation = session_.Catalog().FindRelation(table);
        if (relation != nullptr) {
            const TTdbColumnDefs& defs = relation->ColumnDefs();
            for (int i = 0; i < defs.GetCount(); ++i) {
                columns.emplace_back(defs.GetColumnDef(i)->Name,
                                     defs.GetColumnDef(i)->GetColumnType());
            }
        }
        return columns;
    };
    using Columns = std::vector<std::pair<std::u16string, TTdbColumnType>>;
    EXPECT_EQ(
        columnsOf(u"sys_UserTables"),
        (Columns{{u"Name", ctWideString}, {u"FileName", ctWideString}, {u"Key", ctWideString}}));
    EXPECT_EQ(columnsOf(u"sys_UserColumns"), (Columns{{u"Table", ctWideString},
                                                      {u"Name", ctWideString},
                                                      {u"DataType", ctSmallInt},
                                                      {u"Param", ctInteger},
                                                      {u"SelectOfLink", ctWideString},
                                                      {u"RangeOrFormula", ctWideString},
                                                      {u"Default", ctWideString}}));
    session_.CloseDb();
}

TEST_F(SessionTest, ACatalogThatCannotOpenLeavesTheLastErrorAndNoFileSystems) {
    // Both system tables present makes the database managed; unreadable ones fail the open.
    WriteBytes(dir_.Path() / "Post" / "sys_UserTables.tdbt", "not a table");
    WriteBytes(dir_.Path() / "Post" / "sys_UserColumns.tdbt", "not a table");
    const std::int16_t result = Open(session_, "Post");
    EXPECT_LT(result, 0);
    EXPECT_EQ(result, -session_.Services().LastError().LastErrorCode());
    EXPECT_FALSE(session_.IsOpen());
    EXPECT_EQ(session_.Services().LockFileSystem(), nullptr);
    EXPECT_FALSE(Registered(pageManager_, Post()));
}

TEST_F(SessionTest, DeletingADatabaseRemovesItsTablesAndFiles) {
    ASSERT_EQ(Open(session_, "Post"), 0);
    TTdbCreateTableArgs args;
    args.StoragePath = u"Irsz";
    args.ColumnDefs.Add(u"IRSZ", TTdbDataType::GetStringType(ctWideString, false, 4, u"", 6), 0);
    ASSERT_EQ(session_.Catalog().CreateTable(args), 0);
    session_.CloseDb();
    WriteBytes(dir_.Path() / "Post" / "readme.txt", "x");
    std::filesystem::create_directory(dir_.Path() / "Post" / "keep");
    ASSERT_TRUE(std::filesystem::exists(dir_.Path() / "Post" / "Irsz.tdbt"));

    EXPECT_EQ(session_.DeleteDatabase(Post(), u""), 0);
    EXPECT_FALSE(session_.IsOpen());
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.Path() / "Post")) {
        left.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(left, std::vector<std::string>{"keep"});
    // The open mode the caller had set is back.
    EXPECT_FALSE(session_.Catalog().Exclusive());

    EXPECT_EQ(session_.DeleteDatabase(dir_.Name("Missing.db"), u""), -kTdbErrFileNotFound);
}

TEST_F(SessionTest, AProgressCallbackBreaksALongOperation) {
    EXPECT_FALSE(session_.UserBreak());
    EXPECT_FALSE(session_.ReportProgress({}));
    EXPECT_FALSE(session_.ReportProgress([] { return 0; }));
    EXPECT_TRUE(session_.ReportProgress([] { return 1; }));
    // The flag stays set until the operation gives up, whatever the callback says later.
    EXPECT_TRUE(session_.ReportProgress([] { return 0; }));
    EXPECT_EQ(session_.CancelOperation(), -kTdbErrCanceled);
    EXPECT_EQ(session_.Services().LastError().LastErrorMsg(), u"Operation canceled");
    EXPECT_FALSE(session_.UserBreak());
}

TEST_F(SessionTest, TheSessionLogIsNamedAfterTheStation) {
    session_.Services().SetLogLevel(1);
    EXPECT_EQ(
        session_.Services().LogFileName(),
        dir_.Name("private/TdbLog" + std::to_string(session_.Services().FStation) + "_01.txt"));
    session_.Services().SetLogLevel(0);
}

}  // namespace
}  // namespace tdb
