// Files of the platform layer: error codes, positioned I/O, byte-range locks between handles and
// processes, and share modes.
#include "platform/file.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/error.h"
#include "platform/text.h"
#include "test_support.h"

namespace tdb::platform {
namespace {

using tdb::testing::Bytes;
using tdb::testing::ProbeProcess;
using tdb::testing::ReadBytes;
using tdb::testing::TempDir;
using tdb::testing::WriteBytes;

// Closes the handle at the end of a test, whatever it asserted.
class Handle {
public:
    explicit Handle(FileHandle handle) : handle_(handle) {}
    ~Handle() { Close(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    operator FileHandle() const { return handle_; }
    void Close() {
        if (handle_ >= 0) {
            CloseFile(handle_);
            handle_ = kInvalidFileHandle;
        }
    }

private:
    FileHandle handle_;
};

class FileTest : public ::testing::Test {
protected:
    TempDir dir_;
    std::u16string path_ = dir_.Name("data.bin");
    void SetUp() override { WriteBytes(dir_.Path() / "data.bin", "0123456789"); }
};

TEST_F(FileTest, FailuresMapToThePlatformCodes) {
    EXPECT_EQ(OpenFile(dir_.Name("missing.bin"), kAccessRead | kShareDenyNone), -1);
    EXPECT_EQ(GetLastError(), kErrorFileNotFound);
    EXPECT_EQ(ErrorText(GetLastError()), u"No such file or directory");

    EXPECT_EQ(OpenFile(dir_.Name("nodir/missing.bin"), kAccessRead | kShareDenyNone), -1);
    EXPECT_EQ(GetLastError(), kErrorPathNotFound);

    EXPECT_EQ(OpenFile(dir_.Name(), kAccessRead | kShareDenyNone), -1);
    EXPECT_EQ(GetLastError(), kErrorAccessDenied);

    WriteBytes(dir_.Path() / "other.bin", "x");
    EXPECT_FALSE(RenameFile(path_, dir_.Name("other.bin")));
    EXPECT_EQ(GetLastError(), kErrorAlreadyExists);
    EXPECT_EQ(ReadBytes(dir_.Path() / "other.bin"), "x");

    EXPECT_EQ(OpenFile(path_, 0x03), -1);
    EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
    EXPECT_EQ(OpenFile(std::u16string(u"a\0b", 3), kAccessRead), -1);
    EXPECT_EQ(GetLastError(), kErrorInvalidName);

    SetLastError(kErrorLockViolation);
    EXPECT_FALSE(ErrorText(kErrorLockViolation).empty());
    EXPECT_NE(ErrorText(kErrorSharingViolation), ErrorText(kErrorLockViolation));
}

// Suites named "...Threads" also run under ThreadSanitizer.
using FileThreads = FileTest;

TEST_F(FileThreads, EachThreadKeepsItsOwnLastError) {
    EXPECT_EQ(OpenFile(dir_.Name("missing.bin"), kAccessRead | kShareDenyNone), -1);
    int32_t other_thread = -1;
    std::thread([&] {
        other_thread = GetLastError();
        SetLastError(kErrorAlreadyExists);
    }).join();
    EXPECT_EQ(other_thread, kErrorSuccess);
    EXPECT_EQ(GetLastError(), kErrorFileNotFound);
}

// Sessions in several threads share handles: transfers, locks and closes of other handles go on
// at the same time.
TEST_F(FileThreads, HandlesAreSharedBetweenThreads) {
    Handle shared(OpenFile(path_, kAccessReadWrite | kShareDenyNone));
    ASSERT_GE(shared, 0);
    std::vector<std::thread> threads;
    std::array<int, 4> failures{};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                std::array<std::byte, 10> buffer{};
                const auto at = static_cast<uint64_t>(100 + t);
                if (ReadFile(shared, 0, buffer) != 10 || LockRange(shared, at, 1) != 1 ||
                    !UnlockRange(shared, at, 1)) {
                    ++failures[static_cast<size_t>(t)];
                }
                const FileHandle own = OpenFile(path_, kAccessRead | kShareDenyNone);
                if (own < 0 || !CloseFile(own)) {
                    ++failures[static_cast<size_t>(t)];
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures, (std::array<int, 4>{}));
}

TEST_F(FileTest, ReadsAndWritesAtAbsolutePositions) {
    Handle h(OpenFile(path_, kAccessReadWrite | kShareDenyNone));
    ASSERT_GE(h, 0);
    EXPECT_EQ(WriteFile(h, 12, Bytes("AB")), 2);  // past the end: the gap reads as zeros
    EXPECT_EQ(GetFileSize(h), 14);

    std::array<std::byte, 8> buffer{};
    EXPECT_EQ(ReadFile(h, 8, buffer), 6);
    EXPECT_EQ(std::memcmp(buffer.data(), "89\0\0AB", 6), 0);
    EXPECT_EQ(ReadFile(h, 100, buffer), 0);
    EXPECT_EQ(ReadFile(h, -1, buffer), -1);
    EXPECT_EQ(GetLastError(), kErrorNegativeSeek);

    EXPECT_TRUE(SetFileLength(h, 4));
    EXPECT_EQ(GetFileSize(h), 4);
}

TEST_F(FileTest, RequestedAccessIsEnforced) {
    Handle reader(OpenFile(path_, kAccessRead | kShareDenyNone));
    Handle writer(OpenFile(path_, kAccessWrite | kShareDenyNone));
    ASSERT_GE(reader, 0);
    ASSERT_GE(writer, 0);
    std::array<std::byte, 4> buffer{};
    EXPECT_EQ(WriteFile(reader, 0, Bytes("x")), -1);
    EXPECT_EQ(GetLastError(), kErrorAccessDenied);
    EXPECT_FALSE(SetFileLength(reader, 0));
    EXPECT_EQ(ReadFile(writer, 0, buffer), -1);
    EXPECT_EQ(GetLastError(), kErrorAccessDenied);
    EXPECT_EQ(ReadBytes(dir_.Path() / "data.bin"), "0123456789");
}

TEST_F(FileTest, InvalidHandlesAreRefused) {
    std::array<std::byte, 4> buffer{};
    EXPECT_EQ(ReadFile(12345, 0, buffer), -1);
    EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
    EXPECT_EQ(LockRange(-1, 0, 1), -1);
    EXPECT_FALSE(CloseFile(-1));

    Handle h(OpenFile(path_, kAccessRead | kShareDenyNone));
    const FileHandle stale = h;
    h.Close();
    EXPECT_EQ(GetFileSize(stale), -1);
    EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
}

TEST_F(FileTest, CreateEmptiesAFileOnlyWhenNobodyHasItOpen) {
    {
        Handle other(OpenFile(path_, kAccessRead | kShareDenyNone));
        EXPECT_EQ(CreateFile(path_), -1);
        EXPECT_EQ(GetLastError(), kErrorSharingViolation);
        EXPECT_EQ(ReadBytes(dir_.Path() / "data.bin"), "0123456789");
    }
    Handle created(CreateFile(path_));
    ASSERT_GE(created, 0);
    EXPECT_EQ(GetFileSize(created), 0);
    EXPECT_EQ(CreateFile(dir_.Name("nodir/x")), -1);
    EXPECT_EQ(GetLastError(), kErrorPathNotFound);
}

TEST_F(FileTest, DeleteAndRenameRespectOpenHandles) {
    {
        Handle open(OpenFile(path_, kAccessRead | kShareDenyNone));
        EXPECT_FALSE(DeleteFile(path_));
        EXPECT_EQ(GetLastError(), kErrorSharingViolation);
        EXPECT_FALSE(RenameFile(path_, dir_.Name("renamed.bin")));
        EXPECT_EQ(GetLastError(), kErrorSharingViolation);
    }
    EXPECT_TRUE(RenameFile(path_, dir_.Name("renamed.bin")));
    EXPECT_TRUE(DeleteFile(dir_.Name("renamed.bin")));
    EXPECT_FALSE(DeleteFile(dir_.Name("renamed.bin")));
    EXPECT_EQ(GetLastError(), kErrorFileNotFound);
}

class LockTest : public FileTest {
protected:
    void SetUp() override {
        FileTest::SetUp();
        a_ = OpenFile(path_, kAccessReadWrite | kShareDenyNone);
        b_ = OpenFile(path_, kAccessReadWrite | kShareDenyNone);
        ASSERT_GE(a_, 0);
        ASSERT_GE(b_, 0);
    }
    void TearDown() override {
        CloseFile(a_);
        CloseFile(b_);
    }
    FileHandle a_ = kInvalidFileHandle;
    FileHandle b_ = kInvalidFileHandle;
};

TEST_F(LockTest, AnotherHandleOfTheSameProcessIsRefused) {
    EXPECT_EQ(LockRange(a_, 20, 10), 1);
    EXPECT_EQ(LockRange(b_, 29, 1), 0);
    EXPECT_EQ(GetLastError(), kErrorLockViolation);
    EXPECT_EQ(LockRange(b_, 30, 5), 1);  // adjacent ranges do not overlap
    EXPECT_EQ(LockRange(b_, 1000000, 1), 1);
    EXPECT_EQ(GetFileSize(a_), 10);  // locks beyond the end do not grow the file

    EXPECT_TRUE(UnlockRange(a_, 20, 10));
    EXPECT_EQ(LockRange(b_, 20, 10), 1);
    CloseFile(b_);
    b_ = kInvalidFileHandle;
    EXPECT_EQ(LockRange(a_, 20, 10), 1);  // closing released b's locks
}

TEST_F(LockTest, TheSameHandleCannotLockAnOverlapTwice) {
    ASSERT_EQ(LockRange(a_, 40, 1), 1);
    // A probe "try to lock, then unlock" must fail instead of releasing the real lock.
    EXPECT_EQ(LockRange(a_, 40, 1), 0);
    EXPECT_EQ(GetLastError(), kErrorLockViolation);
    EXPECT_EQ(LockRange(a_, 35, 10), 0);
    EXPECT_EQ(LockRange(b_, 40, 1), 0);
}

TEST_F(LockTest, UnlockReleasesOnlyExactRanges) {
    ASSERT_EQ(LockRange(a_, 20, 10), 1);
    EXPECT_FALSE(UnlockRange(a_, 24, 1));
    EXPECT_EQ(GetLastError(), kErrorNotLocked);
    EXPECT_FALSE(UnlockRange(b_, 20, 10));
    EXPECT_EQ(LockRange(b_, 24, 1), 0);
    EXPECT_EQ(LockRange(b_, 20, 1), 0);
}

TEST_F(LockTest, EmptyAndReservedRangesAreInvalid) {
    EXPECT_EQ(LockRange(a_, 200, 0), -1);
    EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
    EXPECT_EQ(LockRange(b_, 5000, 1), 1);  // the empty request locked nothing up to the end

    EXPECT_EQ(LockRange(a_, kShareMarkerBase - 1, 2), -1);
    EXPECT_EQ(LockRange(a_, kShareMarkerBase + 4, 1), -1);
    EXPECT_EQ(LockRange(a_, uint64_t{1} << 63, 1), -1);
    EXPECT_EQ(LockRange(a_, kShareMarkerBase + kShareMarkerCount, 1), 1);
}

TEST_F(LockTest, ALockOfAnotherProcessConflictsAndDiesWithIt) {
    const std::string path = ToUtf8(path_);
    ProbeProcess child({"open", path, "0x42", "lock", "0", "4"});
    ASSERT_EQ(child.Answers(), (std::vector<std::string>{"open ok", "lock 1 0"}));
    EXPECT_EQ(LockRange(a_, 3, 1), 0);
    EXPECT_EQ(GetLastError(), kErrorLockViolation);
    EXPECT_EQ(LockRange(a_, 4, 1), 1);

    child.Kill();
    EXPECT_EQ(LockRange(a_, 0, 4), 1);

    ProbeProcess second({"open", path, "0x42", "lock", "0", "1", "lock", "4", "1"});
    EXPECT_EQ(second.Answers(), (std::vector<std::string>{"open ok", "lock 0 33", "lock 0 33"}));
}

// Whether a second open succeeds while a first handle is open, per the share-mode rules: the
// second is refused when the first denies its access or it denies the first's access.
TEST_F(FileTest, ShareModesExcludeConflictingOpeners) {
    struct Case {
        int32_t held;
        int32_t requested;
        bool opens;
    };
    const Case cases[] = {
        {0x12, 0x40, false},                      // rw exclusive vs. read deny none
        {0x12, 0x10, false},                      // rw exclusive vs. read exclusive
        {0x40, 0x10, false},                      // read deny none vs. read exclusive
        {0x20, 0x20, true},                       // read deny write twice
        {0x20, 0x40, true},                       // read deny write vs. read deny none
        {0x20, 0x42, false},                      // read deny write vs. rw deny none
        {0x20, 0x41, false},                      // read deny write vs. write-only deny none
        {0x42, 0x20, false},                      // rw deny none vs. read deny write
        {0x42, 0x42, true},  {0x30, 0x41, true},  // deny read lets a writer in
        {0x30, 0x40, false},                      // but no reader
        {0x02, 0x40, false},                      // the compatibility mode counts as exclusive
    };
    for (const auto& c : cases) {
        Handle held(OpenFile(path_, c.held));
        ASSERT_GE(held, 0) << c.held;
        Handle second(OpenFile(path_, c.requested));
        EXPECT_EQ(second >= 0, c.opens) << std::hex << c.held << " then " << c.requested;
        if (!c.opens) {
            EXPECT_EQ(GetLastError(), kErrorSharingViolation);
        }
    }
}

TEST_F(FileTest, ShareModesHoldBetweenProcesses) {
    const std::string path = ToUtf8(path_);
    {
        Handle first(OpenFile(path_, 0x42));
        Handle second(OpenFile(path_, 0x42));
        ProbeProcess exclusive({"open", path, "0x12"});
        EXPECT_EQ(exclusive.Answers(), std::vector<std::string>{"open error 32"});
        ProbeProcess shared({"open", path, "0x42"});
        EXPECT_EQ(shared.Answers(), std::vector<std::string>{"open ok"});
    }
    {
        Handle exclusive(OpenFile(path_, 0x12));
        ProbeProcess reader({"open", path, "0x40"});
        EXPECT_EQ(reader.Answers(), std::vector<std::string>{"open error 32"});
    }
    ProbeProcess holder({"open", path, "0x10"});
    ASSERT_EQ(holder.Answers(), std::vector<std::string>{"open ok"});
    EXPECT_EQ(OpenFile(path_, 0x40), -1);
    EXPECT_EQ(GetLastError(), kErrorSharingViolation);
    EXPECT_FALSE(DeleteFile(path_));
    holder.Kill();
    Handle after(OpenFile(path_, 0x40));
    EXPECT_GE(after, 0);
}

TEST_F(FileTest, FilesAreKnownByTheirIdWhateverTheirName) {
    FileId id, again, linked, other;
    ASSERT_TRUE(GetFileId(path_, id));
    std::filesystem::create_hard_link(dir_.Path() / "data.bin", dir_.Path() / "link.bin");
    ASSERT_TRUE(GetFileId(dir_.Name("link.bin"), linked));
    EXPECT_EQ(linked, id);
    WriteBytes(dir_.Path() / "DATA.BIN", "0123456789");
    ASSERT_TRUE(GetFileId(dir_.Name("DATA.BIN"), other));
    EXPECT_NE(other, id) << "names that differ in case are two files";
    Handle h(OpenFile(path_, kAccessRead | kShareDenyNone));
    ASSERT_TRUE(GetFileId(h, again));
    EXPECT_EQ(again, id);

    EXPECT_FALSE(GetFileId(dir_.Name("missing.bin"), other));
    EXPECT_EQ(GetLastError(), kErrorFileNotFound);
    EXPECT_FALSE(GetFileId(FileHandle{12345}, other));
    EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
}

TEST_F(FileTest, ACreatedFileIsSyncedAndSharedWithoutClosingIt) {
    Handle created(CreateFile(dir_.Name("new.bin")));
    ASSERT_GE(created, 0);
    ASSERT_EQ(WriteFile(created, 0, Bytes("abc")), 3);
    EXPECT_TRUE(SyncFile(created));
    EXPECT_TRUE(SyncParentDirectory(dir_.Name("new.bin")));
    EXPECT_EQ(OpenFile(dir_.Name("new.bin"), kAccessReadWrite | kShareDenyNone), -1);
    ASSERT_TRUE(LockRange(created, 0, 1));

    ASSERT_TRUE(RelaxShareMode(created, kAccessReadWrite | kShareDenyNone));
    Handle second(OpenFile(dir_.Name("new.bin"), kAccessReadWrite | kShareDenyNone));
    EXPECT_GE(second, 0);
    EXPECT_EQ(LockRange(second, 0, 1), 0) << "the first handle's lock outlived the change";
    EXPECT_EQ(ReadBytes(dir_.Path() / "new.bin"), "abc");
    EXPECT_FALSE(SyncFile(FileHandle{12345}));
    EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
}

}  // namespace
}  // namespace tdb::platform
