// The three stages of a conversion. Each prints its own message on standard error when it fails.
#pragma once

#include "bitmap/bmp_image.h"

// Loads `path` into an empty image: header facts, palette, source rows,
// and a zero-filled working buffer. Returns 1, or 0 with both buffers released and the file
// closed.
int ReadBMP(BMPImage& image, const char* path);

// Decodes the source rows of a loaded image into its working rows, bottom row first.
void ConvertToRGB24(BMPImage& image);

// Writes the working rows as a `bits`-per-pixel file (16, 24 or 32), bottom row first, to
// `path`. Returns 1 once the complete file stands under `path`; on 0 an existing file there is
// intact, unless it had to be written in place (see OutputFile).
int SaveBMP(const BMPImage& image, const char* path, int bits);

// Widening of 5- and 6-bit colour fields to 8 bits: entry i = round(i * 255 / (2^n - 1)).
inline constexpr int32_t Expand5To8[32] = {
    0,   8,   16,  25,  33,  41,  49,  58,  66,  74,  82,  90,  99,  107, 115, 123,
    132, 140, 148, 156, 165, 173, 181, 189, 197, 206, 214, 222, 230, 239, 247, 255,
};

inline constexpr int32_t Expand6To8[64] = {
    0,   4,   8,   12,  16,  20,  24,  28,  32,  36,  40,  45,  49,  53,  57,  61,
    65,  69,  73,  77,  81,  85,  89,  93,  97,  101, 105, 109, 113, 117, 121, 125,
    130, 134, 138, 142, 146, 150, 154, 158, 162, 166, 170, 174, 178, 182, 186, 190,
    194, 198, 202, 206, 210, 215, 219, 223, 227, 231, 235, 239, 243, 247, 251, 255,
};
