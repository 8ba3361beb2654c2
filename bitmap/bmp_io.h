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
