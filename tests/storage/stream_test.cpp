// The file streams: exceptions of the seekable stream, and the record stream's error numbers,
// lazy reopening, encryption of outgoing copies and its counted file lock.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "platform/error.h"
#include "storage/file_errors.h"
#include "storage/file_system_stream.h"
#include "storage/os_file_system.h"
#include "storage/tdb_stream.h"
#include "test_support.h"

namespace tdb {
namespace {

using tdb::testing::Bytes;
using tdb::testing::ReadBytes;
using tdb::testing::TempDir;
using tdb::testing::WriteBytes;

std::string Text(std::span<const std::byte> bytes) {
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

class StreamTest : public ::testing::Test {
protected:
    TempDir dir_;
    TdwOSFileSystem fs_{dir_.Name()};
};

TEST_F(StreamTest, FileStreamRaisesTheRightExceptions) {
    WriteBytes(dir_.Path() / "exists.bin", "x");
    const std::u16string missing = dir_.Name("missing.bin");
    try {
        TdwFileSystemStream stream(u"missing.bin", 0x40, fs_);
        ADD_FAILURE() << "opened a missing file";
    } catch (const EdwFileNotFoundError& e) {
        EXPECT_EQ(e.Message(), u"Cannot open file \"" + missing + u"\". No such file or directory");
    }
    EXPECT_THROW(TdwFileSystemStream(u"nodir/x.bin", 0x40, fs_), EdwFileOpenError);
    EXPECT_THROW(TdwFileSystemStream(u"nodir/x.bin", kFileModeCreate, fs_), EdwFileCreateError);

    const int32_t held = fs_.OpenFile(u"exists.bin", 0x12);
    try {
        TdwFileSystemStream stream(u"exists.bin", 0x40, fs_);
        ADD_FAILURE() << "opened a file held exclusively";
    } catch (const EdwFileNotFoundError&) {
        ADD_FAILURE() << "a sharing violation is not a missing file";
    } catch (const EdwFileOpenError& e) {
        EXPECT_EQ(e.Message().rfind(u"Cannot open file \"" + dir_.Name("exists.bin") + u"\". ", 0),
                  0u);
    }
    fs_.CloseFile(held);

    // Every one of them is an engine exception.
    EXPECT_THROW(TdwFileSystemStream(u"missing.bin", 0, fs_), Exception);
}

TEST_F(StreamTest, FileStreamReadsWritesAndSeeks) {
    {
        TdwFileSystemStream stream(u"s.bin", kFileModeCreate, fs_);
        stream.WriteBuffer(Bytes("hello world"));
        EXPECT_EQ(stream.Position(), 11);
        EXPECT_EQ(stream.Seek(-5, TdwSeekOrigin::End), 6);
        std::array<std::byte, 5> word{};
        stream.ReadBuffer(word);
        EXPECT_EQ(Text(word), "world");
        EXPECT_EQ(stream.Read(word), 0);
        EXPECT_THROW(stream.ReadBuffer(word), EdwStreamError);
        EXPECT_EQ(stream.Seek(-11, TdwSeekOrigin::Current), 0);
        EXPECT_EQ(stream.Size(), 11);
        EXPECT_EQ(stream.Position(), 0);
    }
    const int32_t handle = fs_.OpenFile(u"s.bin", 0x40);
    TdwFileSystemStream wrapped(handle, fs_);
    std::array<std::byte, 5> word{};
    wrapped.ReadBuffer(word);
    EXPECT_EQ(Text(word), "hello");
    EXPECT_THROW(wrapped.WriteBuffer(Bytes("no")), EdwStreamError);  // opened for reading
    EXPECT_EQ(wrapped.Position(), 5);
}

TEST_F(StreamTest, FileStreamRangeLocks) {
    WriteBytes(dir_.Path() / "l.bin", "");
    TdwFileSystemStream a(u"l.bin", 0x42, fs_);
    TdwFileSystemStream b(u"l.bin", 0x42, fs_);
    EXPECT_TRUE(a.LockRange(10, 4, true));
    EXPECT_FALSE(b.LockRange(12, 1, true));
    EXPECT_TRUE(a.IsRangeLocked(10, 4));  // a probe through the holder must not release
    EXPECT_TRUE(b.IsRangeLocked(13, 1));
    EXPECT_FALSE(b.IsRangeLocked(14, 1));
    EXPECT_FALSE(b.LockRange(10, 4, true));
    a.UnlockRange(10, 4, true);
    EXPECT_TRUE(b.LockRange(10, 4, true));
    try {
        a.LockRange(20, 0, true);
        ADD_FAILURE() << "an empty range was locked";
    } catch (const EdwStreamError& e) {
        EXPECT_EQ(e.Message(),
                  u"Cannot lock storage \"" + dir_.Name("l.bin") + u"\"; error code = -1");
    }
}

// Adds one to every byte: enough to see what was encrypted and that it comes back.
class ShiftEncryption : public TTdbEncryption {
public:
    void EncryptBlock(std::span<std::byte> data) override {
        for (auto& b : data) {
            b = static_cast<std::byte>(static_cast<unsigned>(b) + 1);
        }
    }
    void DecryptBlock(std::span<std::byte> data) override {
        for (auto& b : data) {
            b = static_cast<std::byte>(static_cast<unsigned>(b) - 1);
        }
    }
};

TEST_F(StreamTest, RecordStreamEncryptsACopyAndDecryptsInPlace) {
    TdwFileSystemTdbStream stream(fs_);
    ASSERT_EQ(stream.Rewrite(u"t.bin", 0x42, 0), 0);
    ShiftEncryption encryption;
    stream.SetEncryption(&encryption);

    std::string record = "abc";
    const auto record_bytes = std::as_writable_bytes(std::span(record.data(), record.size()));
    EXPECT_EQ(stream.WriteNBytes(0, record_bytes, true), 0);
    EXPECT_EQ(record, "abc");  // the caller's data stays plain
    EXPECT_EQ(stream.WriteNBytes(3, Bytes("xyz"), false), 0);
    EXPECT_EQ(stream.TestNBytes(6, Bytes("!")), 0);
    EXPECT_EQ(ReadBytes(dir_.Path() / "t.bin"), "bcdxyz!");

    std::array<std::byte, 3> read{};
    EXPECT_EQ(stream.ReadNBytes(0, read, true), 0);
    EXPECT_EQ(Text(read), "abc");
    EXPECT_EQ(stream.ReadNBytes(0, read, false), 0);
    EXPECT_EQ(Text(read), "bcd");
    EXPECT_EQ(stream.Size(), 7);

    EXPECT_EQ(stream.Cut(2), 0);
    EXPECT_EQ(stream.Size(), 2);
    EXPECT_EQ(stream.Rewrite(u"t.bin", 0x42, 0), 0);
    EXPECT_EQ(stream.Size(), 0);
}

TEST_F(StreamTest, RecordStreamReopensLazilyAfterAFailedRead) {
    WriteBytes(dir_.Path() / "r.bin", "0123456789");
    TdwFileSystemTdbStream stream(fs_);
    ASSERT_EQ(stream.Reset(u"r.bin", 0x40), 0);

    std::array<std::byte, 4> buffer{};
    EXPECT_EQ(stream.ReadNBytes(8, buffer, false), -2);  // short: only two bytes left
    EXPECT_EQ(stream.Error(), 2);
    EXPECT_EQ(stream.Handle(), -1);

    EXPECT_EQ(stream.ReadNBytes(2, buffer, false), 0);  // the file opens again by itself
    EXPECT_EQ(stream.Error(), 0);
    EXPECT_EQ(Text(buffer), "2345");
    EXPECT_GE(stream.Handle(), 0);

    EXPECT_EQ(stream.WriteNBytes(0, Bytes("no"), false), -3);  // opened for reading only
    EXPECT_EQ(stream.Error(), 3);
    EXPECT_EQ(stream.Close(), 0);
    EXPECT_EQ(stream.Error(), 0);
}

TEST_F(StreamTest, RecordStreamErrorNumbers) {
    TdwFileSystemTdbStream stream(fs_);
    EXPECT_EQ(stream.Reset(u"missing.bin", 0x42), -1);
    EXPECT_EQ(stream.Error(), 1);
    std::array<std::byte, 1> buffer{};
    EXPECT_EQ(stream.ReadNBytes(0, buffer, false), -1);
    EXPECT_EQ(stream.Size(), -1);
    EXPECT_EQ(stream.Lock(), -1);
    EXPECT_EQ(stream.Rewrite(u"nodir/x.bin", 0x42, 0), -3);
    EXPECT_EQ(stream.Error(), 3);

    ASSERT_EQ(stream.Rewrite(u"e.bin", 0x42, 0), 0);
    EXPECT_EQ(stream.Erase(), -3);  // still open here, so it cannot go
    stream.Close();
    EXPECT_EQ(stream.Erase(), 0);
    EXPECT_FALSE(fs_.FileExists(u"e.bin"));
    EXPECT_EQ(stream.Erase(), -3);
}

class RecordLockTest : public StreamTest {
protected:
    void SetUp() override {
        WriteBytes(dir_.Path() / "lock.bin", "");
        ASSERT_EQ(a_.Reset(u"lock.bin", 0x42), 0);
        ASSERT_EQ(b_.Reset(u"lock.bin", 0x42), 0);
    }
    TdwFileSystemTdbStream a_{fs_};
    TdwFileSystemTdbStream b_{fs_};
};

TEST_F(RecordLockTest, NestedLocksKeepByteZeroUntilTheLastUnlock) {
    EXPECT_EQ(a_.Lock(), 0);
    EXPECT_EQ(a_.Lock(), 1);
    a_.Unlock();
    EXPECT_FALSE(b_.LockRange(0, 1, true));
    EXPECT_TRUE(b_.IsRangeLocked(0, 1));
    a_.Unlock();
    EXPECT_FALSE(b_.IsRangeLocked(0, 1));
    a_.Unlock();  // unmatched: nothing happens
    EXPECT_EQ(a_.LockCount(), 0);
    EXPECT_TRUE(b_.LockRange(0, 1, true));
}

TEST_F(RecordLockTest, LockGivesUpAfterItsRetries) {
    std::vector<uint32_t> sleeps;
    a_.SetLockRetry({3, [&](uint32_t ms) { sleeps.push_back(ms); }});
    ASSERT_TRUE(b_.LockRange(0, 1, true));

    EXPECT_EQ(a_.Lock(), -9);
    EXPECT_EQ(a_.Error(), 9);
    EXPECT_EQ(a_.LockCount(), 0);
    ASSERT_EQ(sleeps.size(), 3u);
    for (uint32_t ms : sleeps) {
        EXPECT_GE(ms, 100u);
        EXPECT_LE(ms, 199u);
    }

    // Freed during the wait, the lock is taken on the next try.
    sleeps.clear();
    a_.SetLockRetry({3, [&](uint32_t ms) {
                         sleeps.push_back(ms);
                         b_.UnlockRange(0, 1, true);
                     }});
    EXPECT_EQ(a_.Lock(), 0);
    EXPECT_EQ(sleeps.size(), 1u);
    EXPECT_EQ(a_.LockCount(), 1);
}

TEST_F(RecordLockTest, ClosingForgetsTheLockItDropped) {
    ASSERT_EQ(a_.Lock(), 0);
    a_.Close();
    EXPECT_TRUE(b_.LockRange(0, 1, true));
    b_.UnlockRange(0, 1, true);
    EXPECT_EQ(a_.Lock(), 0);  // really locks again instead of counting a lost lock
    EXPECT_FALSE(b_.LockRange(0, 1, true));
}

TEST_F(RecordLockTest, RangeProbesNeverReleaseARealLock) {
    ASSERT_TRUE(a_.LockRange(40, 2, true));
    EXPECT_FALSE(a_.LockRange(41, 1, true));
    EXPECT_TRUE(a_.IsRangeLocked(40, 2));
    EXPECT_TRUE(b_.IsRangeLocked(40, 1));
    EXPECT_FALSE(b_.LockRange(40, 2, true));
    a_.UnlockRange(40, 2, true);
    EXPECT_FALSE(b_.IsRangeLocked(40, 2));
    EXPECT_FALSE(a_.LockRange(50, 0, true));  // an empty range is never "locked"
}

}  // namespace
}  // namespace tdb
