// The machine facts the about window shows, read from this machine.
#include "platform/system_info.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

#include "platform/clock.h"

namespace tdb::platform {
namespace {

TEST(SystemInfoTest, TheFactsAreThoseOfARunningLinuxMachine) {
    const TOsVersion os = GetOsVersion();
    EXPECT_EQ(os.Platform, "Linux");
    EXPECT_GE(os.Major, 2u);

    const TMemoryStatus memory = GetMemoryStatus();
    EXPECT_GT(memory.TotalPhysical, 16ULL << 20);
    EXPECT_LE(memory.Load, 100u);

    const std::uint64_t before = ReadTimeStampCounter();
    Sleep(20);
    EXPECT_GT(ReadTimeStampCounter(), before);
}

TEST(SystemInfoTest, ARaisedPriorityIsGivenBack) {
    int ran = 0;
    WithRaisedPriority([](void* count) { ++*static_cast<int*>(count); }, &ran);
    EXPECT_EQ(ran, 1);
    int policy = -1;
    sched_param param{};
    ASSERT_EQ(pthread_getschedparam(pthread_self(), &policy, &param), 0);
    EXPECT_EQ(policy, SCHED_OTHER);
}

}  // namespace
}  // namespace tdb::platform
