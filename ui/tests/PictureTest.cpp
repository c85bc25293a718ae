// The PNG writer of the screen pictures.
#include <gtest/gtest.h>

#include <cstring>

#include "Picture.h"

namespace blackbox {
namespace {

std::uint32_t BigEndianAt(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
    return (std::uint32_t{bytes[offset]} << 24) | (std::uint32_t{bytes[offset + 1]} << 16) |
           (std::uint32_t{bytes[offset + 2]} << 8) | bytes[offset + 3];
}

TEST(Png, ChecksumsMatchKnownValues) {
    const std::uint8_t iend[] = {'I', 'E', 'N', 'D'};
    EXPECT_EQ(Crc32(iend, 4), 0xAE426082u);
    const char* word = "Wikipedia";
    EXPECT_EQ(Adler32(reinterpret_cast<const std::uint8_t*>(word), std::strlen(word)), 0x11E60398u);
    // Continuing a checksum over a second piece gives the checksum of the whole.
    const std::uint8_t whole[] = {'I', 'H', 'D', 'R', 1, 2, 3};
    EXPECT_EQ(Crc32(whole + 4, 3, Crc32(whole, 4)), Crc32(whole, 7));
}

TEST(Png, OnePixelFileHasHeaderStoredBlockAndTrailer) {
    const auto png = EncodePng(1, 1, {0xFF, 0x20, 0x01});
    ASSERT_GT(png.size(), 33u);
    const std::uint8_t signature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    EXPECT_EQ(std::memcmp(png.data(), signature, 8), 0);
    EXPECT_EQ(BigEndianAt(png, 8), 13u);
    EXPECT_EQ(std::memcmp(png.data() + 12, "IHDR", 4), 0);
    EXPECT_EQ(BigEndianAt(png, 16), 1u);  // width
    EXPECT_EQ(BigEndianAt(png, 20), 1u);  // height
    EXPECT_EQ(png[24], 8);                // bits per sample
    EXPECT_EQ(png[25], 2);                // RGB
    EXPECT_EQ(BigEndianAt(png, 29), Crc32(png.data() + 12, 17));

    // IDAT: zlib header, one final stored block of 4 bytes (filter byte and one pixel).
    EXPECT_EQ(std::memcmp(png.data() + 37, "IDAT", 4), 0);
    const std::vector<std::uint8_t> idat(png.begin() + 41, png.begin() + 41 + BigEndianAt(png, 33));
    const std::vector<std::uint8_t> expected = {0x78, 0x01, 0x01, 0x04, 0x00, 0xFB,
                                                0xFF, 0x00, 0xFF, 0x20, 0x01};
    ASSERT_EQ(idat.size(), expected.size() + 4);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), idat.begin()));
    const std::uint8_t raw[] = {0x00, 0xFF, 0x20, 0x01};
    EXPECT_EQ(BigEndianAt(idat, expected.size()), Adler32(raw, 4));
    EXPECT_EQ(std::memcmp(png.data() + png.size() - 8, "IEND", 4), 0);
}

TEST(Png, LargePictureSplitsIntoStoredBlocksOfAtMost65535Bytes) {
    // 200 rows of 1 + 3 * 200 bytes: 120200 bytes, two blocks.
    const auto png = EncodePng(200, 200, std::vector<std::uint8_t>(200 * 200 * 3, 7));
    const std::size_t idat = 33 + 8;
    EXPECT_EQ(png[idat + 2], 0);  // first block, not final
    EXPECT_EQ(png[idat + 3] | (png[idat + 4] << 8), 65535);
    const std::size_t second = idat + 2 + 5 + 65535;
    EXPECT_EQ(png[second], 1);  // final block
    EXPECT_EQ(png[second + 1] | (png[second + 2] << 8), 120200 - 65535);
    EXPECT_EQ((png[second + 3] | (png[second + 4] << 8)) ^ 0xFFFF, 120200 - 65535);
}

}  // namespace
}  // namespace blackbox
