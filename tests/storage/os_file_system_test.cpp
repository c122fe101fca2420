// The operating system's file system: name resolution, sizes and reads at the end, locks,
// exclusive databases, searches, and copying files and trees.
#include "storage/os_file_system.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/text.h"
#include "storage/file_errors.h"
#include "test_support.h"

namespace tdb {
namespace {

using tdb::testing::Bytes;
using tdb::testing::ProbeProcess;
using tdb::testing::ReadBytes;
using tdb::testing::TempDir;
using tdb::testing::WriteBytes;

TEST(ExpandFileNameTest, ResolvesNamesAgainstTheBaseDirectory) {
    struct Case {
        std::u16string_view base;
        std::u16string_view name;
        std::u16string_view expected;
    };
    const Case cases[] = {
        {u"/l1/l2/l3", u"Irsz.tdbt", u"/l1/l2/l3/Irsz.tdbt"},
        {u"/l1/l2/l3/", u"Irsz.tdbt", u"/l1/l2/l3/Irsz.tdbt"},
        {u"/l1/l2/l3", u"./Irsz.tdbt", u"/l1/l2/l3/Irsz.tdbt"},
        {u"/l1/l2/l3", u"../Irsz.tdbt", u"/l1/l2/Irsz.tdbt"},
        {u"/l1/l2/l3", u"../../Irsz.tdbt", u"/l1/Irsz.tdbt"},
        {u"/l1/l2/l3", u"../../../../../x", u"/x"},
        {u"/l1/l2/l3", u"sub/dir/x", u"/l1/l2/l3/sub/dir/x"},
        {u"/l1/l2/l3", u"/abs/x", u"/abs/x"},
        {u"/l1/l2/l3", u"", u"/l1/l2/l3/"},
        {u"/l1/l2/l3", u"..", u"/l1/l2/"},
        {u"/", u"x", u"/x"},
        {u"/", u"", u"/"},
        {u"", u"../x", u"../x"},
        {u"", u"x", u"x"},
        {u"/l1", u"a/../b", u"/l1/a/../b"},  // only leading steps are resolved
    };
    for (const auto& c : cases) {
        TdwOSFileSystem fs(c.base);
        EXPECT_EQ(fs.ExpandFileName(c.name), c.expected)
            << ToUtf8(c.base) << " + " << ToUtf8(c.name);
    }
}

class OSFileSystemTest : public ::testing::Test {
protected:
    TempDir dir_;
    TdwOSFileSystem fs_{dir_.Name()};

    int32_t Open(std::u16string_view name, int32_t mode) { return fs_.OpenFile(name, mode); }
};

TEST_F(OSFileSystemTest, ReadsAndWritesAtPositionsAndOnlyShortens) {
    const int32_t h = fs_.CreateFile(u"data.bin");
    ASSERT_GE(h, 0);
    EXPECT_EQ(fs_.FileWrite(h, 0, Bytes("0123456789")), 10);
    std::array<std::byte, 4> buffer{};
    EXPECT_EQ(fs_.FileRead(h, 8, buffer), 2);
    EXPECT_EQ(fs_.FileRead(h, 10, buffer), 0);
    EXPECT_EQ(fs_.FileRead(h, 1000, buffer), 0);
    EXPECT_EQ(fs_.FileRead(h, -1, buffer), 0);

    fs_.SetFileSize(h, 100);  // growing is left to writing
    EXPECT_EQ(fs_.GetFileSize(h), 10);
    fs_.SetFileSize(h, 4);
    EXPECT_EQ(fs_.GetFileSize(h), 4);
    EXPECT_TRUE(fs_.EndOfFile(h, 4));
    EXPECT_FALSE(fs_.EndOfFile(h, 3));
    fs_.CloseFile(h);
    fs_.CloseFile(-1);
    EXPECT_EQ(ReadBytes(dir_.Path() / "data.bin"), "0123");

    EXPECT_THROW(fs_.GetFileSize(h), Exception);
    try {
        fs_.GetFileSize(h);
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), u"Windows cannot determine file size (6).");
    }
}

TEST_F(OSFileSystemTest, CuttingAReadOnlyFileRaises) {
    WriteBytes(dir_.Path() / "data.bin", "0123456789");
    const int32_t h = Open(u"data.bin", 0x40);
    ASSERT_GE(h, 0);
    try {
        fs_.SetFileSize(h, 2);
        ADD_FAILURE() << "no exception";
    } catch (const EdwInOutError& e) {
        EXPECT_EQ(e.Message(), u"Cannot set end of of file");
        EXPECT_EQ(e.ErrorCode(), platform::kErrorAccessDenied);
    }
    fs_.CloseFile(h);
    EXPECT_EQ(ReadBytes(dir_.Path() / "data.bin"), "0123456789");
}

TEST_F(OSFileSystemTest, ReportsThePlatformCodesTheEngineTests) {
    EXPECT_LT(Open(u"missing", 0x42), 0);
    EXPECT_EQ(fs_.GetLastError(), 2);
    EXPECT_TRUE(fs_.CreateDir(u"sub"));
    EXPECT_FALSE(fs_.CreateDir(u"sub"));
    EXPECT_EQ(fs_.GetLastError(), 183);

    const int32_t a = fs_.CreateFile(u"data.bin");
    EXPECT_LT(Open(u"data.bin", 0x40), 0);
    EXPECT_EQ(fs_.GetLastError(), 32);
    fs_.CloseFile(a);

    const int32_t b = Open(u"data.bin", 0x42);
    const int32_t c = Open(u"data.bin", 0x42);
    EXPECT_EQ(fs_.LockFile(b, 0, 1, true), 1);
    EXPECT_EQ(fs_.LockFile(c, 0, 1, false), 0);
    EXPECT_EQ(fs_.GetLastError(), 33);
    EXPECT_FALSE(fs_.DeleteFile(u"data.bin"));
    EXPECT_EQ(fs_.GetLastError(), 32);
    fs_.CloseFile(b);
    fs_.CloseFile(c);
    EXPECT_TRUE(fs_.RenameFile(u"data.bin", u"sub/moved.bin"));
    EXPECT_TRUE(fs_.FileExists(u"sub/moved.bin"));
    EXPECT_TRUE(fs_.DeleteFile(u"sub/moved.bin"));
    EXPECT_TRUE(fs_.RemoveDir(u"sub"));
}

TEST_F(OSFileSystemTest, ErrorMessages) {
    EXPECT_EQ(fs_.GetErrorMessage(1000), u"No locking support");
    EXPECT_EQ(fs_.GetErrorMessage(1001), u"Unknown reason");
    EXPECT_EQ(fs_.GetErrorMessage(2), u"No such file or directory");
}

TEST_F(OSFileSystemTest, LocksUseTheLow32BitsOfPositions) {
    WriteBytes(dir_.Path() / "lock.bin", "");
    const int32_t a = Open(u"lock.bin", 0x42);
    const int32_t b = Open(u"lock.bin", 0x42);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    const int64_t high = int64_t{1} << 32;
    EXPECT_EQ(fs_.LockFile(a, high + 5, high + 6, true), 1);
    EXPECT_EQ(fs_.LockFile(b, 5, 6, true), 0);  // the same lock, as every peer sees it
    fs_.UnlockFile(a, 5, 6, true);
    EXPECT_EQ(fs_.LockFile(b, 5, 6, true), 1);

    // A length that truncates to 0 must not lock everything up to the end of the file.
    EXPECT_EQ(fs_.LockFile(a, 100, 100 + high, true), -1);
    EXPECT_EQ(fs_.LockFile(a, 10, 10, true), -1);
    EXPECT_EQ(fs_.LockFile(b, 200, 201, true), 1);
    fs_.CloseFile(a);
    fs_.CloseFile(b);
}

TEST_F(OSFileSystemTest, PhysicallyExclusiveKeepsEveryOtherOpenerOut) {
    WriteBytes(dir_.Path() / "Irsz.tdbt", "data");
    fs_.SetPhysicallyExclusive(true);
    const int32_t held = Open(u"Irsz.tdbt", 0x20);  // a deny-write request becomes exclusive
    ASSERT_GE(held, 0);

    // A writer that asks no sharing restriction is what deny read alone would have let in.
    TdwOSFileSystem other(dir_.Name());
    for (int32_t mode : {0x40, 0x41}) {
        EXPECT_LT(other.OpenFile(u"Irsz.tdbt", mode), 0) << mode;
        EXPECT_EQ(other.GetLastError(), 32);
    }
    const std::string path = ToUtf8(dir_.Name("Irsz.tdbt"));
    ProbeProcess child_reader({"open", path, "0x40"});
    EXPECT_EQ(child_reader.Answers(), std::vector<std::string>{"open error 32"});
    ProbeProcess child_writer({"open", path, "0x41"});
    EXPECT_EQ(child_writer.Answers(), std::vector<std::string>{"open error 32"});

    fs_.CloseFile(held);
    fs_.SetPhysicallyExclusive(false);
    const int32_t shared = Open(u"Irsz.tdbt", 0x20);
    const int32_t reader = other.OpenFile(u"Irsz.tdbt", 0x40);
    EXPECT_GE(reader, 0);
    fs_.CloseFile(shared);
    other.CloseFile(reader);
}

TEST_F(OSFileSystemTest, SearchesHonourAttributes) {
    WriteBytes(dir_.Path() / "a.tdbt", "12345");
    WriteBytes(dir_.Path() / "b.tdbi", "");
    ASSERT_TRUE(fs_.CreateDir(u"sub"));

    auto names = [&](std::u16string_view pattern, int32_t attr) {
        std::set<std::u16string> found;
        TdwFindFileRec rec;
        for (bool more = fs_.FindFirstFile(pattern, attr, rec); more;
             more = fs_.FindNextFile(rec)) {
            found.insert(rec.Name);
        }
        fs_.FindFileClose(rec);
        return found;
    };
    EXPECT_EQ(names(u"*.*", 0), (std::set<std::u16string>{u"a.tdbt", u"b.tdbi"}));
    EXPECT_EQ(names(u"*.*", kAttrDirectory),
              (std::set<std::u16string>{u"a.tdbt", u"b.tdbi", u"sub"}));
    EXPECT_EQ(names(u"*.*", kAttrAnyFile).size(), 3u);
    EXPECT_EQ(names(u"?.tdbt", 0), std::set<std::u16string>{u"a.tdbt"});
    EXPECT_TRUE(names(u"sub", 0).empty());
    EXPECT_EQ(fs_.GetLastError(), 2);

    TdwFindFileRec rec;
    ASSERT_TRUE(fs_.FindFirstFile(u"a.tdbt", 0, rec));
    EXPECT_EQ(rec.Size, 5);
    EXPECT_EQ(rec.Attr & kAttrDirectory, 0);
    EXPECT_NE(rec.Time, 0);
    fs_.FindFileClose(rec);

    EXPECT_TRUE(fs_.FileExists(u"a.tdbt"));
    EXPECT_FALSE(fs_.FileExists(u"sub"));
    EXPECT_FALSE(fs_.FileExists(u"none"));
    EXPECT_TRUE(fs_.DirectoryExists(u"sub"));
    EXPECT_TRUE(fs_.DirectoryExists(u"sub/"));
    EXPECT_TRUE(fs_.DirectoryExists(u""));
    EXPECT_FALSE(fs_.DirectoryExists(u"a.tdbt"));
    EXPECT_FALSE(fs_.DirectoryExists(u"none"));
}

TEST_F(OSFileSystemTest, ForcePathCreatesEveryLevel) {
    EXPECT_TRUE(fs_.ForcePath(u"x/y/z"));
    EXPECT_TRUE(fs_.DirectoryExists(u"x/y/z"));
    EXPECT_TRUE(fs_.ForcePath(u"x/y/z"));
    WriteBytes(dir_.Path() / "file", "");
    EXPECT_FALSE(fs_.ForcePath(u"file/below"));
}

TEST_F(OSFileSystemTest, CopyFileIntoADirectoryKeepsTheName) {
    const std::string content(10000, 'q');
    WriteBytes(dir_.Path() / "src.bin", content);
    ASSERT_TRUE(fs_.CreateDir(u"target"));
    EXPECT_TRUE(fs_.CopyFile(u"src.bin", u"target"));
    EXPECT_EQ(ReadBytes(dir_.Path() / "target" / "src.bin"), content);
    EXPECT_TRUE(fs_.CopyFile(u"src.bin", u"copy.bin"));
    EXPECT_EQ(ReadBytes(dir_.Path() / "copy.bin"), content);

    EXPECT_FALSE(fs_.CopyFile(u"missing.bin", u"copy2.bin"));
    EXPECT_EQ(fs_.GetLastError(), 2);
    EXPECT_FALSE(fs_.CopyFile(u"src.bin", u"nodir/copy.bin"));
    EXPECT_EQ(fs_.GetLastError(), 3);  // the reason survives closing the source
}

class CopyFromTest : public ::testing::Test {
protected:
    TempDir source_dir_;
    TempDir target_dir_;
    TdwOSFileSystem source_{source_dir_.Name()};
    TdwOSFileSystem target_{target_dir_.Name()};
};

TEST_F(CopyFromTest, CopiesATreeWithExactLengths) {
    const std::string odd(32768 * 2 + 123, 'a');
    const std::string exact(32768, 'b');
    WriteBytes(source_dir_.Path() / "odd.bin", odd);
    WriteBytes(source_dir_.Path() / "empty.bin", "");
    std::filesystem::create_directories(source_dir_.Path() / "d1" / "d2");
    WriteBytes(source_dir_.Path() / "d1" / "exact.bin", exact);
    WriteBytes(source_dir_.Path() / "d1" / "d2" / "deep.bin", "deep");

    target_.CopyFrom(source_, u"", u"");
    EXPECT_EQ(ReadBytes(target_dir_.Path() / "odd.bin"), odd);
    EXPECT_EQ(std::filesystem::file_size(target_dir_.Path() / "empty.bin"), 0u);
    EXPECT_EQ(ReadBytes(target_dir_.Path() / "d1" / "exact.bin"), exact);
    EXPECT_EQ(ReadBytes(target_dir_.Path() / "d1" / "d2" / "deep.bin"), "deep");

    ASSERT_TRUE(target_.CreateDir(u"again"));
    target_.CopyFrom(source_, u"d1", u"again");
    EXPECT_EQ(ReadBytes(target_dir_.Path() / "again" / "d2" / "deep.bin"), "deep");
}

TEST_F(CopyFromTest, FailuresNameWhatCouldNotBeDone) {
    auto copy_message = [&](std::u16string_view src, std::u16string_view dst) {
        try {
            target_.CopyFrom(source_, src, dst);
        } catch (const EdwInOutError& e) {
            return e.Message();
        }
        return std::u16string(u"no exception");
    };
    std::filesystem::create_directories(source_dir_.Path() / "d");
    std::filesystem::create_directories(target_dir_.Path() / "d");
    EXPECT_EQ(copy_message(u"", u""), u"Cannot create directory \"d\".");
    std::filesystem::remove(target_dir_.Path() / "d");
    std::filesystem::remove(source_dir_.Path() / "d");

    WriteBytes(source_dir_.Path() / "f.bin", "x");
    EXPECT_EQ(copy_message(u"", u"nodir"), u"Cannot create file \"nodir/f.bin\".");

    const int32_t held = source_.OpenFile(u"f.bin", 0x12);
    EXPECT_EQ(copy_message(u"", u""), u"Cannot open source file \"f.bin\".");
    source_.CloseFile(held);
}

// A source whose reads fail after the first chunk: the copy must not end silently short.
class FailingReadFileSystem : public TdwOSFileSystem {
public:
    using TdwOSFileSystem::TdwOSFileSystem;
    int32_t FileRead(int32_t handle, int64_t pos, std::span<std::byte> data) override {
        if (pos > 0) {
            SetLastError(platform::kErrorIoDevice);
            return -1;
        }
        return TdwOSFileSystem::FileRead(handle, pos, data);
    }
};

TEST_F(CopyFromTest, AReadErrorIsNotASuccessfulShortCopy) {
    WriteBytes(source_dir_.Path() / "big.bin", std::string(40000, 'z'));
    FailingReadFileSystem failing(source_dir_.Name());
    try {
        target_.CopyFrom(failing, u"", u"");
        ADD_FAILURE() << "no exception";
    } catch (const EdwInOutError& e) {
        EXPECT_EQ(e.Message(), u"Cannot read file \"big.bin\".");
    }
    EXPECT_FALSE(failing.CopyFile(u"big.bin", target_dir_.Name("copy.bin")));
}

}  // namespace
}  // namespace tdb
