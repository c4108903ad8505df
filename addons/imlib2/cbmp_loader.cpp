// imlib2 loader for CBMP images (imlib2 1.10's loader interface), for feh, sxiv, nsxiv and every
// other program that loads images through imlib2.
//
// imlib2 maps the file and hands the loader its bytes. The loader checks the 60-byte header
// against the add-ons' bounds (addons/common/cbmp_bounds.h: the viewers' common pixel limit,
// CBMP_VIEWER_MAX_PIXELS, imlib2's own width and height limit, and a payload no larger than such
// an image needs) and answers a request for the
// size from the header alone. To load the pixels it gives the core library exactly the header and
// the compressed size of stream after it (nothing past that is touched), and hands the BMP file
// that comes out to imlib2's own BMP loader, so a .cbmp opens pixel for pixel as its .bmp does.
//
// Peak memory while loading: the pages of the mapped file that hold header and stream, the
// decoded BMP file, and the image's pixels that the BMP loader fills.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

extern "C" {
#include <Imlib2_Loader.h>
}

#include "addons/common/cbmp_bounds.h"
#include "core/cbmpcore.h"

namespace {

// imlib2 takes no image wider or taller than X_MAX_DIM.
constexpr cbmp_addon::Limits kLimits{CBMP_VIEWER_MAX_PIXELS, X_MAX_DIM, X_MAX_DIM};

struct CoreFree {
    void operator()(std::uint8_t* bytes) const { cbmpcore_free(bytes); }
};

std::uint32_t le32(const std::uint8_t* bytes) {
    return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16 |
           std::uint32_t{bytes[3]} << 24;
}

// Whether the BMP file has a bit-field mask that imlib2 1.10's BMP loader cannot take: one with
// both its lowest and its highest bit set makes it divide by zero and kill the program (as it does
// for such a .bmp). No bitmap needs one: a mask is a run of at most a few bits. The masks follow
// the 40-byte info header, or are its continuation in the longer headers: three of them, or four
// where the header has room for alpha (56 bytes or more) or the compression names it.
bool has_mask_bmp_loader_cannot_take(const std::uint8_t* bmp, std::size_t size) {
    constexpr std::size_t kMasks = 14 + 40;
    if (size < kMasks) {
        return false;
    }
    const std::uint32_t header_size = le32(bmp + 14);
    const std::uint32_t compression = le32(bmp + 30);
    if (compression != 3 && compression != 6) {  // BI_BITFIELDS, BI_ALPHABITFIELDS
        return false;
    }
    const std::size_t masks = header_size >= 56 || compression == 6 ? 4 : 3;
    for (std::size_t i = 0; i < masks && kMasks + 4 * i + 4 <= size; ++i) {
        const std::uint32_t mask = le32(bmp + kMasks + 4 * i);
        if ((mask & 0x80000001u) == 0x80000001u) {
            return true;
        }
    }
    return false;
}

int load_cbmp(ImlibImage* im, int load_data) {
    if (im == nullptr || im->fi == nullptr || im->fi->fdata == nullptr || im->fi->fsize < 0) {
        return LOAD_FAIL;
    }
    const auto* file = static_cast<const std::uint8_t*>(im->fi->fdata);
    const auto file_size = static_cast<std::uint64_t>(im->fi->fsize);
    if (file_size < 4 || std::memcmp(file, "CBMP", 4) != 0) {
        return LOAD_FAIL;  // not this loader's format: imlib2 asks the next one
    }
    cbmpcore_info info{};
    if (file_size < cbmp_addon::kHeaderSize ||
        cbmpcore_read_info(file, cbmp_addon::kHeaderSize, &info) != CBMPCORE_OK ||
        cbmp_addon::check_bounds(info, kLimits) != cbmp_addon::Verdict::kAccepted) {
        return LOAD_BADIMAGE;
    }
    const cbmp_addon::Dimensions size = cbmp_addon::dimensions(info);
    const std::uint64_t needed = cbmp_addon::kHeaderSize + std::uint64_t{info.compressed_size};
    if (file_size < needed) {
        return LOAD_BADIMAGE;
    }
    if (!load_data) {
        im->w = static_cast<int>(size.width);
        im->h = static_cast<int>(size.height);
        return LOAD_SUCCESS;
    }

    std::uint8_t* out = nullptr;
    std::size_t bmp_size = 0;
    cbmpcore_result result =
        cbmpcore_decompress(file, static_cast<std::size_t>(needed), &out, &bmp_size, nullptr);
    if (result == CBMPCORE_ERROR_NO_MEMORY) {
        return LOAD_OOM;
    }
    if (result != CBMPCORE_OK) {
        return LOAD_BADIMAGE;
    }
    std::unique_ptr<std::uint8_t, CoreFree> bmp(out);
    ImlibLoader* bmp_loader = __imlib_FindBestLoader(nullptr, "bmp", 0);
    if (bmp_loader == nullptr || bmp_size > UINT_MAX ||
        has_mask_bmp_loader_cannot_take(bmp.get(), bmp_size)) {
        return LOAD_BADIMAGE;
    }
    return __imlib_LoadEmbeddedMem(bmp_loader, im, load_data, bmp.get(),
                                   static_cast<unsigned int>(bmp_size));
}

const char* const kFormats[] = {"cbmp"};

}  // namespace

extern "C" {
IMLIB_LOADER(kFormats, load_cbmp, nullptr);
}
