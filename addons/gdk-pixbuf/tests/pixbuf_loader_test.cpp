// The GdkPixbuf loader, through GdkPixbuf's public API as an image viewer uses it, with the build
// tree's loaders cache and MIME database: CBMP images open exactly like their BMP files, broken
// ones give an error.
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "addons/tests/addon_test_files.h"
#include "core/cbmpcore.h"

namespace fs = std::filesystem;
using cbmp_addon_test::Bytes;
using cbmp_addon_test::compress;
using cbmp_addon_test::read_file;
using cbmp_addon_test::write_file;

namespace {

struct Unref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
using Pixbuf = std::unique_ptr<GdkPixbuf, Unref>;

struct ErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
using Error = std::unique_ptr<GError, ErrorFree>;

const fs::path kImages = CBMP_TEST_IMAGES;

// A folder of the running test's own (CTest runs the cases as parallel processes).
fs::path scratch() {
    fs::path dir =
        fs::path(CBMP_TEST_SCRATCH) / testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::create_directories(dir);
    return dir;
}

// What an application gets from a GdkPixbufLoader fed `bytes` in pieces of `piece` bytes: the
// pixbuf, or null and the error. `type` null lets GdkPixbuf pick the loader by the file's first
// bytes.
struct Loaded {
    Pixbuf pixbuf;
    Error error;
};

Loaded load(const Bytes& bytes, const char* type = nullptr, std::size_t piece = 4096) {
    Loaded result;
    GError* error = nullptr;
    GdkPixbufLoader* loader =
        type != nullptr ? gdk_pixbuf_loader_new_with_type(type, &error) : gdk_pixbuf_loader_new();
    if (loader == nullptr) {
        result.error.reset(error);
        return result;
    }
    std::unique_ptr<GdkPixbufLoader, Unref> owner(loader);
    gboolean ok = TRUE;
    for (std::size_t at = 0; ok && at < bytes.size(); at += piece) {
        ok = gdk_pixbuf_loader_write(loader, bytes.data() + at, std::min(piece, bytes.size() - at),
                                     &error);
    }
    gboolean closed = gdk_pixbuf_loader_close(loader, ok ? &error : nullptr);
    if (ok && closed) {
        GdkPixbuf* pixbuf = gdk_pixbuf_loader_get_pixbuf(loader);
        if (pixbuf != nullptr) {
            result.pixbuf.reset(GDK_PIXBUF(g_object_ref(pixbuf)));
        }
    }
    result.error.reset(error);
    return result;
}

// Empty when the two are the same picture, else what differs.
std::string compare(const GdkPixbuf* a, const GdkPixbuf* b) {
    int width = gdk_pixbuf_get_width(a);
    int height = gdk_pixbuf_get_height(a);
    auto row = static_cast<std::size_t>(width * gdk_pixbuf_get_n_channels(a));
    if (width != gdk_pixbuf_get_width(b) || height != gdk_pixbuf_get_height(b) ||
        gdk_pixbuf_get_n_channels(a) != gdk_pixbuf_get_n_channels(b) ||
        gdk_pixbuf_get_bits_per_sample(a) != gdk_pixbuf_get_bits_per_sample(b)) {
        return "different dimensions or channels";
    }
    for (int y = 0; y < height; ++y) {
        if (std::memcmp(gdk_pixbuf_read_pixels(a) + y * gdk_pixbuf_get_rowstride(a),
                        gdk_pixbuf_read_pixels(b) + y * gdk_pixbuf_get_rowstride(b), row) != 0) {
            return "pixels differ in row " + std::to_string(y);
        }
    }
    return {};
}

std::vector<cbmp_addon_test::TestImage> test_images() {
    return cbmp_addon_test::test_images(kImages);
}

// A load either gives a picture or fails with an error, never a crash or a silent nothing.
void expect_picture_or_error(const Loaded& loaded) {
    if (!loaded.pixbuf) {
        ASSERT_TRUE(loaded.error);
        EXPECT_NE(std::strlen(loaded.error->message), 0u);
    }
}

TEST(PixbufLoader, EveryBitDepthOpensLikeItsBmpFile) {
    auto images = test_images();
    ASSERT_GE(images.size(), 9u) << "test images missing in " << kImages;
    for (const auto& image : images) {
        SCOPED_TRACE(image.name);
        Loaded expected = load(image.bmp, "bmp");
        ASSERT_TRUE(expected.pixbuf) << expected.error->message;
        Loaded actual = load(image.cbmp);  // GdkPixbuf finds the format by itself
        ASSERT_TRUE(actual.pixbuf) << actual.error->message;
        EXPECT_EQ(compare(expected.pixbuf.get(), actual.pixbuf.get()), "");
        if (image.name == "v5-alpha.bmp") {
            EXPECT_TRUE(gdk_pixbuf_get_has_alpha(actual.pixbuf.get()));
        }
    }
}

TEST(PixbufLoader, FilesOpenByNameScaledAndSaved) {
    fs::path bmp = kImages / "rgb24-large.bmp";
    fs::path cbmp = scratch() / "large.cbmp";
    write_file(cbmp, compress(read_file(bmp)));
    int width = 0;
    int height = 0;
    GdkPixbufFormat* format = gdk_pixbuf_get_file_info(cbmp.c_str(), &width, &height);
    ASSERT_NE(format, nullptr);
    gchar* name = gdk_pixbuf_format_get_name(format);
    EXPECT_STREQ(name, "cbmp");
    g_free(name);
    EXPECT_EQ(width * 1000 + height, 301 * 1000 + 219);

    GError* error = nullptr;
    Pixbuf expected(gdk_pixbuf_new_from_file_at_size(bmp.c_str(), 64, 64, &error));
    Pixbuf actual(gdk_pixbuf_new_from_file_at_size(cbmp.c_str(), 64, 64, &error));
    ASSERT_TRUE(expected && actual) << error->message;
    EXPECT_EQ(gdk_pixbuf_get_width(actual.get()), 64);
    EXPECT_EQ(compare(expected.get(), actual.get()), "");

    // Saving as "cbmp" writes a CBMP file that opens to the same picture.
    Pixbuf original(gdk_pixbuf_new_from_file(bmp.c_str(), &error));
    fs::path saved = scratch() / "saved.cbmp";
    ASSERT_TRUE(gdk_pixbuf_save(original.get(), saved.c_str(), "cbmp", &error, nullptr));
    EXPECT_EQ(read_file(saved).at(0), 'C');
    Pixbuf reopened(gdk_pixbuf_new_from_file(saved.c_str(), &error));
    ASSERT_TRUE(reopened) << error->message;
    EXPECT_EQ(compare(original.get(), reopened.get()), "");

    // With its stream cut off, the file still tells its size (from the header), but does not open.
    Bytes cut = read_file(cbmp);
    cut.resize(200);
    write_file(cbmp, cut);
    width = height = 0;
    EXPECT_NE(gdk_pixbuf_get_file_info(cbmp.c_str(), &width, &height), nullptr);
    EXPECT_EQ(width * 1000 + height, 301 * 1000 + 219);
    EXPECT_FALSE(Pixbuf(gdk_pixbuf_new_from_file(cbmp.c_str(), &error)));
    ASSERT_NE(error, nullptr);
    g_error_free(error);
}

TEST(PixbufLoader, TruncatedAndCorruptFilesGiveAnError) {
    for (const auto& image : test_images()) {
        if (image.name != "pal8.bmp" && image.name != "rgb24-large.bmp" &&
            image.name != "v5-alpha.bmp") {
            continue;
        }
        SCOPED_TRACE(image.name);
        const Bytes& good = image.cbmp;
        for (std::size_t length : {std::size_t{0}, std::size_t{3}, std::size_t{59}, std::size_t{60},
                                   good.size() / 2, good.size() - 1}) {
            Loaded loaded =
                load(Bytes(good.begin(), good.begin() + static_cast<long>(length)), "cbmp");
            EXPECT_TRUE(!loaded.pixbuf && loaded.error) << "cut to " << length;
        }
        // Magic, version, compressed size, palette size beyond the original size.
        for (auto [at, value] : {std::pair{0, 'X'}, {4, 2}, {51, 0x7F}, {59, 0x7F}}) {
            Bytes bytes = good;
            bytes[static_cast<std::size_t>(at)] = static_cast<std::uint8_t>(value);
            Loaded loaded = load(bytes, "cbmp");
            ASSERT_TRUE(!loaded.pixbuf && loaded.error) << "byte " << at;
            EXPECT_NE(std::strstr(loaded.error->message, "CBMP"), nullptr) << loaded.error->message;
        }
        // Any byte of the header or stream changed: a picture or an error, nothing else.
        std::size_t stride = std::max<std::size_t>(1, (good.size() - 64) / 150);
        for (std::size_t at = 0; at < good.size(); at += at < 64 ? 1 : stride) {
            Bytes bytes = good;
            bytes[at] ^= 0xA5;
            expect_picture_or_error(load(bytes, "cbmp"));
        }
    }
    // A bitmap inside that the BMP loader rejects (no 7-bit depth): its error comes through.
    Bytes bmp = read_file(kImages / "rgb24.bmp");
    bmp[28] = 7;
    Loaded loaded = load(compress(bmp));
    EXPECT_TRUE(!loaded.pixbuf && loaded.error && loaded.error->domain == GDK_PIXBUF_ERROR);
}

// However the file arrives, down to a byte at a time and with pieces that split the header, the
// picture is the same; bytes after the file that the header announces are not part of it.
TEST(PixbufLoader, PiecesOfAnySizeAndTrailingBytes) {
    for (const auto& image : test_images()) {
        if (image.name != "pal4.bmp" && image.name != "v5-alpha.bmp" &&
            image.name != "rgb24-large.bmp") {
            continue;
        }
        SCOPED_TRACE(image.name);
        Loaded whole = load(image.cbmp, "cbmp", image.cbmp.size());
        ASSERT_TRUE(whole.pixbuf) << whole.error->message;
        for (std::size_t piece : {1u, 7u, 59u, 61u, 1000u}) {
            Loaded loaded = load(image.cbmp, "cbmp", piece);
            ASSERT_TRUE(loaded.pixbuf) << "pieces of " << piece << ": " << loaded.error->message;
            EXPECT_EQ(compare(whole.pixbuf.get(), loaded.pixbuf.get()), "") << piece;
        }
        Bytes padded = image.cbmp;
        padded.resize(padded.size() + 100000, 0xA5);
        Loaded loaded = load(padded, "cbmp", 3000);
        ASSERT_TRUE(loaded.pixbuf) << loaded.error->message;
        EXPECT_EQ(compare(whole.pixbuf.get(), loaded.pixbuf.get()), "");
    }
}

// Feeds a CBMP loader the 60 header bytes alone: the write must fail, with `words` in the error.
void expect_refused_at_header(const Bytes& header, const char* words) {
    GError* error = nullptr;
    std::unique_ptr<GdkPixbufLoader, Unref> loader(gdk_pixbuf_loader_new_with_type("cbmp", &error));
    ASSERT_TRUE(loader);
    EXPECT_FALSE(gdk_pixbuf_loader_write(loader.get(), header.data(), header.size(), &error));
    ASSERT_NE(error, nullptr);
    EXPECT_NE(std::strstr(error->message, words), nullptr) << error->message;
    g_clear_error(&error);
    gdk_pixbuf_loader_close(loader.get(), nullptr);
}

// The header decides before the stream is read: an image beyond the pixel limit, or without
// pixels, is refused as soon as its 60 header bytes arrive, and the size of any kind of bitmap
// (OS/2 headers of 12 bytes included, whose 16-bit fields hold it) comes from the header alone.
TEST(PixbufLoader, HeaderDecidesBeforeDecoding) {
    Bytes bmp = read_file(kImages / "rgb24.bmp");
    Bytes good = compress(bmp);
    ASSERT_GE(good.size(), 60u);
    auto with_size = [&](std::int32_t width, std::int32_t height) {
        Bytes header(good.begin(), good.begin() + 60);
        for (int i = 0; i < 4; ++i) {
            header[static_cast<std::size_t>(12 + i)] =
                static_cast<std::uint8_t>(static_cast<std::uint32_t>(width) >> (8 * i));
            header[static_cast<std::size_t>(16 + i)] =
                static_cast<std::uint8_t>(static_cast<std::uint32_t>(height) >> (8 * i));
        }
        return header;
    };
    for (auto [width, height] :
         {std::pair{20000, 20000}, {9460, -9460}, {0, 10}, {-5, 10}, {10, 0}}) {
        SCOPED_TRACE(std::to_string(width) + " x " + std::to_string(height));
        expect_refused_at_header(with_size(width, height), "pixels");
    }

    // A small image whose payload claims far more than its pixels can need: refused at the header
    // too, before a stream that could decode to it arrives.
    {
        Bytes header = with_size(2, 2);
        const std::uint32_t claimed = 200u << 20;
        for (int i = 0; i < 4; ++i) {
            header[static_cast<std::size_t>(52 + i)] =
                static_cast<std::uint8_t>(claimed >> (8 * i));
        }
        expect_refused_at_header(header, "refused");
    }

    // A 5 x 3 bitmap with a 12-byte OS/2 header (and a gap up to the pixels at 54), its stream cut
    // off after the header: the size is still known, so nothing had to be decoded for it.
    Bytes os2 = {'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 54, 0,  0,
                 0,   12,  0, 0, 0, 5, 0, 3, 0, 1, 0,  24, 0};
    os2.resize(54, 0);
    os2.resize(54 + 3 * 16, 0x40);
    os2[2] = static_cast<std::uint8_t>(os2.size());
    Bytes packed = compress(os2);
    ASSERT_FALSE(packed.empty());
    packed.resize(70);
    fs::path file = scratch() / "os2-cut.cbmp";
    write_file(file, packed);
    int width = 0;
    int height = 0;
    ASSERT_NE(gdk_pixbuf_get_file_info(file.c_str(), &width, &height), nullptr);
    EXPECT_EQ(width * 1000 + height, 5 * 1000 + 3);
}

// The public BMP suite, read where it lies. A file that comes back byte for byte must open
// exactly as the BMP loader opens it (or fail as it fails); any other must not crash.
TEST(PixbufLoader, PublicBmpSuite) {
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
        Loaded actual = load(cbmp);
        expect_picture_or_error(actual);
        if (cbmp_addon_test::decompress(cbmp) != bmp) {
            continue;
        }
        Loaded expected = load(bmp, "bmp");
        ASSERT_EQ(static_cast<bool>(expected.pixbuf), static_cast<bool>(actual.pixbuf));
        if (expected.pixbuf) {
            EXPECT_EQ(compare(expected.pixbuf.get(), actual.pixbuf.get()), "");
            ++same;
        }
    }
    EXPECT_GT(same, 30);
}

}  // namespace

int main(int argc, char** argv) {
    // Only the build tree's loaders cache and MIME database (GdkPixbuf picks a loader by the MIME
    // type that GIO finds), nothing of the user's.
    g_setenv("GDK_PIXBUF_MODULE_FILE", CBMP_TEST_LOADERS_CACHE, TRUE);
    g_setenv("XDG_DATA_DIRS", CBMP_TEST_XDG_DATA_DIRS, TRUE);
    g_setenv("XDG_DATA_HOME", (fs::path(CBMP_TEST_SCRATCH) / "data-home").c_str(), TRUE);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
