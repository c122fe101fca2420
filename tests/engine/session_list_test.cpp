// The session list: handles are slots, the list is bounded, freed handles come back, and
// sessions are uninitialised exactly once when they leave.
#include "engine/session_list.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

namespace tdb {
namespace {

struct SessionEvents {
    int uninitialized = 0;
    int destroyed = 0;
};

class FakeSession : public TTdbSession {
public:
    explicit FakeSession(SessionEvents& events, bool open = false) : events_(events), open_(open) {}
    ~FakeSession() override { ++events_.destroyed; }
    bool GetIsOpen() const override { return open_; }
    std::int16_t Initialize(std::int16_t handle) override {
        FConnectionId = handle;
        return 0;
    }
    void Uninitialize() override { ++events_.uninitialized; }

private:
    SessionEvents& events_;
    bool open_;
};

TEST(SessionListTest, RefusesTheHundredAndFirstAndReusesAFreedHandle) {
    TSessionList list;
    SessionEvents events;
    EXPECT_EQ(list.Count(), 100);
    for (int expected = 1; expected <= 100; ++expected) {
        ASSERT_EQ(list.AddSession(std::make_unique<FakeSession>(events)), expected);
    }
    EXPECT_EQ(list.AddSession(std::make_unique<FakeSession>(events)), -1);
    EXPECT_EQ(events.destroyed, 1);  // the refused one is not leaked

    list.DeleteSession(7);
    EXPECT_EQ(events.uninitialized, 1);
    EXPECT_EQ(events.destroyed, 2);
    EXPECT_FALSE(list.ExistsSessionHdl(7));
    EXPECT_EQ(list.GetSession(7), nullptr);
    EXPECT_EQ(list.AddSession(std::make_unique<FakeSession>(events)), 7);
    EXPECT_EQ(list.AddSession(std::make_unique<FakeSession>(events)), -1);
}

TEST(SessionListTest, TellsExistingFromOpenSessionsAndIgnoresUnknownHandles) {
    TSessionList list;
    SessionEvents events;
    const auto closed = list.AddSession(std::make_unique<FakeSession>(events, false));
    const auto open = list.AddSession(std::make_unique<FakeSession>(events, true));
    EXPECT_TRUE(list.ExistsSessionHdl(closed));
    EXPECT_FALSE(list.ValidSessionHdl(closed));
    EXPECT_TRUE(list.ValidSessionHdl(open));
    EXPECT_NE(list.GetSession(open), nullptr);
    for (const std::int16_t bad : {0, -1, 3, 100, 101, 256}) {
        EXPECT_FALSE(list.ExistsSessionHdl(bad)) << bad;
        EXPECT_FALSE(list.ValidSessionHdl(bad)) << bad;
        EXPECT_EQ(list.GetSession(bad), nullptr) << bad;
        list.DeleteSession(bad);
    }
    EXPECT_EQ(events.uninitialized, 0);
}

TEST(SessionListTest, UninitializesWhatIsLeftWhenTheListGoes) {
    SessionEvents events;
    {
        TSessionList list;
        list.AddSession(std::make_unique<FakeSession>(events));
        list.AddSession(std::make_unique<FakeSession>(events));
        list.DeleteSession(1);
    }
    EXPECT_EQ(events.uninitialized, 2);
    EXPECT_EQ(events.destroyed, 2);
}

TEST(SessionListTest, HandsOutEachHandleOnceUnderConcurrentUse) {
    TSessionList list;
    SessionEvents events;
    std::vector<std::vector<std::int16_t>> handles(4);
    std::vector<std::thread> threads;
    for (auto& mine : handles) {
        threads.emplace_back([&list, &events, &mine] {
            for (int i = 0; i < 25; ++i) {
                mine.push_back(list.AddSession(std::make_unique<FakeSession>(events)));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    std::set<std::int16_t> all;
    for (const auto& mine : handles) {
        all.insert(mine.begin(), mine.end());
    }
    EXPECT_EQ(all.size(), 100u);
    EXPECT_EQ(*all.begin(), 1);
    EXPECT_EQ(*all.rbegin(), 100);
}

}  // namespace
}  // namespace tdb
