// Every text the program prints on standard error: the bitmap stages' and the command line's.
#pragma once

inline constexpr char kMsgNoSuchFile[] = "No such file or directory.\n";
inline constexpr char kMsgReadError[] = "Read error.\n";
inline constexpr char kMsgAllocRead[] = "Cannot alloc read memory..\n";
inline constexpr char kMsgAllocWrite[] = "Cannot alloc write memory..\n";
inline constexpr char kMsgReadBitsUnsupported[] = "ReadBMP: %d bit is not supported.\n";
inline constexpr char kMsgReadBadSize[] = "ReadBMP: bad image size.\n";
inline constexpr char kMsgReadBadPalette[] = "ReadBMP: bad palette size.\n";
inline constexpr char kMsgReadBadMasks[] = "ReadBMP: bad colour masks.\n";
inline constexpr char kMsgReadBadRLE[] = "ReadBMP: bad RLE data.\n";
inline constexpr char kMsgReadCompressionUnsupported[] =
    "ReadBMP: compression %u is not supported.\n";

inline constexpr char kMsgSaveBitsUnsupported[] = "SaveBMP: %d bit is not supported.\n";
inline constexpr char kMsgSaveTooLarge[] = "SaveBMP: image is too large for a %d bit file.\n";
inline constexpr char kMsgCannotWrite[] = "%s: cannot write bmp file\n";
inline constexpr char kMsgFileHeaderPosition[] = "BITMAPFILEHEADER write error : %d/%d\n";
inline constexpr char kMsgInfoHeaderPosition[] = "BITMAPINFOHEADER write error : %d/%d\n";

inline constexpr char kMsgReadFailed[] = "bmp read error.\n";  // after the reader's own reason
inline constexpr char kMsgUsageFirstLine[] = "usage: %s in_file [option]\n";
inline constexpr char kMsgUsageOptions[] =
    "[option]:\n"
    "            -r: reverse image\n"
    "            -g: gamma revision\n"
    "   -o filename: set output bitmap filename\n"
    " -b output bit: set output bit\n";
