// The three stages of a conversion. Each prints its own message on standard error when it fails.
#pragma once

#include <cstdint>
#include <cstdio>

#include "bitmap/bmp_image.h"

// Loads `path` into an empty image: header facts, palette, source rows,
// and a zero-filled working buffer. Returns 1, or 0 with both buffers released and the file
// closed.
int ReadBMP(BMPImage& image, const char* path);

// The same from a stream opened to read: a file, a pipe, or memory (fmemopen), whose length is
// known only where it is a file on disk. The stream stays open.
int ReadBMPFrom(BMPImage& image, std::FILE* file);

// Decodes the source rows of a loaded image into its working rows, bottom row first.
void ConvertToRGB24(BMPImage& image);

// Writes the working rows as a `bits`-per-pixel file (16, 24 or 32), bottom row first, to
// `path`. Returns 1 once the complete file stands under `path`; on 0 an existing file there is
// intact, unless it had to be written in place (see OutputFile).
int SaveBMP(const BMPImage& image, const char* path, int bits);

// The file SaveBMP writes at `bits`: only a 16-bit one has colour masks (BI_BITFIELDS, the 5-6-5
// masks after a 40-byte information header, counted as a 52-byte one), and its headers take
// SavedHeaderBytes bytes before the pixels.
bool SavesMasks(int bits);
uint32_t SavedHeaderBytes(int bits);
