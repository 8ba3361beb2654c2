// bmpdepth: converts a BMP file to a 16-, 24- or 32-bit BMP file.
#include <cstdio>

#include "bitmap/bmp_image.h"
#include "bitmap/bmp_io.h"
#include "bitmap/messages.h"
#include "cli/options.h"

namespace {

int Convert(BMPImage& image, const Options& options) {
    if (!ReadBMP(image, options.input)) {
        std::fputs(kMsgReadFailed, stderr);
        return kExitFailure;
    }
    ConvertToRGB24(image);
    if (options.output && !SaveBMP(image, options.output, options.bits)) return kExitFailure;
    return kExitSuccess;
}

}  // namespace

int main(int argc, char* argv[]) {
    static BMPImage image;  // too large for the stack: the palette alone is 256 KiB
    Options options;
    if (!ParseArguments(argc, argv, options)) {
        PrintUsage(argc > 0 && argv[0] ? argv[0] : "bmpdepth");
        return kExitUsage;
    }
    const int status = Convert(image, options);
    ReleaseBMPImage(image);
    return status;
}
