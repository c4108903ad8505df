// The ImageMagick coder through MagickCore's public interface, as a program on MagickCore uses
// it, with the build tree's module (MAGICK_CODER_MODULE_PATH) and magic entry
// (MAGICK_CONFIGURE_PATH): CBMP files open exactly like their BMP files, written ones read back,
// broken and oversized ones give an exception, never a crash.
#include <gtest/gtest.h>
#include <magick/MagickCore.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "addons/tests/addon_test_files.h"
#include "core/cbmpcore.h"

namespace fs = std::filesystem;
using cbmp_addon_test::Bytes;
using cbmp_addon_test::core_call;
using cbmp_addon_test::read_file;
using cbmp_addon_test::write_file;

namespace {

const fs::path kImages = CBMP_TEST_IMAGES;

fs::path scratch() {
    fs::path dir =
        fs::path(CBMP_TEST_SCRATCH) / testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

struct ImageDestroy {
    void operator()(Image* image) const { DestroyImageList(image); }
};
using ImagePtr = std::unique_ptr<Image, ImageDestroy>;

// An image read (or pinged) through MagickCore, or the exception it raised.
struct Loaded {
    ImagePtr image;
    ExceptionType severity = UndefinedException;
    std::string reason;
};

Loaded load(const std::string& filename, bool ping = false) {
    Loaded result;
    ImageInfo* info = AcquireImageInfo();
    ExceptionInfo* exception = AcquireExceptionInfo();
    (void)CopyMagickString(info->filename, filename.c_str(), MaxTextExtent);
    result.image.reset(ping ? PingImage(info, exception) : ReadImage(info, exception));
    result.severity = exception->severity;
    if (exception->reason != nullptr) {
        result.reason = exception->reason;
    }
    DestroyExceptionInfo(exception);
    DestroyImageInfo(info);
    return result;
}

// The pixels as 16-bit RGB or RGBA, the same for every source format (alpha only when the image
// has it: otherwise ImageMagick leaves it unset).
std::vector<std::uint16_t> pixels(Image* image) {
    bool alpha = image->matte != MagickFalse;
    std::vector<std::uint16_t> values(image->columns * image->rows * (alpha ? 4 : 3));
    ExceptionInfo* exception = AcquireExceptionInfo();
    ExportImagePixels(image, 0, 0, image->columns, image->rows, alpha ? "RGBA" : "RGB", ShortPixel,
                      values.data(), exception);
    DestroyExceptionInfo(exception);
    return values;
}

// Empty when the two are the same picture, else what differs.
std::string compare(Image* expected, Image* actual) {
    if (expected->columns != actual->columns || expected->rows != actual->rows ||
        expected->matte != actual->matte) {
        return "dimensions differ";
    }
    auto a = pixels(expected);
    auto b = pixels(actual);
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i]) {
            return "pixels differ at value " + std::to_string(i) + ": " + std::to_string(a[i]) +
                   " != " + std::to_string(b[i]);
        }
    }
    return {};
}

bool write_image(Image* image, const std::string& filename, std::string& reason) {
    ImageInfo* info = AcquireImageInfo();
    (void)CopyMagickString(info->filename, filename.c_str(), MaxTextExtent);
    (void)CopyMagickString(image->filename, filename.c_str(), MaxTextExtent);
    MagickBooleanType written = WriteImage(info, image);
    if (!written && image->exception.reason != nullptr) {
        reason = image->exception.reason;
    }
    ClearMagickException(&image->exception);
    DestroyImageInfo(info);
    return written != MagickFalse;
}

// A CBMP header for `width` x `height` 24-bit pixels and the given sizes, with `stream` after it.
Bytes cbmp_file(std::int32_t width, std::int32_t height, std::uint32_t original_size,
                const Bytes& stream, std::uint32_t info_header_size = 40) {
    // Sized once: GCC 12 at -O3 warns falsely about inserting after a 60-byte vector.
    Bytes file(60 + stream.size(), 0);
    std::copy(stream.begin(), stream.end(), file.begin() + 60);
    auto put32 = [&file](std::size_t at, std::uint32_t value) {
        for (int i = 0; i < 4; ++i) {
            file[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
        }
    };
    std::memcpy(file.data(), "CBMP", 4);
    put32(4, 1);
    put32(8, info_header_size);
    put32(12, static_cast<std::uint32_t>(width));
    put32(16, static_cast<std::uint32_t>(height));
    put32(20, 1 | 24u << 16);
    put32(48, static_cast<std::uint32_t>(stream.size()));
    put32(52, original_size);
    return file;
}

class MagickCoder : public testing::Test {
  protected:
    // The build tree's module before ImageMagick's own coders, and its magic entry.
    static void SetUpTestSuite() {
        setenv("MAGICK_CODER_MODULE_PATH", CBMP_TEST_CODER_PATH, 1);
        setenv("MAGICK_CONFIGURE_PATH", CBMP_TEST_CONFIGURE_PATH, 1);
        MagickCoreGenesis("magick_coder_test", MagickFalse);
    }
    static void TearDownTestSuite() { MagickCoreTerminus(); }
};

TEST_F(MagickCoder, EveryBitDepthOpensLikeItsBmpFile) {
    fs::path dir = scratch();
    int count = 0;
    for (const auto& entry : fs::directory_iterator(kImages)) {
        SCOPED_TRACE(entry.path().filename().string());
        fs::path cbmp = dir / entry.path().stem().concat(".cbmp");
        write_file(cbmp, core_call(cbmpcore_compress, read_file(entry.path())));
        Loaded expected = load(entry.path().string());
        Loaded actual = load(cbmp.string());
        ASSERT_TRUE(expected.image) << expected.reason;
        ASSERT_TRUE(actual.image) << actual.reason;
        EXPECT_STREQ(actual.image->magick, "CBMP");
        EXPECT_EQ(actual.image->matte, expected.image->matte);
        EXPECT_EQ(compare(expected.image.get(), actual.image.get()), "");
        // Pinging gives the same size from the header alone.
        Loaded pinged = load(cbmp.string(), true);
        ASSERT_TRUE(pinged.image) << pinged.reason;
        EXPECT_EQ(pinged.image->columns, expected.image->columns);
        EXPECT_EQ(pinged.image->rows, expected.image->rows);
        ++count;
    }
    EXPECT_GE(count, 9) << "test images missing in " << kImages;
}

// The public BMP suite: whatever ImageMagick reads from a bitmap, it reads the same from its
// CBMP file; what it refuses, it refuses from the CBMP file too.
TEST_F(MagickCoder, BmpSuiteOpensLikeItsBmpFiles) {
    fs::path corpus = CBMP_TEST_CORPUS;
    if (!fs::is_directory(corpus)) {
        GTEST_SKIP() << "the BMP suite is not at " << corpus << " (set CBMP_CORPUS_DIR)";
    }
    fs::path dir = scratch();
    int compared = 0;
    for (const auto& entry : fs::recursive_directory_iterator(corpus)) {
        if (entry.path().extension() != ".bmp") {
            continue;
        }
        Bytes cbmp = core_call(cbmpcore_compress, read_file(entry.path()));
        if (cbmp.empty()) {
            continue;  // not a bitmap the core library takes
        }
        SCOPED_TRACE(entry.path().string());
        fs::path cbmp_path = dir / "image.cbmp";
        write_file(cbmp_path, cbmp);
        Loaded expected = load(entry.path().string());
        Loaded actual = load(cbmp_path.string());
        if (!expected.image) {
            EXPECT_FALSE(actual.image);
            continue;
        }
        // Decompression rebuilds the file header, so a bitmap whose own header was odd may come
        // back as a different file, which may give an error; one that comes back byte for byte
        // must open.
        if (!actual.image) {
            EXPECT_NE(core_call(cbmpcore_decompress, cbmp), read_file(entry.path()))
                << actual.reason;
            continue;
        }
        EXPECT_EQ(compare(expected.image.get(), actual.image.get()), "");
        ++compared;
    }
    EXPECT_GT(compared, 20);
}

TEST_F(MagickCoder, MagicNumberFindsTheFormatWithoutAnExtension) {
    fs::path dir = scratch();
    Bytes bmp = read_file(kImages / "pal8.bmp");
    write_file(dir / "picture", core_call(cbmpcore_compress, bmp));
    Loaded actual = load((dir / "picture").string());
    ASSERT_TRUE(actual.image) << actual.reason;
    EXPECT_STREQ(actual.image->magick, "CBMP");
    Loaded expected = load((kImages / "pal8.bmp").string());
    EXPECT_EQ(compare(expected.image.get(), actual.image.get()), "");
}

// Writing: the file is a CBMP file that the core library decompresses, and it reads back as the
// same picture; an existing file keeps its permissions; a failed write leaves nothing behind.
TEST_F(MagickCoder, WrittenFilesReadBackAsTheSamePicture) {
    fs::path dir = scratch();
    for (const char* name : {"pal8.bmp", "rgb24.bmp", "v5-alpha.bmp", "rgb24-large.bmp"}) {
        SCOPED_TRACE(name);
        Loaded source = load((kImages / name).string());
        ASSERT_TRUE(source.image);
        fs::path out = dir / (std::string(name) + ".cbmp");
        std::string reason;
        ASSERT_TRUE(write_image(source.image.get(), out.string(), reason)) << reason;
        Bytes written = read_file(out);
        ASSERT_GE(written.size(), 4u);
        EXPECT_EQ(std::memcmp(written.data(), "CBMP", 4), 0);
        EXPECT_FALSE(core_call(cbmpcore_decompress, written).empty());
        Loaded back = load(out.string());
        ASSERT_TRUE(back.image) << back.reason;
        EXPECT_EQ(compare(source.image.get(), back.image.get()), "");
    }

    Loaded source = load((kImages / "rgb24.bmp").string());
    fs::path existing = dir / "existing.cbmp";
    write_file(existing, {1, 2, 3});
    fs::permissions(existing,
                    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    std::string reason;
    ASSERT_TRUE(write_image(source.image.get(), existing.string(), reason)) << reason;
    EXPECT_EQ(fs::status(existing).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_GT(fs::file_size(existing), 3u);

    EXPECT_FALSE(write_image(source.image.get(), (dir / "missing" / "x.cbmp").string(), reason));
    std::size_t files = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir)) {
        ++files;
    }
    EXPECT_EQ(files, 5u) << "a temporary file was left behind";
}

// Bounds, from the header before anything is decoded.
TEST_F(MagickCoder, OversizedImagesAreRefusedBeforeDecoding) {
    fs::path dir = scratch();
    // 18,918 x 18,918 pixels: beyond the pixel limit. The stream is garbage, so only a refusal
    // from the header gives a resource-limit error (decoding would report corruption).
    Bytes garbage(64, 0xFF);
    write_file(dir / "wide.cbmp", cbmp_file(18918, 18918, 56756u * 18918u, garbage));
    Loaded wide = load((dir / "wide.cbmp").string());
    EXPECT_FALSE(wide.image);
    EXPECT_EQ(wide.severity, ResourceLimitError) << wide.reason;
    Loaded wide_ping = load((dir / "wide.cbmp").string(), true);
    EXPECT_FALSE(wide_ping.image);
    EXPECT_EQ(wide_ping.severity, ResourceLimitError);
    // A top-down height counts by its size.
    write_file(dir / "tall.cbmp", cbmp_file(16, -(1 << 30), 64u << 20, garbage));
    EXPECT_EQ(load((dir / "tall.cbmp").string()).severity, ResourceLimitError);
    // A 12-byte OS/2 header: 40,000 x 40,000 in its two 16-bit fields (biWidth of a 40-byte
    // header would read 40000 + 40000 * 65536, biHeight the bit count).
    write_file(dir / "os2.cbmp", cbmp_file(static_cast<std::int32_t>(40000u | 40000u << 16),
                                           1 | 24 << 16, 64u << 20, garbage, 12));
    EXPECT_EQ(load((dir / "os2.cbmp").string()).severity, ResourceLimitError);
    // A 1 x 1 image whose payload would decode to 1 GiB.
    write_file(dir / "payload.cbmp", cbmp_file(1, 1, 1u << 30, garbage));
    EXPECT_EQ(load((dir / "payload.cbmp").string()).severity, ResourceLimitError);
    // ImageMagick's own area limit, lowered by the application, applies too.
    Bytes rgb24 = core_call(cbmpcore_compress, read_file(kImages / "rgb24-large.bmp"));
    write_file(dir / "large.cbmp", rgb24);
    MagickSizeType area = GetMagickResourceLimit(AreaResource);
    ASSERT_TRUE(SetMagickResourceLimit(AreaResource, 1000));
    Loaded limited = load((dir / "large.cbmp").string());
    ASSERT_TRUE(SetMagickResourceLimit(AreaResource, area));
    EXPECT_FALSE(limited.image);
    EXPECT_EQ(limited.severity, ResourceLimitError);
    MagickSizeType width = GetMagickResourceLimit(WidthResource);
    ASSERT_TRUE(SetMagickResourceLimit(WidthResource, 300));  // the image is 301 wide
    Loaded narrow = load((dir / "large.cbmp").string(), true);
    ASSERT_TRUE(SetMagickResourceLimit(WidthResource, width));
    EXPECT_FALSE(narrow.image);
    EXPECT_EQ(narrow.severity, ResourceLimitError);
    EXPECT_TRUE(load((dir / "large.cbmp").string()).image);
}

// A bitmap with a 12-byte OS/2 header: its size is in two 16-bit fields, which the limit reads as
// the BMP reader does (read as a 40-byte header's fields they would make billions of pixels).
TEST_F(MagickCoder, Os2BitmapsOpenWithinTheLimit) {
    fs::path dir = scratch();
    // The pixels start at 54, where a CBMP file's bitmap has them; 28 unused bytes before.
    Bytes bmp = {'B', 'M', 86, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0,  // file header
                 12,  0,   0,  0, 5, 0, 2, 0, 1, 0, 24, 0};       // 5 x 2, 24 bits
    bmp.resize(54);
    for (int i = 0; i < 32; ++i) {
        bmp.push_back(static_cast<std::uint8_t>(i * 37));
    }
    write_file(dir / "os2.bmp", bmp);
    write_file(dir / "os2.cbmp", core_call(cbmpcore_compress, bmp));
    Loaded expected = load((dir / "os2.bmp").string());
    Loaded actual = load((dir / "os2.cbmp").string());
    ASSERT_TRUE(expected.image) << expected.reason;
    ASSERT_TRUE(actual.image) << actual.reason;
    EXPECT_EQ(compare(expected.image.get(), actual.image.get()), "");
    Loaded pinged = load((dir / "os2.cbmp").string(), true);
    ASSERT_TRUE(pinged.image) << pinged.reason;
    EXPECT_EQ(pinged.image->columns, 5u);
    EXPECT_EQ(pinged.image->rows, 2u);
}

// Pinging answers from the header: a file whose stream is damaged pings fine, and only reading
// finds the damage.
TEST_F(MagickCoder, PingDecodesNothing) {
    fs::path dir = scratch();
    Bytes cbmp = core_call(cbmpcore_compress, read_file(kImages / "rgb24-large.bmp"));
    for (std::size_t i = 64; i < cbmp.size(); ++i) {
        cbmp[i] = 0xFF;  // matches reaching before the start of the output
    }
    write_file(dir / "damaged.cbmp", cbmp);
    Loaded pinged = load((dir / "damaged.cbmp").string(), true);
    ASSERT_TRUE(pinged.image) << pinged.reason;
    EXPECT_EQ(pinged.image->columns, 301u);
    EXPECT_EQ(pinged.image->rows, 219u);
    Loaded read = load((dir / "damaged.cbmp").string());
    EXPECT_FALSE(read.image);
    EXPECT_EQ(read.severity, CorruptImageError) << read.reason;
}

// Every truncation and many byte flips of real files: a picture or an exception, never a crash
// (the sanitizer builds run this too).
TEST_F(MagickCoder, DamagedFilesGiveAnExceptionNeverACrash) {
    fs::path dir = scratch();
    std::mt19937 random(17);
    int refused = 0;
    for (const char* name : {"pal4.bmp", "rle8.bmp", "v5-alpha.bmp", "rgb16.bmp"}) {
        SCOPED_TRACE(name);
        Bytes cbmp = core_call(cbmpcore_compress, read_file(kImages / name));
        ASSERT_FALSE(cbmp.empty());
        fs::path path = dir / "damaged.cbmp";
        write_file(path, cbmp);
        ASSERT_TRUE(load(path.string()).image) << "the intact file does not open";
        for (std::size_t length = 0; length < cbmp.size(); ++length) {
            write_file(path, Bytes(cbmp.begin(), cbmp.begin() + static_cast<long>(length)));
            Loaded loaded = load(path.string());
            EXPECT_FALSE(loaded.image) << "truncated to " << length << " bytes";
            refused += loaded.image ? 0 : 1;
        }
        for (int round = 0; round < 300; ++round) {
            Bytes damaged = cbmp;
            for (int flips = 1 + round % 4; flips > 0; --flips) {
                damaged[random() % damaged.size()] ^= static_cast<std::uint8_t>(1 + random() % 255);
            }
            write_file(path, damaged);
            Loaded loaded = load(path.string());
            if (!loaded.image) {
                EXPECT_NE(loaded.reason, "");
            }
        }
    }
    EXPECT_GT(refused, 0);
}

}  // namespace
