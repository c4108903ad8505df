#include "image/info_header.h"

#include "image/le_fields.h"

namespace cbmp {

void EncodeInfoHeader(const InfoHeader& info, std::uint8_t* bytes) {
    WriteU32LE(bytes, info.biSize);
    WriteI32LE(bytes + 4, info.biWidth);
    WriteI32LE(bytes + 8, info.biHeight);
    WriteU16LE(bytes + 12, info.biPlanes);
    WriteU16LE(bytes + 14, info.biBitCount);
    WriteU32LE(bytes + 16, info.biCompression);
    WriteU32LE(bytes + 20, info.biSizeImage);
    WriteI32LE(bytes + 24, info.biXPelsPerMeter);
    WriteI32LE(bytes + 28, info.biYPelsPerMeter);
    WriteU32LE(bytes + 32, info.biClrUsed);
    WriteU32LE(bytes + 36, info.biClrImportant);
}

InfoHeader DecodeInfoHeader(const std::uint8_t* bytes) {
    InfoHeader info;
    info.biSize = ReadU32LE(bytes);
    info.biWidth = ReadI32LE(bytes + 4);
    info.biHeight = ReadI32LE(bytes + 8);
    info.biPlanes = ReadU16LE(bytes + 12);
    info.biBitCount = ReadU16LE(bytes + 14);
    info.biCompression = ReadU32LE(bytes + 16);
    info.biSizeImage = ReadU32LE(bytes + 20);
    info.biXPelsPerMeter = ReadI32LE(bytes + 24);
    info.biYPelsPerMeter = ReadI32LE(bytes + 28);
    info.biClrUsed = ReadU32LE(bytes + 32);
    info.biClrImportant = ReadU32LE(bytes + 36);
    return info;
}

}  // namespace cbmp
