// How a failed call becomes the error a window shows: the context, the result code's message
// and the session's last error, and the codes whose session is not asked.
#include "dataset/dataset_error.h"

#include <gtest/gtest.h>

#include "api/call_interface.h"
#include "messages.h"
#include "platform/text.h"

namespace dataset {
namespace {

using namespace tdb::api;

class DataSetErrorTest : public ::testing::Test {
protected:
    void SetUp() override {
        sess_ = TdbCreateSession(u"");
        ASSERT_GT(sess_, 0);
    }
    void TearDown() override { TdbSessDelete(sess_); }

    std::int16_t sess_ = 0;
};

TEST_F(DataSetErrorTest, JoinsContextCodeMessageAndTheSessionsLastError) {
    // A database that is not there leaves the engine's reason as the last error.
    ASSERT_EQ(TdbSessOpenDb(sess_, u"/nonexistent-zenkalo-dir/x", u"", u"", 0, 0), -58);
    try {
        RaiseTdbError(u"Opening database \"x\"", -58, sess_);
        FAIL();
    } catch (const ETableDBError& e) {
        EXPECT_EQ(e.TdbError(), -58);
        EXPECT_LT(e.Reason(), 0);
        EXPECT_TRUE(e.Message().starts_with(u"Opening database \"x\": Database not found. "))
            << tdb::ToUtf8(e.Message());
        EXPECT_GT(e.Message().size(),
                  std::u16string_view(u"Opening database \"x\": Database not found. ").size());
    }
}

TEST_F(DataSetErrorTest, CodesWithoutASessionGiveThePlainError) {
    bool plain = false;
    try {
        RaiseTdbError(u"Fetching records", -101, sess_);
    } catch (const ETableDBError&) {
    } catch (const EDatabaseError& e) {
        plain = true;
        EXPECT_EQ(e.Message(), u"Fetching records: The table handle is invalid");
    }
    EXPECT_TRUE(plain);
}

TEST_F(DataSetErrorTest, AnEngineErrorWithoutALastErrorIsTheContextAlone) {
    EXPECT_EQ(MessageOf([&] { RaiseTdbError(u"Compressing database", -100, sess_); }),
              u"Compressing database: ");
}

}  // namespace
}  // namespace dataset
