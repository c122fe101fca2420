// Session and relation handles: how many sessions there may be, which handles are refused, and
// that a handle of a session that works elsewhere is not worked on here.
#include "api/handles.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "api/call_interface.h"
#include "engine/session_list.h"

namespace tdb::api {
namespace {

TEST(SessionHandles, TheHundredAndFirstSessionIsRefusedAndAFreedHandleIsReused) {
    std::vector<std::int16_t> handles;
    for (int i = 0; i < 100; ++i) {
        const std::int16_t handle = TdbCreateSession(u"");
        ASSERT_GT(handle, 0) << i;
        handles.push_back(handle);
    }
    EXPECT_EQ(TdbCreateSession(u""), kTdbCannotCreateSession);

    EXPECT_EQ(TdbSessDelete(handles[6]), kTdbOk);
    EXPECT_EQ(TdbCreateSession(u""), handles[6]);
    for (const std::int16_t handle : handles) {
        EXPECT_EQ(TdbSessDelete(handle), kTdbOk);
    }
}

TEST(SessionHandles, ALocationNamingAServerMakesNoSession) {
    EXPECT_EQ(TdbCreateSession(u"Irsz@server"), kTdbCannotCreateSession);
    // Nothing was taken: the first slot is still the one a local session gets.
    const std::int16_t handle = TdbCreateSession(u"");
    EXPECT_EQ(handle, 1);
    TdbSessDelete(handle);
}

TEST(SessionHandles, InvalidSessionHandlesAreRefused) {
    const std::int16_t freed = TdbCreateSession(u"");
    ASSERT_GT(freed, 0);
    ASSERT_EQ(TdbSessDelete(freed), kTdbOk);
    for (const std::int16_t handle :
         {std::int16_t{0}, std::int16_t{-1}, std::int16_t{101}, std::int16_t{-32768}, freed}) {
        SCOPED_TRACE(handle);
        TTdbDatabaseInfo info{};
        std::int16_t code = 0;
        EXPECT_EQ(TdbSessGetDbInfo(handle, info), kTdbInvalidSessionHandle);
        EXPECT_EQ(TdbSessGetLastError(handle, code, nullptr, 0), kTdbInvalidSessionHandle);
        EXPECT_EQ(TdbSessOpenTable(handle, u"Irsz", u"", 0x10F, false, false),
                  kTdbInvalidSessionHandle);
        EXPECT_EQ(TdbSessGetTableNames(handle, nullptr, 0), kTdbInvalidSessionHandle);
        EXPECT_EQ(TdbSessDelete(handle), kTdbInvalidSessionHandle);
    }
}

TEST(RelationHandles, HandlesPackTheSessionAndTheRelationSlot) {
    EXPECT_EQ(MakeRltnHdl(1, 1), 1);
    EXPECT_EQ(MakeRltnHdl(3, 7), 2 * 256 + 7);
    EXPECT_EQ(MakeRltnHdl(100, 254), 99 * 256 + 254);
    EXPECT_EQ(SessHdlOfRltnHdl(2 * 256 + 7), 3);
    EXPECT_EQ(RltnIdxOfRltnHdl(2 * 256 + 7), 7);
}

TEST(RelationHandles, HandlesWithoutAnOpenRelationAreRefused) {
    const std::int16_t session = TdbCreateSession(u"");
    ASSERT_GT(session, 0);
    const std::int16_t gone = TdbCreateSession(u"");
    ASSERT_EQ(TdbSessDelete(gone), kTdbOk);
    // No database is open: no slot of the session holds a relation.
    for (const std::int16_t handle :
         {std::int16_t{0}, std::int16_t{-5}, MakeRltnHdl(session, 1), MakeRltnHdl(session, 255),
          MakeRltnHdl(gone, 1), std::int16_t{32767}}) {
        SCOPED_TRACE(handle);
        TTdbTableInfo info{};
        TTdbFieldSpec spec{};
        EXPECT_EQ(TdbRltnGetTableInfo(handle, info), kTdbInvalidRelationHandle);
        EXPECT_EQ(TdbRltnGetFieldSpec(handle, 1, spec), kTdbInvalidRelationHandle);
        EXPECT_EQ(TdbRltnClose(handle), kTdbInvalidRelationHandle);
    }
    TdbSessDelete(session);
}

// A session the engine does not work on itself, as one talking to a server would be.
class ElsewhereSession : public TTdbSession {
public:
    bool GetIsOpen() const override { return true; }
    std::int16_t Initialize(std::int16_t) override { return 0; }
    void Uninitialize() override {}
};

TEST(RelationHandles, HandlesOfASessionWorkingElsewhereAreNotWorkedOnHere) {
    const std::int16_t handle =
        TSessionList::Instance().AddSession(std::make_unique<ElsewhereSession>());
    ASSERT_GT(handle, 0);
    EXPECT_EQ(ClassifySession(handle).Kind, TTdbHandleKind::Remote);
    EXPECT_EQ(ClassifyRelation(MakeRltnHdl(handle, 1)).Kind, TTdbHandleKind::Remote);
    TTdbDatabaseInfo info{};
    TTdbTableInfo table{};
    EXPECT_EQ(TdbSessGetDbInfo(handle, info), kTdbNotSupportedRemote);
    EXPECT_EQ(TdbRltnGetTableInfo(MakeRltnHdl(handle, 1), table), kTdbNotSupportedRemote);
    EXPECT_EQ(TdbSessDelete(handle), kTdbOk);
    EXPECT_EQ(ClassifySession(handle).Kind, TTdbHandleKind::Invalid);
}

}  // namespace
}  // namespace tdb::api
