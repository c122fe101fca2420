// The memory stream and the whole-buffer transfers of the abstract stream.
#include "platform/stream.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>

namespace tdb {
namespace {

std::span<const std::byte> Bytes(const char* text, std::size_t n) {
    return {reinterpret_cast<const std::byte*>(text), n};
}

TEST(MemoryStreamTest, WritesReadsAndSeeks) {
    TdwMemoryStream stream;
    stream.WriteBuffer(Bytes("abcdef", 6));
    EXPECT_EQ(stream.Size(), 6);
    stream.SetPosition(2);
    stream.WriteBuffer(Bytes("XY", 2));
    EXPECT_EQ(stream.Position(), 4);

    stream.SetPosition(0);
    std::array<std::byte, 6> back{};
    stream.ReadBuffer(back);
    EXPECT_EQ(std::memcmp(back.data(), "abXYef", 6), 0);

    // A write past the end leaves zeros in the gap.
    stream.Seek(2, TdwSeekOrigin::End);
    stream.WriteBuffer(Bytes("z", 1));
    ASSERT_EQ(stream.Data().size(), 9u);
    EXPECT_EQ(stream.Data()[6], std::byte{0});
    EXPECT_EQ(stream.Data()[8], std::byte{'z'});
}

TEST(MemoryStreamTest, ShortReadAndBadPositionRaise) {
    TdwMemoryStream stream(std::vector<std::byte>(3));
    std::array<std::byte, 4> buffer{};
    EXPECT_EQ(stream.Read(buffer), 3);
    stream.SetPosition(0);
    EXPECT_THROW(stream.ReadBuffer(buffer), EdwStreamError);
    EXPECT_THROW(stream.Seek(-1, TdwSeekOrigin::Beginning), EdwStreamError);
}

}  // namespace
}  // namespace tdb
