// The imlib2 loader, through imlib2's public API as feh and sxiv use it, with imlib2's loader path
// set to the build tree (the loader and imlib2's own BMP loader): CBMP files open exactly like
// their BMP files, broken ones fail, hostile ones are refused before they cost memory.
// GoogleTest comes first: Imlib2.h brings in X11's macros (None among them).
#include <gtest/gtest.h>

#include <Imlib2.h>

#include <malloc.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "addons/tests/addon_test_files.h"
#include "addons/tests/cbmp_bombs.h"
#include "core/cbmpcore.h"
#include "tests/support/child_process.h"

namespace fs = std::filesystem;
using namespace cbmp_addon_test;

namespace {

const fs::path kImages = CBMP_TEST_IMAGES;

fs::path scratch() {
    fs::path dir =
        fs::path(CBMP_TEST_SCRATCH) / testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::create_directories(dir);
    return dir;
}

// An image as imlib2 gives it to a viewer: its size, whether it has alpha, its ARGB pixels.
struct Picture {
    bool loaded = false;  // the header was taken
    bool pixels_loaded = false;
    int width = 0;
    int height = 0;
    bool has_alpha = false;
    std::vector<std::uint32_t> pixels;
};

// Takes the image imlib2 returned (null: nothing), its pixels too unless `header_only`, and frees
// it without leaving it in imlib2's cache.
Picture take(Imlib_Image image, bool header_only) {
    Picture picture;
    if (image == nullptr) {
        return picture;
    }
    imlib_context_set_image(image);
    picture.loaded = true;
    picture.width = imlib_image_get_width();
    picture.height = imlib_image_get_height();
    if (!header_only) {
        const std::uint32_t* data = imlib_image_get_data_for_reading_only();
        if (data != nullptr) {
            picture.pixels_loaded = true;
            picture.has_alpha = imlib_image_has_alpha() != 0;
            picture.pixels.assign(data, data + static_cast<std::size_t>(picture.width) *
                                                   static_cast<std::size_t>(picture.height));
        }
    }
    imlib_free_image_and_decache();
    return picture;
}

// `bytes` loaded under the name `name`: imlib2 picks the loader by the name's extension first and
// tries the others by content.
Picture load(const Bytes& bytes, const std::string& name = "image.cbmp") {
    return take(imlib_load_image_mem(name.c_str(), bytes.data(), bytes.size()), false);
}

Picture load_file(const fs::path& path, bool header_only = false) {
    return take(imlib_load_image(path.c_str()), header_only);
}

// Empty when the two are the same picture, else what differs.
std::string compare(const Picture& expected, const Picture& actual) {
    if (!expected.pixels_loaded || !actual.pixels_loaded) {
        return "no pixels";
    }
    if (expected.width != actual.width || expected.height != actual.height) {
        return "different sizes";
    }
    if (expected.has_alpha != actual.has_alpha) {
        return "different alpha";
    }
    auto diff =
        std::mismatch(expected.pixels.begin(), expected.pixels.end(), actual.pixels.begin());
    if (diff.first != expected.pixels.end()) {
        return "pixels differ at " + std::to_string(diff.first - expected.pixels.begin());
    }
    return {};
}

TEST(Imlib2Loader, EveryBitDepthOpensLikeItsBmpFile) {
    auto images = test_images(kImages);
    ASSERT_GE(images.size(), 9u) << "test images missing in " << kImages;
    for (const auto& image : images) {
        SCOPED_TRACE(image.name);
        Picture expected = load(image.bmp, "image.bmp");
        ASSERT_TRUE(expected.pixels_loaded) << "imlib2's BMP loader is not on the loader path";
        EXPECT_EQ(compare(expected, load(image.cbmp)), "");
        // Without the extension imlib2 finds the loader by the file's first bytes.
        EXPECT_EQ(compare(expected, load(image.cbmp, "image")), "");
        fs::path path = scratch() / (image.name + ".cbmp");
        write_file(path, image.cbmp);
        EXPECT_EQ(compare(expected, load_file(path)), "");
    }
}

// imlib2 asks for the header first (a viewer's list, a thumbnail's size) and for the pixels later:
// the size comes from the header, so a file whose stream is damaged still tells it and fails only
// when its pixels are asked for.
TEST(Imlib2Loader, SizeComesFromTheHeaderAlone) {
    Bytes cbmp = compress(read_file(kImages / "rgb24-large.bmp"));
    ASSERT_GT(cbmp.size(), 200u);
    std::fill(cbmp.begin() + 60, cbmp.end(),
              std::uint8_t{0xFF});  // matches reaching before the start
    fs::path path = scratch() / "damaged.cbmp";
    write_file(path, cbmp);
    Picture header = load_file(path, true);
    EXPECT_TRUE(header.loaded);
    EXPECT_EQ(header.width * 1000 + header.height, 301 * 1000 + 219);
    Picture whole = load_file(path);
    EXPECT_FALSE(whole.pixels_loaded);
}

// Cut short or with a byte changed: the picture of the bitmap inside or a failure, never a crash
// (the sanitizer build runs this too), and a cut or a broken header is always a failure. imlib2
// maps the whole file, so there are no pieces to feed.
TEST(Imlib2Loader, TruncatedAndCorruptFilesFail) {
    for (const auto& image : test_images(kImages)) {
        if (image.name != "pal8.bmp" && image.name != "rgb24-large.bmp" &&
            image.name != "v5-alpha.bmp" && image.name != "rle8.bmp") {
            continue;
        }
        SCOPED_TRACE(image.name);
        const Bytes& good = image.cbmp;
        std::size_t step = std::max<std::size_t>(1, good.size() / 300);
        for (std::size_t length = 1; length < good.size(); length += length < 64 ? 1 : step) {
            Picture cut = load(Bytes(good.begin(), good.begin() + static_cast<long>(length)));
            EXPECT_FALSE(cut.pixels_loaded) << "cut to " << length;
        }
        for (auto [at, value] : {std::pair{0, 'X'}, {4, 2}, {51, 0x7F}, {59, 0x7F}}) {
            Bytes bytes = good;
            bytes[static_cast<std::size_t>(at)] = static_cast<std::uint8_t>(value);
            EXPECT_FALSE(load(bytes).loaded) << "byte " << at;
        }
        std::size_t stride = std::max<std::size_t>(1, (good.size() - 64) / 200);
        for (std::size_t at = 0; at < good.size(); at += at < 64 ? 1 : stride) {
            for (unsigned flip : {0x01u, 0xA5u, 0x80u}) {
                Bytes bytes = good;
                bytes[at] = static_cast<std::uint8_t>(bytes[at] ^ flip);
                // Whatever opens is the picture its decompressed bitmap gives. Compared where
                // the header is intact, so that the bitmap has all its bytes: imlib2's BMP loader
                // leaves the pixels that a short or damaged RLE bitmap does not reach as they
                // were, and those differ from load to load.
                Picture actual = load(bytes);
                if (actual.pixels_loaded && at >= 60 && image.name != "rle8.bmp") {
                    Picture expected = load(decompress(bytes), "image.bmp");
                    EXPECT_EQ(compare(expected, actual), "") << "byte " << at;
                }
            }
        }
    }
    // A bit-field mask with its lowest and highest bits set makes imlib2's BMP loader divide by
    // zero (a SIGFPE that ends the program): such a CBMP is refused instead.
    Bytes masked = read_file(kImages / "v5-alpha.bmp");
    masked[62] = 0xFF;  // the blue mask becomes 0x800000FF
    masked[65] = 0x80;
    Bytes masked_cbmp = compress(masked);
    ASSERT_FALSE(masked_cbmp.empty());
    EXPECT_FALSE(load(masked_cbmp).pixels_loaded);

    // A bitmap inside that imlib2's BMP loader rejects (a 7-bit depth) fails the same way.
    Bytes bmp = read_file(kImages / "rgb24.bmp");
    bmp[28] = 7;
    Bytes cbmp = compress(bmp);
    ASSERT_FALSE(cbmp.empty());
    EXPECT_FALSE(load(bmp, "image.bmp").pixels_loaded);
    EXPECT_FALSE(load(cbmp).pixels_loaded);
}

// A small CBMP followed by zeros up to 1 GiB, and a 12.5 MB CBMP of 18,918 x 18,918 pixels that
// decodes to 1 GiB: the first opens within 64 MiB beside its pixels, the second is refused from
// its header within 64 MiB. Each load runs in a child process whose peak resident size is
// measured.
TEST(Imlib2Loader, BombsStayWithinTheirBounds) {
    constexpr long kAllowanceKiB = 64 * 1024;
    Bytes small = compress(read_file(kImages / "rgb24-large.bmp"));
    Picture expected = load(small);
    ASSERT_TRUE(expected.pixels_loaded);
    fs::path padded = scratch() / "padded.cbmp";
    ASSERT_TRUE(cbmp_bombs::write_padded(padded.string(), small, off_t{1} << 30));
    auto run = cbmp_bombs::peak_rss_of(
        [&] { return compare(expected, load_file(padded)).empty() ? 0 : 1; });
    long pixels_kib = static_cast<long>(expected.pixels.size() * 4 / 1024);
    std::printf("padded to 1 GiB: exit %d, peak RSS %ld KiB, %.3f s\n", run.exit_code,
                run.peak_rss_kib, run.seconds);
    EXPECT_EQ(run.exit_code, 0);
    const long padded_peak_kib = run.peak_rss_kib;

    // The add-ons' shared bomb (addons/tests/bombs.py): valid, 12.5 MB, 1 GiB of bitmap.
    const fs::path expanding = fs::path(CBMP_TEST_BOMBS) / "huge-pixels.cbmp";
    Bytes bomb = read_file(expanding);
    cbmpcore_info info{};
    ASSERT_EQ(cbmpcore_read_info(bomb.data(), bomb.size(), &info), CBMPCORE_OK);
    ASSERT_GT(info.original_size, 1'000'000'000u);
    run = cbmp_bombs::peak_rss_of([&] {
        Imlib_Load_Error error = IMLIB_LOAD_ERROR_NONE;
        Imlib_Image image = imlib_load_image_with_error_return(expanding.c_str(), &error);
        take(image, false);
        return image == nullptr ? 0 : 1;
    });
    std::printf("18918 x 18918 in %zu bytes: exit %d, peak RSS %ld KiB, %.3f s\n", bomb.size(),
                run.exit_code, run.peak_rss_kib, run.seconds);
    EXPECT_EQ(run.exit_code, 0) << "not refused";
#ifdef CBMP_SANITIZED
    GTEST_SKIP()
        << "peak memory not checked: the sanitizer's shadow memory and quarantine count in it";
#endif
    EXPECT_LT(padded_peak_kib, kAllowanceKiB + pixels_kib);
    EXPECT_LT(run.peak_rss_kib, kAllowanceKiB);
}

// Whether `read` gives the same picture twice over heap and stack filled with different bytes:
// the host's BMP reader leaves the pixels of some damaged or sparse bitmaps (RLE codes that skip
// pixels or end early, colour indices beyond the table) as the memory held them, and such pictures
// cannot be compared pixel for pixel.
template <class Read>
bool reproducible(Read read) {
    mallopt(M_PERTURB, 0x5A);
    fill_stack(0x5A);
    auto first = read();
    mallopt(M_PERTURB, 0xA5);
    fill_stack(0xA5);
    auto second = read();
    mallopt(M_PERTURB, 0);
    return compare(first, second).empty();
}

// The public BMP suite, read where it lies: a file that comes back byte for byte opens exactly as
// imlib2's BMP loader opens it (or fails as it fails), pixel for pixel where that loader is
// reproducible.
TEST(Imlib2Loader, PublicBmpSuite) {
    fs::path corpus = CBMP_TEST_CORPUS;
    if (!fs::is_directory(corpus)) {
        GTEST_SKIP() << "no BMP suite at " << corpus;
    }
    int same = 0;
    for (const auto& entry : fs::recursive_directory_iterator(corpus)) {
        if (entry.path().extension() != ".bmp") {
            continue;
        }
        SCOPED_TRACE(entry.path().string());
        Bytes bmp = read_file(entry.path());
        Bytes cbmp = compress(bmp);
        if (cbmp.empty()) {
            continue;  // not a bitmap the tool takes
        }
        Picture actual = load(cbmp);
        if (decompress(cbmp) != bmp) {
            continue;
        }
        Picture expected = load(bmp, "image.bmp");
        ASSERT_EQ(expected.pixels_loaded, actual.pixels_loaded);
        if (expected.pixels_loaded && reproducible([&] { return load(bmp, "image.bmp"); })) {
            EXPECT_EQ(compare(expected, actual), "");
            ++same;
        }
    }
    std::printf("%d bitmaps of the suite compared pixel for pixel\n", same);
    EXPECT_GT(same, 30);
}

}  // namespace

int main(int argc, char** argv) {
    // Only the build tree's loaders: this loader and a link to imlib2's BMP loader.
    setenv("IMLIB2_LOADER_PATH", CBMP_TEST_LOADER_PATH, 1);
    imlib_set_cache_size(0);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
