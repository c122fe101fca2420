// The redo log: its names, its exact layout, reading a transaction back newest first from
// another session, and what a missing, foreign, torn or damaged log does.
#include "engine/redo_log.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "base/engine_error.h"
#include "base/engine_errors.h"
#include "storage/os_file_system.h"
#include "test_support.h"

namespace tdb {
namespace {

using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;

std::vector<std::byte> Image(std::string_view text) {
    const auto bytes = testing::Bytes(text);
    return {bytes.begin(), bytes.end()};
}

TTdbLoggedBlob Blob(TTdbTableActionKind kind, std::string_view data) {
    return {true, kind, Image(data)};
}

std::string Le32(std::uint32_t value) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) {
        s[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    }
    return s;
}

// Entries built by hand, to damage logs in ways the writer never would.
std::string Entry(std::uint8_t kind, std::uint32_t number, std::string_view data) {
    return std::string(1, static_cast<char>(kind)) + Le32(number) + std::string(data) +
           Le32(static_cast<std::uint32_t>(9 + data.size()));
}

const std::string kHeader = std::string("\xB0\xC0\xD0\xE0", 4) + std::string(4, '\0');

struct Action {
    TTdbTableActionKind kind;
    std::int32_t recNo;
    bool operator==(const Action&) const = default;
};

void PrintTo(const Action& action, std::ostream* os) {
    *os << "kind " << int{action.kind} << " record " << action.recNo;
}

class RedoLogTest : public ::testing::Test {
protected:
    static constexpr std::int32_t kRecordSize = 4;

    std::unique_ptr<TTdbRedoLog> MakeLog(std::int16_t level = 6) {
        return std::make_unique<TTdbRedoLog>(fs_, dir_.Name("Irsz"), level, false, kRecordSize);
    }
    std::filesystem::path LogPath() const { return dir_.Path() / "Irsz.tdbr"; }

    // Reads the whole log back: the actions, and the engine error that ended it, if any.
    std::pair<std::vector<Action>, std::optional<std::int16_t>> ReadAll(TTdbRedoLog& log) {
        std::vector<Action> actions;
        for (int i = 0; i < 100; ++i) {
            try {
                if (!log.ReadPriorAction()) {
                    return {actions, std::nullopt};
                }
            } catch (const ETdbEngine& e) {
                return {actions, e.Code()};
            }
            actions.push_back({log.LastActionKind(), log.LastActionRecordNo()});
        }
        ADD_FAILURE() << "the log does not come to an end";
        return {actions, std::nullopt};
    }

    TempDir dir_;
    TdwOSFileSystem fs_;
};

TEST(RedoLogNameTest, FollowsLevelAndTableKind) {
    struct Case {
        std::u16string base;
        std::int16_t level;
        bool isRel;
        std::u16string expected;
    };
    const Case cases[] = {
        {u"db/Irsz", 6, false, u"db/Irsz.tdbr"},
        {u"db/Irsz", 7, true, u"db/Irsz.tdbr"},
        {u"db/Irsz", 5, false, u"db/Irsz.tra"},
        {u"db/Irsz", 4, true, u"db/Irsz.rtr"},
        {u"db/Irsz.dat", 5, false, u"db/Irsz.tra"},
        {u"db/Irsz.old.dat", 6, false, u"db/Irsz.old.tdbr"},
        {u"db.2024/Irsz", 6, false, u"db.2024/Irsz.tdbr"},
        {u"db.2024\\Irsz", 5, true, u"db.2024\\Irsz.rtr"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TTdbRedoLog::LogFileName(c.base, c.level, c.isRel), c.expected)
            << "level " << c.level << " rel " << c.isRel;
    }
}

TEST_F(RedoLogTest, WritesTheExactLayout) {
    TTdbRedoLog log(fs_, dir_.Name("Irsz"), 6, false, 2);
    log.NewFile();
    log.LogInsert(1);
    log.LogUpdate(0x01020304, Image("\xAA\xBB"), {Blob(takBlob, "x")});
    log.LogDelete(3, Image("\xCC\xDD"), {{}, Blob(takWideMemo, std::string("A\0", 2))});
    log.Close();

    const std::string expected = std::string("\xB0\xC0\xD0\xE0\0\0\0\0", 8) +
                                 std::string("\x00\x01\0\0\0\x09\0\0\0", 9) +
                                 std::string("\x01\x04\x03\x02\x01\xAA\xBB\x0B\0\0\0", 11) +
                                 std::string("\x03\x01\0\0\0x\x0A\0\0\0", 10) +
                                 std::string("\x02\x03\0\0\0\xCC\xDD\x0B\0\0\0", 11) +
                                 std::string("\x04\x02\0\0\0A\0\x0B\0\0\0", 11);
    EXPECT_EQ(ReadBytes(dir_.Path() / "Irsz.tdbr"), expected);
}

TEST_F(RedoLogTest, AnotherSessionReadsTheTransactionBackNewestFirst) {
    auto writer = MakeLog();
    writer->NewFile();
    writer->LogInsert(3);
    writer->LogUpdate(5, Image("upd5"),
                      {Blob(takBlob, "old blob"), {}, Blob(takWideMemo, "\x51\x01")});
    writer->LogDelete(2, Image("del2"), {});
    writer->LogDelete(9, Image("del9"), {{}, Blob(takBlob, "")});
    writer->LogInsert(10);

    // The writer keeps its handle, as a session that died would until its process is gone.
    auto reader = MakeLog();
    ASSERT_EQ(reader->Open(), 0);

    ASSERT_TRUE(reader->ReadPriorAction());
    EXPECT_EQ(reader->LastActionKind(), takInsert);
    EXPECT_EQ(reader->LastActionRecordNo(), 10);
    EXPECT_TRUE(reader->LastActionBlobs().empty());

    ASSERT_TRUE(reader->ReadPriorAction());
    EXPECT_EQ(reader->LastActionKind(), takDelete);
    EXPECT_EQ(reader->LastActionRecordNo(), 9);
    EXPECT_EQ(std::vector<std::byte>(reader->LastActionRecBuffer().begin(),
                                     reader->LastActionRecBuffer().end()),
              Image("del9"));
    ASSERT_EQ(reader->LastActionBlobs().size(), 2u);
    EXPECT_FALSE(reader->LastActionBlobs()[0].Present);
    EXPECT_TRUE(reader->LastActionBlobs()[1].Present);
    EXPECT_EQ(reader->LastActionBlobs()[1].Kind, takBlob);
    EXPECT_TRUE(reader->LastActionBlobs()[1].Data.empty());

    ASSERT_TRUE(reader->ReadPriorAction());
    EXPECT_EQ(reader->LastActionKind(), takDelete);
    EXPECT_EQ(reader->LastActionRecordNo(), 2);
    EXPECT_EQ(std::vector<std::byte>(reader->LastActionRecBuffer().begin(),
                                     reader->LastActionRecBuffer().end()),
              Image("del2"));
    EXPECT_TRUE(reader->LastActionBlobs().empty());

    ASSERT_TRUE(reader->ReadPriorAction());
    EXPECT_EQ(reader->LastActionKind(), takUpdate);
    EXPECT_EQ(reader->LastActionRecordNo(), 5);
    EXPECT_EQ(std::vector<std::byte>(reader->LastActionRecBuffer().begin(),
                                     reader->LastActionRecBuffer().end()),
              Image("upd5"));
    const TTdbLoggedBlobList& blobs = reader->LastActionBlobs();
    ASSERT_EQ(blobs.size(), 3u);
    EXPECT_TRUE(blobs[0].Present);
    EXPECT_EQ(blobs[0].Kind, takBlob);
    EXPECT_EQ(blobs[0].Data, Image("old blob"));
    EXPECT_FALSE(blobs[1].Present);
    EXPECT_TRUE(blobs[2].Present);
    EXPECT_EQ(blobs[2].Kind, takWideMemo);
    EXPECT_EQ(blobs[2].Data, Image("\x51\x01"));

    ASSERT_TRUE(reader->ReadPriorAction());
    EXPECT_EQ(reader->LastActionKind(), takInsert);
    EXPECT_EQ(reader->LastActionRecordNo(), 3);
    EXPECT_TRUE(reader->LastActionBlobs().empty());

    EXPECT_FALSE(reader->ReadPriorAction());
    EXPECT_FALSE(reader->ReadPriorAction());
}

TEST_F(RedoLogTest, OpenTellsMissingForeignAndShortLogsApart) {
    auto log = MakeLog();
    EXPECT_EQ(log->Open(), -37);
    EXPECT_FALSE(log->IsOpen());

    const struct {
        const char* what;
        std::string content;
    } cases[] = {
        {"another magic number", std::string("\xB0\xC0\xD0\xE1\0\0\0\0", 8) + Entry(0, 1, "")},
        {"shorter than the header", kHeader.substr(0, 5)},
        {"empty", ""},
    };
    for (const auto& c : cases) {
        WriteBytes(LogPath(), c.content);
        EXPECT_EQ(log->Open(), -1) << c.what;
        EXPECT_FALSE(log->IsOpen()) << c.what;
        EXPECT_FALSE(log->ReadPriorAction()) << c.what;
    }

    WriteBytes(LogPath(), kHeader);
    EXPECT_EQ(log->Open(), 0);
    EXPECT_TRUE(log->IsOpen());
    EXPECT_FALSE(log->ReadPriorAction());
}

// A log with a few sound entries, then something a dead writer or a damaged disk left.
TEST_F(RedoLogTest, DamagedLogsFailCleanlyAndTornTailsAreDropped) {
    const std::string sound = kHeader + Entry(takInsert, 1, "") + Entry(takUpdate, 2, "img2") +
                              Entry(takBlob, 1, "memo") + Entry(takInsert, 3, "");
    const std::vector<Action> soundActions = {{takInsert, 3}, {takUpdate, 2}, {takInsert, 1}};
    const std::string torn = Entry(takDelete, 4, "img4") + Entry(takBlob, 2, "long blob data");
    // Larger than the window the log is checked through at open.
    const std::string big =
        Entry(takDelete, 4, "img4") + Entry(takBlob, 1, std::string(200000, 'z'));
    std::vector<Action> withBig = {{takDelete, 4}};
    withBig.insert(withBig.end(), soundActions.begin(), soundActions.end());

    struct Case {
        const char* what;
        std::string content;
        std::vector<Action> actions;  // read before the end or the error
        std::optional<std::int16_t> error;
    };
    const std::vector<Case> cases = {
        {"torn insert", sound + Entry(takInsert, 5, "").substr(0, 5), soundActions, {}},
        {"insert missing one byte", sound + Entry(takInsert, 5, "").substr(0, 8), soundActions, {}},
        {"torn record image", sound + Entry(takUpdate, 4, "img4").substr(0, 7), soundActions, {}},
        {"torn trailing length",
         sound + Entry(takDelete, 4, "img4").substr(0, 11),
         soundActions,
         {}},
        {"group torn in its blob data", sound + torn.substr(0, torn.size() - 7), soundActions, {}},
        {"group torn in its last length",
         sound + torn.substr(0, torn.size() - 1),
         soundActions,
         {}},
        {"group torn after its record entry", sound + torn.substr(0, 14), soundActions, {}},
        {"large blob complete", sound + big, withBig, {}},
        {"group torn in a large blob", sound + big.substr(0, big.size() - 70000), soundActions, {}},
        {"lying length of the last entry",
         sound.substr(0, sound.size() - 4) + Le32(10),
         {},
         kTdbErrUnknown},
        {"length reaching before the header",
         sound.substr(0, sound.size() - 4) + Le32(0x7FFFFFF0),
         {},
         kTdbErrUnknown},
        {"unknown kind", sound + Entry(7, 5, ""), {}, kTdbErrUnknown},
        {"insert with a record image", sound + Entry(takInsert, 5, "img5"), {}, kTdbErrUnknown},
        {"update image of another size", sound + Entry(takUpdate, 5, "img"), {}, kTdbErrUnknown},
        {"record number 0", sound + Entry(takInsert, 0, ""), {}, kTdbErrUnknown},
        {"huge column number",
         sound + Entry(takUpdate, 5, "img5") + Entry(takBlob, 5000, "x"),
         {},
         kTdbErrUnknown},
        {"column number 0",
         sound + Entry(takUpdate, 5, "img5") + Entry(takWideMemo, 0, "x"),
         {},
         kTdbErrUnknown},
        {"same column twice",
         sound + Entry(takUpdate, 5, "img5") + Entry(takBlob, 1, "a") + Entry(takBlob, 1, "b"),
         {},
         kTdbErrUnknown},
        {"blob entry after an insert", sound + Entry(takBlob, 1, "x"), {}, kTdbErrUnknown},
        {"blob entry right after the header",
         kHeader + Entry(takBlob, 1, "x") + Entry(takInsert, 5, ""),
         {{takInsert, 5}},
         kTdbErrUnknown},
        {"lying length in the middle",
         kHeader + Entry(takInsert, 1, "").substr(0, 5) + Le32(300) + Entry(takInsert, 2, "") +
             Entry(takDelete, 3, "img3"),
         {{takDelete, 3}, {takInsert, 2}},
         kTdbErrUnknown},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteBytes(LogPath(), c.content);
        auto log = MakeLog();
        ASSERT_EQ(log->Open(), 0);
        const auto [actions, error] = ReadAll(*log);
        EXPECT_EQ(actions, c.actions);
        EXPECT_EQ(error, c.error);
        if (error) {
            // The position stays before the damage: asking again fails again.
            EXPECT_THROW(log->ReadPriorAction(), ETdbEngine);
        }
    }
}

TEST_F(RedoLogTest, NewEntriesReplaceADroppedTornTail) {
    WriteBytes(LogPath(),
               kHeader + Entry(takInsert, 1, "") + Entry(takUpdate, 2, "img2").substr(0, 10));
    auto log = MakeLog();
    ASSERT_EQ(log->Open(), 0);
    log->LogInsert(7);
    log->Close();

    EXPECT_EQ(ReadBytes(LogPath()), kHeader + Entry(takInsert, 1, "") + Entry(takInsert, 7, ""));
    ASSERT_EQ(log->Open(), 0);
    EXPECT_EQ(ReadAll(*log).first, (std::vector<Action>{{takInsert, 7}, {takInsert, 1}}));
}

TEST_F(RedoLogTest, NewFileStartsOverAndEraseRemovesTheLog) {
    auto log = MakeLog();
    log->NewFile();
    log->LogInsert(1);
    log->NewFile();
    log->Close();
    EXPECT_EQ(ReadBytes(LogPath()), kHeader);

    log->NewFile();
    log->Erase();
    EXPECT_FALSE(log->IsOpen());
    EXPECT_FALSE(std::filesystem::exists(LogPath()));
    EXPECT_EQ(log->Open(), -37);
}

TEST_F(RedoLogTest, RefusalsCarryTheirEngineErrors) {
    const auto code = [](auto&& action) -> std::int16_t {
        try {
            action();
        } catch (const ETdbEngine& e) {
            return e.Code();
        }
        return 0;
    };
    TTdbRedoLog nowhere(fs_, dir_.Name("missing/Irsz"), 6, false, kRecordSize);
    EXPECT_EQ(code([&] { nowhere.NewFile(); }), kTdbErrNoWriteAccess);
    EXPECT_EQ(code([&] { nowhere.LogInsert(1); }), kTdbErrWriteFile);

    auto log = MakeLog();
    log->NewFile();
    EXPECT_EQ(code([&] { log->LogInsert(0); }), kTdbErrInvalidParameter);
    EXPECT_EQ(code([&] { log->LogUpdate(1, Image("abc"), {}); }), kTdbErrInvalidParameter);
    EXPECT_EQ(code([&] {
                  log->LogDelete(1, Image("abcd"), {{true, takDelete, {}}});
              }),
              kTdbErrInvalidParameter);
    log->Close();
    // Nothing refused reached the file.
    EXPECT_EQ(ReadBytes(LogPath()), kHeader);
}

}  // namespace
}  // namespace tdb
