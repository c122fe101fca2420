// Exceptions never leave the call interface: whatever a body raises becomes the session's last
// error and a result code, and texts leave it cut at the caller's length.
#include "api/containment.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "api/call_interface.h"
#include "api/handles.h"
#include "api/text_buffers.h"
#include "base/engine_error.h"
#include "engine/session.h"
#include "platform/text.h"

namespace tdb::api {
namespace {

// Every operation is noexcept: a caller above the engine never needs a handler.
static_assert(noexcept(TdbCreateSession(nullptr)));
static_assert(noexcept(TdbSessOpenDb(0, nullptr, nullptr, nullptr, 0, 0)));
static_assert(noexcept(TdbSessOpenTable(0, nullptr, nullptr, 0, false, false)));
static_assert(noexcept(TdbSessCreateTable(0, TTdbTableInfo{}, nullptr, 0, nullptr, 0, nullptr, 0,
                                          nullptr, 0, nullptr)));
static_assert(noexcept(TdbRltnGetIndexDesc(0, nullptr, nullptr, 0, false, 0)));

class ContainmentTest : public ::testing::Test {
protected:
    ContainmentTest() : handle_(TdbCreateSession(u"")) {}
    ~ContainmentTest() override { TdbSessDelete(handle_); }

    TTdbServices& Services() { return ClassifySession(handle_).Local->Services(); }

    std::int16_t handle_;
};

struct ThrowCase {
    const char* name;
    TTdbCatch mode;
    void (*raise)();
    std::int16_t result;
    std::int16_t lastError;
    std::u16string message;
};

TEST_F(ContainmentTest, WhatABodyRaisesBecomesTheLastErrorAndAResult) {
    constexpr std::int16_t kFailure = -14;
    const ThrowCase cases[] = {
        {"engine error", TTdbCatch::EngineErrors,
         [] { RaiseEngineError(kTdbErrTableAlreadyOpen, {u"Irsz"}); }, kFailure, 35,
         u"A table named \"Irsz\" is already open"},
        {"engine error where anything is caught", TTdbCatch::AnyException,
         [] { RaiseEngineError(kTdbErrTableAlreadyOpen, {u"Irsz"}); }, kFailure, 35,
         u"A table named \"Irsz\" is already open"},
        {"foreign exception where anything is caught", TTdbCatch::AnyException,
         [] { throw std::runtime_error("disk on fire"); }, kTdbEngineException, 123,
         u"Exception: disk on fire"},
        {"foreign exception elsewhere", TTdbCatch::EngineErrors,
         [] { throw std::runtime_error("disk on fire"); }, kFailure, 123,
         u"Exception: disk on fire"},
        {"no exception class at all", TTdbCatch::AnyException, [] { throw 7; }, kTdbEngineException,
         123, u"Exception: exception of unknown type"},
    };
    for (const ThrowCase& c : cases) {
        SCOPED_TRACE(c.name);
        Services().ClearLastError();
        const std::int16_t result = Contain(Services(), kFailure, c.mode, [&]() -> std::int16_t {
            c.raise();
            return 1;
        });
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(Services().LastError().LastErrorCode(), c.lastError);
        EXPECT_EQ(ToUtf8(Services().LastError().LastErrorMsg()), ToUtf8(c.message));
    }
}

TEST_F(ContainmentTest, AnErrorAlreadyRecordedKeepsItsReason) {
    Services().SetLastError(kTdbErrFileNotFound, {u"Irsz.tdbt"});
    const std::int16_t result = Contain(Services(), kTdbCannotOpenTable, TTdbCatch::EngineErrors,
                                        []() -> std::int16_t { RaiseNonCritical(); });
    EXPECT_EQ(result, kTdbCannotOpenTable);
    EXPECT_EQ(Services().LastError().LastErrorCode(), kTdbErrFileNotFound);
}

TEST_F(ContainmentTest, ABodyThatSucceedsAnswersItsOwnResult) {
    EXPECT_EQ(Contain(Services(), kTdbEngineError, TTdbCatch::AnyException,
                      []() -> std::int32_t { return 70000; }),
              70000);
    EXPECT_EQ(Services().LastError().LastErrorCode(), 0);
}

TEST(TextBuffers, OutputIsCutAtTheCallersLengthAndTerminated) {
    struct Case {
        int maxLen;
        std::u16string expected;
    };
    for (const Case& c : {Case{0, u""}, Case{3, u"Győ"}, Case{4, u"Győr"}, Case{40, u"Győr"}}) {
        char16_t buffer[8];
        std::fill(std::begin(buffer), std::end(buffer), u'#');
        CopyOut(buffer, c.maxLen, u"Győr");
        EXPECT_EQ(std::u16string(buffer), c.expected) << c.maxLen;
    }
    char16_t untouched[2] = {u'#', u'#'};
    CopyOut(untouched, -1, u"Győr");
    EXPECT_EQ(untouched[0], u'#');
    CopyOut(nullptr, 10, u"Győr");  // nothing to write into, nothing written
}

TEST(TextBuffers, RecordArraysNeverReadOrWritePastTheirEnd) {
    char16_t name[5];
    SetFixedText(name, u"Szekszárd");
    EXPECT_EQ(std::u16string(name), u"Szek");
    const char16_t full[4] = {u'a', u'b', u'c', u'd'};  // no terminator
    EXPECT_EQ(FixedText(full), u"abcd");
}

}  // namespace
}  // namespace tdb::api
