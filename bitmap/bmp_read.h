// The reader on a stream already open, as the fuzzers feed it memory.
#pragma once

#include <cstdio>

#include "bitmap/bmp_image.h"

// ReadBMP from a stream opened to read: a file, a pipe, or memory (fmemopen), whose length is
// known only where it is a file on disk. The stream stays open.
int ReadBMPFrom(BMPImage& image, std::FILE* file);
