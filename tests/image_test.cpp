#include <gtest/gtest.h>

#include <cstdint>

#include "bitmap/bmp_image.h"
#include "tests/test_util.h"

TEST(RowBytes, PadsEveryRowToFourBytes) {
    EXPECT_EQ(RowBytes(5, 24), 16u);
    EXPECT_EQ(RowBytes(4, 24), 12u);
    EXPECT_EQ(RowBytes(3, 24), 12u);
    EXPECT_EQ(RowBytes(1, 24), 4u);
    EXPECT_EQ(RowBytes(3, 16), 8u);
    EXPECT_EQ(RowBytes(2, 16), 4u);
    EXPECT_EQ(RowBytes(1, 16), 4u);
    EXPECT_EQ(RowBytes(5, 8), 8u);
    EXPECT_EQ(RowBytes(4, 8), 4u);
    for (uint32_t w : {0u, 1u, 7u, 1000u}) EXPECT_EQ(RowBytes(w, 32), 4 * w);
    for (uint32_t bits : {8u, 16u, 24u, 32u}) EXPECT_EQ(RowBytes(0, bits), 0u);
}

TEST(ImageBytes, GivesRowAndTotal) {
    uint32_t row = 0, total = 0;
    ASSERT_TRUE(ImageBytes(5, 3, 24, row, total));
    EXPECT_EQ(row, 16u);
    EXPECT_EQ(total, 48u);
    ASSERT_TRUE(ImageBytes(0, 100000, 8, row, total));
    EXPECT_EQ(total, 0u);
}

TEST(ImageBytes, RefusesWhatDoesNotFitIn32Bits) {
    uint32_t row = 0, total = 0;
    EXPECT_FALSE(ImageBytes(-1, 1, 24, row, total));
    EXPECT_FALSE(ImageBytes(1, -1, 24, row, total));
    // width * bits: 2^27 * 24 fits, 2^27 * 32 is 2^32.
    EXPECT_TRUE(ImageBytes(1 << 27, 0, 24, row, total));
    EXPECT_FALSE(ImageBytes(1 << 27, 0, 32, row, total));
    // The padded row: 0xFFFFFFF8 bits make 0x1FFFFFFF bytes, padded to 0x20000000: fits.
    EXPECT_TRUE(ImageBytes(0x1FFFFFFF, 0, 8, row, total));
    EXPECT_EQ(row, 0x20000000u);
    // The total: one byte over 32 bits, and exactly at the limit.
    EXPECT_FALSE(ImageBytes(1024, 1 << 20, 32, row, total));
    EXPECT_TRUE(ImageBytes(4, 0x3FFFFFFF, 8, row, total));
    EXPECT_EQ(total, 0xFFFFFFFCu);
    EXPECT_FALSE(ImageBytes(INT32_MAX, INT32_MAX, 32, row, total));
}

TEST(ReleaseBMPImage, IsSafeOnAnEmptyRecordAndTwice) {
    testutil::ImagePtr image = testutil::LoadedImage(2, 2, 24, false, testutil::Bytes(16, 1));
    ReleaseBMPImage(*image);
    EXPECT_EQ(image->pixels, nullptr);
    EXPECT_EQ(image->rgb24, nullptr);
    ReleaseBMPImage(*image);
    testutil::ImagePtr empty = testutil::EmptyImage();
    ReleaseBMPImage(*empty);
    EXPECT_EQ(empty->pixels, nullptr);
}
