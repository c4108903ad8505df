// ImageMagick 6 coder module for CBMP images, on MagickCore's public interface.
//
// Reading: the coder reads the 60-byte header, applies the pixel limit, reads exactly the
// compressed stream the header announces, decompresses it with the core library into a BMP file
// in memory (the compressed bytes are released first) and hands that to ImageMagick's own BMP
// reader. So every layout the BMP reader knows opens from a CBMP file too, pixel for pixel.
// Peak memory: the compressed file, then the BMP file and the image's pixel cache.
// Pinging (identify) answers from the header and decodes nothing.
//
// Writing: ImageMagick's BMP writer makes the bitmap in memory, the core library compresses it,
// and the file is written beside its final name and renamed over it once complete.
//
// Pixel limit: an image is refused before anything is decoded when its width or height exceeds
// ImageMagick's width or height limit, or its pixel count exceeds the smaller of ImageMagick's
// area limit and the viewers' common limit, CBMP_VIEWER_MAX_PIXELS (89,478,485; see
// addons/common/cbmp_bounds.h for how the header is read and what else is bounded). ImageMagick's
// limits come from policy.xml, -limit and the MAGICK_*_LIMIT variables.
//
// The module has no blob support: ImageMagick gives it a file name ("-" for the standard input or
// output) or an open FILE, and stages data in memory through a temporary file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <magick/MagickCore.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "addons/common/cbmp_bounds.h"
#include "core/cbmpcore.h"

namespace {

constexpr char kMagick[] = "CBMP";

struct CoreFree {
    void operator()(std::uint8_t* bytes) const { cbmpcore_free(bytes); }
};
using CoreBuffer = std::unique_ptr<std::uint8_t, CoreFree>;

struct ImageInfoDestroy {
    void operator()(ImageInfo* info) const { DestroyImageInfo(info); }
};
struct ImageListDestroy {
    void operator()(Image* image) const { DestroyImageList(image); }
};
struct MagickFree {
    void operator()(void* memory) const { RelinquishMagickMemory(memory); }
};

struct FdCloser {
    int fd = -1;
    ~FdCloser() {
        if (fd > 2) {
            close(fd);
        }
    }
};

bool is_standard_stream(const char* filename) {
    return std::strcmp(filename, "-") == 0;
}

void throw_error(ExceptionInfo* exception, ExceptionType severity, const std::string& reason,
                 const char* filename) {
    ThrowMagickException(exception, GetMagickModule(), severity, reason.c_str(), "`%s'", filename);
}

// ImageMagick's width, height and area limits, the area never above the add-ons' own limit.
cbmp_addon::Limits limits() {
    cbmp_addon::Limits limits;
    limits.pixels = std::min<std::uint64_t>(GetMagickResourceLimit(AreaResource),
                                            std::uint64_t{CBMP_VIEWER_MAX_PIXELS});
    limits.width = GetMagickResourceLimit(WidthResource);
    limits.height = GetMagickResourceLimit(HeightResource);
    return limits;
}

Image* read_cbmp(const ImageInfo* image_info, ExceptionInfo* exception) {
    const char* filename = image_info->filename;
    FdCloser input;
    FILE* stream = image_info->file;
    if (stream == nullptr) {
        input.fd = is_standard_stream(filename) ? STDIN_FILENO
                                                : open(filename, O_RDONLY | O_CLOEXEC | O_NOCTTY);
        if (input.fd < 0) {
            ThrowMagickException(exception, GetMagickModule(), FileOpenError, "UnableToOpenFile",
                                 "`%s': %s", filename, std::strerror(errno));
            return nullptr;
        }
    }
    auto read = [&](std::uint8_t* into, std::size_t count) -> long {
        if (stream != nullptr) {
            std::size_t got = std::fread(into, 1, count, stream);
            return got == 0 && std::ferror(stream) ? -1 : static_cast<long>(got);
        }
        ssize_t got;
        do {
            got = ::read(input.fd, into, count);
        } while (got < 0 && errno == EINTR);
        return static_cast<long>(got);
    };
    auto file = cbmp_addon::read_bounded(read, limits(), image_info->ping != MagickFalse);
    using Status = cbmp_addon::BoundedRead::Status;
    switch (file.status) {
        case Status::kOk:
        case Status::kHeaderOnly:
            break;
        case Status::kNotCbmp:
            throw_error(exception, CorruptImageError, cbmpcore_result_text(file.core), filename);
            return nullptr;
        case Status::kRefused:
            throw_error(exception, ResourceLimitError,
                        std::string("CBMP image refused: ") + verdict_text(file.verdict), filename);
            return nullptr;
        case Status::kTruncated:
            throw_error(exception, CorruptImageError, "UnexpectedEndOfFile", filename);
            return nullptr;
        case Status::kReadError:
            throw_error(exception, CorruptImageError, "UnableToReadImageData", filename);
            return nullptr;
        case Status::kNoMemory:
            throw_error(exception, ResourceLimitError, "MemoryAllocationFailed", filename);
            return nullptr;
    }
    cbmp_addon::Dimensions size = cbmp_addon::dimensions(file.info);
    if (file.status == Status::kHeaderOnly) {
        // What the BMP reader would say from the same header, without its pixels.
        Image* image = AcquireImage(image_info);
        image->columns = static_cast<size_t>(size.width);
        image->rows = static_cast<size_t>(size.height);
        image->depth = 8;
        image->matte = file.info.bit_count == 32 ? MagickTrue : MagickFalse;
        if (file.info.bit_count <= 8) {
            image->storage_class = PseudoClass;
            image->colors = std::size_t{1} << file.info.bit_count;
        }
        (void)CopyMagickString(image->magick, kMagick, MaxTextExtent);
        return image;
    }

    std::uint8_t* bmp = nullptr;
    std::size_t bmp_size = 0;
    cbmpcore_result result =
        cbmpcore_decompress(file.file.data(), file.file.size(), &bmp, &bmp_size, nullptr);
    std::vector<std::uint8_t>().swap(file.file);  // the stream goes before the bitmap is read
    if (result != CBMPCORE_OK) {
        throw_error(exception,
                    result == CBMPCORE_ERROR_NO_MEMORY ? ResourceLimitError : CorruptImageError,
                    cbmpcore_result_text(result), filename);
        return nullptr;
    }
    CoreBuffer owned_bmp(bmp);

    std::unique_ptr<ImageInfo, ImageInfoDestroy> bmp_info(CloneImageInfo(image_info));
    bmp_info->file = nullptr;
    (void)CopyMagickString(bmp_info->magick, "BMP", MaxTextExtent);
    Image* images = BlobToImage(bmp_info.get(), owned_bmp.get(), bmp_size, exception);
    if (images == nullptr) {
        return nullptr;
    }
    for (Image* image = images; image != nullptr; image = GetNextImageInList(image)) {
        (void)CopyMagickString(image->magick, kMagick, MaxTextExtent);
        (void)CopyMagickString(image->filename, image_info->filename, MaxTextExtent);
        (void)CopyMagickString(image->magick_filename, image_info->filename, MaxTextExtent);
    }
    return images;
}

// The permissions a new file gets from open(2) with 0666: those the process's umask allows.
mode_t new_file_mode() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Umask:", 0) == 0) {
            return static_cast<mode_t>(0666 & ~std::stoul(line.substr(6), nullptr, 8));
        }
    }
    return 0644;
}

bool write_all(int fd, const std::uint8_t* bytes, std::size_t count) {
    while (count > 0) {
        ssize_t written = ::write(fd, bytes, count);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        bytes += written;
        count -= static_cast<std::size_t>(written);
    }
    return true;
}

// Writes `bytes` to `path`: a regular file (or a new one) is replaced whole by a rename, so that a
// failure leaves what was there, and the new file is private until it is complete; anything
// else (a terminal, a pipe, /dev/stdout) is written in place.
bool write_file(const char* path, const std::uint8_t* bytes, std::size_t count,
                std::string& error) {
    struct stat existing {};
    bool exists = stat(path, &existing) == 0;
    if (exists && !S_ISREG(existing.st_mode)) {
        FdCloser out{open(path, O_WRONLY | O_CLOEXEC | O_NOCTTY)};
        if (out.fd < 0 || !write_all(out.fd, bytes, count)) {
            error = std::strerror(errno);
            return false;
        }
        return true;
    }
    std::string temporary = std::string(path) + ".XXXXXX";
    FdCloser out{mkostemp(temporary.data(), O_CLOEXEC)};  // mode 0600
    if (out.fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    mode_t mode = exists ? (existing.st_mode & 07777) : new_file_mode();
    bool ok = write_all(out.fd, bytes, count) && fchmod(out.fd, mode) == 0;
    int saved = errno;
    int fd = out.fd;
    out.fd = -1;
    if (close(fd) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    if (ok && rename(temporary.c_str(), path) != 0) {
        ok = false;
        saved = errno;
    }
    if (!ok) {
        unlink(temporary.c_str());
        error = std::strerror(saved);
    }
    return ok;
}

MagickBooleanType write_cbmp(const ImageInfo* image_info, Image* image) {
    ExceptionInfo* exception = &image->exception;
    // The BMP writer works on a copy that shares the pixels, so the caller's image keeps its own
    // name and format.
    std::unique_ptr<Image, ImageListDestroy> copy(CloneImage(image, 0, 0, MagickTrue, exception));
    if (!copy) {
        return MagickFalse;
    }
    std::unique_ptr<ImageInfo, ImageInfoDestroy> bmp_info(CloneImageInfo(image_info));
    bmp_info->file = nullptr;
    bmp_info->adjoin = MagickFalse;
    (void)CopyMagickString(bmp_info->magick, "BMP", MaxTextExtent);
    (void)CopyMagickString(bmp_info->filename, "bmp:", MaxTextExtent);
    (void)CopyMagickString(copy->filename, "bmp:", MaxTextExtent);
    std::size_t bmp_size = 0;
    std::unique_ptr<void, MagickFree> bmp(
        ImageToBlob(bmp_info.get(), copy.get(), &bmp_size, exception));
    copy.reset();
    if (!bmp) {
        return MagickFalse;
    }
    std::uint8_t* cbmp = nullptr;
    std::size_t cbmp_size = 0;
    cbmpcore_result result = cbmpcore_compress(static_cast<const std::uint8_t*>(bmp.get()),
                                               bmp_size, &cbmp, &cbmp_size, nullptr);
    bmp.reset();
    if (result != CBMPCORE_OK) {
        throw_error(exception, CoderError, cbmpcore_result_text(result), image->filename);
        return MagickFalse;
    }
    CoreBuffer owned_cbmp(cbmp);

    if (image_info->file != nullptr) {
        if (std::fwrite(cbmp, 1, cbmp_size, image_info->file) != cbmp_size ||
            std::fflush(image_info->file) != 0) {
            throw_error(exception, FileOpenError, "UnableToWriteBlob", image->filename);
            return MagickFalse;
        }
        return MagickTrue;
    }
    if (is_standard_stream(image->filename)) {
        if (!write_all(STDOUT_FILENO, cbmp, cbmp_size)) {
            throw_error(exception, FileOpenError, "UnableToWriteBlob", "-");
            return MagickFalse;
        }
        return MagickTrue;
    }
    std::string error;
    if (!write_file(image->filename, cbmp, cbmp_size, error)) {
        ThrowMagickException(exception, GetMagickModule(), FileOpenError, "UnableToWriteBlob",
                             "`%s': %s", image->filename, error.c_str());
        return MagickFalse;
    }
    return MagickTrue;
}

}  // namespace

extern "C" {

ModuleExport size_t RegisterCBMPImage(void);
ModuleExport void UnregisterCBMPImage(void);

// ImageMagick calls the handlers through these types; C++ linkage must not leak into them.
static Image* ReadCBMPImage(const ImageInfo* image_info, ExceptionInfo* exception) {
    try {
        return read_cbmp(image_info, exception);
    } catch (...) {
        throw_error(exception, ResourceLimitError, "MemoryAllocationFailed", image_info->filename);
        return nullptr;
    }
}

static MagickBooleanType WriteCBMPImage(const ImageInfo* image_info, Image* image) {
    try {
        return write_cbmp(image_info, image);
    } catch (...) {
        throw_error(&image->exception, ResourceLimitError, "MemoryAllocationFailed",
                    image->filename);
        return MagickFalse;
    }
}

static MagickBooleanType IsCBMP(const unsigned char* magick, const size_t length) {
    return length >= 4 && std::memcmp(magick, kMagick, 4) == 0 ? MagickTrue : MagickFalse;
}

size_t RegisterCBMPImage(void) {
    MagickInfo* entry = SetMagickInfo(kMagick);
    entry->decoder = ReadCBMPImage;
    entry->encoder = WriteCBMPImage;
    entry->magick = IsCBMP;
    entry->adjoin = MagickFalse;
    entry->blob_support = MagickFalse;
    entry->seekable_stream = MagickFalse;
    entry->description = ConstantString("CBMP compressed bitmap");
    entry->mime_type = ConstantString("image/x-cbmp");
    entry->magick_module = ConstantString(kMagick);
    (void)RegisterMagickInfo(entry);
    return MagickImageCoderSignature;
}

void UnregisterCBMPImage(void) {
    (void)UnregisterMagickInfo(kMagick);
}

}  // extern "C"
