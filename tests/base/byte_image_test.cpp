// Little-endian image helpers: byte order and unaligned access.
#include "base/byte_image.h"

#include <gtest/gtest.h>

#include <array>

namespace tdb {
namespace {

TEST(ByteImageTest, StoresLittleEndianAtAnyOffset) {
    std::array<unsigned char, 16> image{};
    StoreLE<std::int32_t>(image.data() + 1, -2);
    EXPECT_EQ(image[1], 0xFE);
    EXPECT_EQ(image[4], 0xFF);
    EXPECT_EQ(LoadLE<std::int32_t>(image.data() + 1), -2);

    StoreLE<std::uint16_t>(image.data() + 7, 0x1234);
    EXPECT_EQ(image[7], 0x34);
    EXPECT_EQ(image[8], 0x12);

    StoreDoubleLE(image.data() + 3, 1.5);
    EXPECT_EQ(image[10], 0x3F);  // the sign and exponent byte comes last
    EXPECT_EQ(LoadDoubleLE(image.data() + 3), 1.5);
}

}  // namespace
}  // namespace tdb
