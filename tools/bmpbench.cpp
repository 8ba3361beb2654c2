// bmpbench LOOPS IN BITS OUT: one conversion, as bmpdepth makes it, with the named set of pixel
// loops (portable, avx2, ...) put in use first. bmpbench sets: the names of the sets this
// processor runs. For the benchmark, which compares the sets; bmpdepth itself always uses the
// widest set the processor runs.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bitmap/bmp_image.h"
#include "bitmap/bmp_io.h"
#include "bitmap/pixel_rows.h"

int main(int argc, char* argv[]) {
    if (argc == 2 && std::strcmp(argv[1], "sets") == 0) {
        for (const PixelRowLoops* set : AvailableRowLoops()) std::puts(set->name);
        return 0;
    }
    if (argc != 5) {
        std::fputs("usage: bmpbench LOOPS IN BITS OUT | bmpbench sets\n", stderr);
        return 2;
    }
    if (!UseRowLoops(argv[1])) {
        std::fprintf(stderr, "bmpbench: no loops named %s here\n", argv[1]);
        return 2;
    }
    static BMPImage image;
    int status = ReadBMP(image, argv[2]) ? 0 : 1;
    if (status == 0) {
        ConvertToRGB24(image);
        status = SaveBMP(image, argv[4], int(std::strtol(argv[3], nullptr, 10))) ? 0 : 1;
    }
    ReleaseBMPImage(image);
    return status;
}
