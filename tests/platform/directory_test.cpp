// Directory operations and searches of the platform layer, and its clock.
#include "platform/directory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/error.h"
#include "platform/random.h"
#include "platform/text.h"
#include "test_support.h"

namespace tdb::platform {
namespace {

using tdb::testing::TempDir;
using tdb::testing::WriteBytes;

TEST(PatternTest, MatchesWildcardsTheWayCallersWriteThem) {
    struct Case {
        std::u16string_view name;
        std::u16string_view pattern;
        bool matches;
    };
    const Case cases[] = {
        {u"Irsz.tdbt", u"*.*", true},
        {u"README", u"*.*", true},
        {u".hidden", u"*.*", true},
        {u"Irsz.tdbt", u"*.tdbt", true},
        {u"Irsz.tdbi", u"*.tdbt", false},
        {u"Irsz.tdbt", u"Irsz.*", true},
        {u"Irsz", u"Irsz.*", true},
        {u"Irsz2", u"Irsz.*", false},
        {u"a1.dat", u"a?.dat", true},
        {u"a.dat", u"a?.dat", false},
        {u"a12.dat", u"a?.dat", false},
        {u"Győr.tdbt", u"Gy?r.*", true},
        {u"\U0001F4EE.x", u"?.x", true},
        {u"irsz.tdbt", u"Irsz.*", false},
        {u"aaaaaaaaaaaaaaaaaaaab", u"*a*a*a*a*a*a*c", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MatchesPattern(c.name, c.pattern), c.matches)
            << std::string(c.name.begin(), c.name.end()) << " ~ "
            << std::string(c.pattern.begin(), c.pattern.end());
    }
}

TEST(PackDateTimeTest, PacksLocalTimeIntoDateAndTimeWords) {
    // 2024-02-29 13:45:58 local time, whatever the zone of the machine.
    struct tm local {};
    local.tm_year = 124;
    local.tm_mon = 1;
    local.tm_mday = 29;
    local.tm_hour = 13;
    local.tm_min = 45;
    local.tm_sec = 58;
    local.tm_isdst = -1;
    const int64_t seconds = static_cast<int64_t>(mktime(&local));
    const int32_t packed = PackDateTime(seconds);
    EXPECT_EQ((packed >> 16) & 0xFFFF, (44 << 9) | (2 << 5) | 29);
    EXPECT_EQ(packed & 0xFFFF, (13 << 11) | (45 << 5) | 29);
    EXPECT_EQ(PackDateTime(0), (1 << 5 | 1) << 16);
}

class DirectoryTest : public ::testing::Test {
protected:
    TempDir dir_;

    std::set<std::u16string> Search(const std::string& pattern) {
        std::set<std::u16string> names;
        FindData found;
        auto search = FindFirst(dir_.Name(pattern), found);
        if (!search) {
            return names;
        }
        do {
            names.insert(found.Name);
        } while (FindNext(*search, found));
        EXPECT_EQ(GetLastError(), kErrorNoMoreFiles);
        return names;
    }
};

TEST_F(DirectoryTest, SearchesReportNamesSizesAndAttributes) {
    WriteBytes(dir_.Path() / "Irsz.tdbt", "12345");
    WriteBytes(dir_.Path() / "Irsz.tdbi", "1");
    ASSERT_TRUE(CreateDirectory(dir_.Name("sub")));

    EXPECT_EQ(Search("*.*"), (std::set<std::u16string>{u"Irsz.tdbt", u"Irsz.tdbi", u"sub"}));
    EXPECT_EQ(Search("*.tdbt"), std::set<std::u16string>{u"Irsz.tdbt"});
    EXPECT_TRUE(Search("*.none").empty());
    EXPECT_EQ(GetLastError(), kErrorFileNotFound);
    EXPECT_TRUE(Search("nodir/*.*").empty());
    EXPECT_EQ(GetLastError(), kErrorPathNotFound);

    FindData found;
    ASSERT_TRUE(FindFirst(dir_.Name("Irsz.tdbt"), found));
    EXPECT_EQ(found.Name, u"Irsz.tdbt");
    EXPECT_EQ(found.Size, 5);
    EXPECT_EQ(found.Attr & kAttrDirectory, 0);
    EXPECT_NE(found.Time, 0);

    ASSERT_TRUE(FindFirst(dir_.Name("sub"), found));
    EXPECT_EQ(found.Attr & kAttrDirectory, kAttrDirectory);
    ASSERT_TRUE(FindFirst(dir_.Name("sub/"), found));  // the directory itself
    EXPECT_EQ(found.Name, u"sub");
    EXPECT_EQ(found.Attr & kAttrDirectory, kAttrDirectory);

    EXPECT_FALSE(FindFirst(dir_.Name("missing"), found));
    EXPECT_EQ(GetLastError(), kErrorFileNotFound);
}

TEST_F(DirectoryTest, CreatesAndRemovesDirectories) {
    EXPECT_TRUE(CreateDirectory(dir_.Name("a")));
    EXPECT_FALSE(CreateDirectory(dir_.Name("a")));
    EXPECT_EQ(GetLastError(), kErrorAlreadyExists);
    EXPECT_FALSE(CreateDirectory(dir_.Name("x/y")));
    EXPECT_EQ(GetLastError(), kErrorPathNotFound);

    WriteBytes(dir_.Path() / "a" / "f", "1");
    EXPECT_FALSE(RemoveDirectory(dir_.Name("a")));
    EXPECT_EQ(GetLastError(), kErrorDirectoryNotEmpty);
    std::filesystem::remove(dir_.Path() / "a" / "f");
    EXPECT_TRUE(RemoveDirectory(dir_.Name("a")));
    EXPECT_FALSE(RemoveDirectory(dir_.Name("a")));
    EXPECT_EQ(GetLastError(), kErrorFileNotFound);
}

TEST_F(DirectoryTest, ForcesMissingParentsAndRefusesFilesInTheWay) {
    EXPECT_TRUE(ForceDirectories(dir_.Name("a/b/c/")));
    EXPECT_TRUE(DirectoryExists(dir_.Name("a/b/c")));
    EXPECT_TRUE(ForceDirectories(dir_.Name("a/b")));

    WriteBytes(dir_.Path() / "a" / "f", "1");
    EXPECT_FALSE(ForceDirectories(dir_.Name("a/f")));
    EXPECT_EQ(GetLastError(), kErrorAlreadyExists);
    EXPECT_FALSE(ForceDirectories(dir_.Name("a/f/g")));
    EXPECT_EQ(GetLastError(), kErrorAlreadyExists);
    EXPECT_FALSE(std::filesystem::exists(dir_.Path() / "a" / "f" / "g"));
}

TEST_F(DirectoryTest, TellsFilesFromDirectories) {
    WriteBytes(dir_.Path() / "f", "1");
    std::filesystem::create_directory(dir_.Path() / "d");
    std::filesystem::create_symlink(dir_.Path() / "d", dir_.Path() / "link");
    struct Case {
        const char* name;
        bool file;
        bool directory;
    };
    const Case cases[] = {
        {"f", true, false},  {"d", false, true},        {"link", false, true},
        {"d/", false, true}, {"missing", false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FileExists(dir_.Name(c.name)), c.file) << c.name;
        EXPECT_EQ(DirectoryExists(dir_.Name(c.name)), c.directory) << c.name;
    }
    EXPECT_FALSE(FileExists(u""));
    EXPECT_FALSE(DirectoryExists(std::u16string(u"f\0x", 3)));
}

TEST_F(DirectoryTest, TemporaryDirectoryFollowsTmpdirWhenItIsADirectory) {
    const char* saved = std::getenv("TMPDIR");
    const std::string restore = saved != nullptr ? saved : "";
    ::setenv("TMPDIR", (dir_.Path().string() + "/").c_str(), 1);
    EXPECT_EQ(TempDirectory(), dir_.Name());
    ::setenv("TMPDIR", (dir_.Path() / "missing").c_str(), 1);
    EXPECT_EQ(TempDirectory(), u"/tmp");
    ::unsetenv("TMPDIR");
    EXPECT_EQ(TempDirectory(), u"/tmp");
    if (saved != nullptr) {
        ::setenv("TMPDIR", restore.c_str(), 1);
    }
}

TEST(CurrentDirectoryTest, IsTheProcesssWorkingDirectory) {
    EXPECT_EQ(CurrentDirectory(), FromUtf8(std::filesystem::current_path().string()));
}

TEST(RandomTest, StaysInRangeAndVaries) {
    EXPECT_EQ(Random(0), 0u);
    EXPECT_EQ(Random(1), 0u);
    std::set<uint32_t> seen;
    for (int i = 0; i < 200; ++i) {
        const uint32_t value = Random(10);
        EXPECT_LT(value, 10u);
        seen.insert(value);
    }
    EXPECT_GT(seen.size(), 5u);
    // The full range of station numbers is reached, not just its low part.
    uint32_t highest = 0;
    for (int i = 0; i < 100; ++i) {
        highest = std::max(highest, Random(2147483647u));
    }
    EXPECT_GT(highest, 1u << 30);
}

TEST(RandomTest, IsSafeFromSeveralThreads) {
    std::vector<std::thread> threads;
    std::atomic<int> outOfRange{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 1000; ++i) {
                if (Random(1000) >= 1000) {
                    ++outOfRange;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(outOfRange.load(), 0);
}

TEST(ClockTest, TickCountFollowsSleep) {
    const uint32_t before = GetTickCount();
    Sleep(20);
    EXPECT_GE(static_cast<uint32_t>(GetTickCount() - before), 20u);
    Sleep(0);
}

}  // namespace
}  // namespace tdb::platform
