// The Qt image-format plugin, through QImageReader and QImageWriter as any Qt program uses them,
// with Qt's plugin path set to the build tree: CBMP files open exactly like their BMP files, from
// files and from devices that deliver a byte at a time; broken ones fail; hostile ones are
// refused before they cost memory.
#include <gtest/gtest.h>
#include <QBuffer>
#include <QCoreApplication>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>

#include <malloc.h>

#include <algorithm>
#include <cstdint>
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

QByteArray as_qbytes(const Bytes& bytes) {
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()));
}

// A sequential device (as a pipe or a socket) that hands out at most `piece` bytes a call.
class TrickleDevice : public QIODevice {
  public:
    TrickleDevice(QByteArray bytes, qint64 piece) : bytes_(std::move(bytes)), piece_(piece) {
        open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override {
        return bytes_.size() - at_ + QIODevice::bytesAvailable();
    }
    qint64 consumed() const { return at_; }

  protected:
    qint64 readData(char* data, qint64 max) override {
        qint64 count = std::min({max, piece_, qint64{bytes_.size()} - at_});
        std::memcpy(data, bytes_.constData() + at_, static_cast<std::size_t>(count));
        at_ += count;
        return count;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

  private:
    QByteArray bytes_;
    qint64 piece_;
    qint64 at_ = 0;
};

// What QImageReader gives for `bytes`: with `format` empty, it picks the plugin by content.
QImage read_image(const Bytes& bytes, const char* format = "") {
    QByteArray data = as_qbytes(bytes);
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, format);
    return reader.read();
}

// Empty when the two are the same picture, else what differs.
std::string compare(const QImage& expected, const QImage& actual) {
    if (expected.isNull() || actual.isNull()) {
        return "a null image";
    }
    if (expected.size() != actual.size() || expected.format() != actual.format()) {
        return "different size or format";
    }
    // The bytes of each row that hold pixels: the padding after them is not part of the picture.
    const auto row = static_cast<std::size_t>((expected.width() * expected.depth() + 7) / 8);
    for (int y = 0; y < expected.height(); ++y) {
        if (std::memcmp(expected.constScanLine(y), actual.constScanLine(y), row) != 0) {
            return "pixels differ in row " + std::to_string(y);
        }
    }
    if (expected.colorTable() != actual.colorTable()) {
        return "different colour tables";
    }
    return {};
}

TEST(QtPlugin, IsRegisteredForTheFormatAndItsMimeType) {
    EXPECT_TRUE(QImageReader::supportedImageFormats().contains("cbmp"));
    EXPECT_TRUE(QImageWriter::supportedImageFormats().contains("cbmp"));
    EXPECT_TRUE(QImageReader::supportedMimeTypes().contains("image/x-cbmp"));
    EXPECT_TRUE(QImageWriter::supportedMimeTypes().contains("image/x-cbmp"));
}

TEST(QtPlugin, EveryBitDepthOpensLikeItsBmpFile) {
    auto images = test_images(kImages);
    ASSERT_GE(images.size(), 9u) << "test images missing in " << kImages;
    for (const auto& image : images) {
        SCOPED_TRACE(image.name);
        QImage expected = read_image(image.bmp, "bmp");
        ASSERT_FALSE(expected.isNull());

        // By file name (the suffix), by content alone (no suffix), and from a device that gives
        // one byte at a time.
        fs::path named = scratch() / (image.name + ".cbmp");
        fs::path unnamed = scratch() / (image.name + ".data");
        write_file(named, image.cbmp);
        write_file(unnamed, image.cbmp);
        QImageReader by_name(QString::fromStdString(named.string()));
        EXPECT_EQ(by_name.size(), expected.size());  // from the header
        EXPECT_EQ(compare(expected, by_name.read()), "");
        QImageReader by_content(QString::fromStdString(unnamed.string()));
        EXPECT_EQ(by_content.format(), QByteArray("cbmp"));
        EXPECT_EQ(compare(expected, by_content.read()), "");
        EXPECT_EQ(compare(expected, read_image(image.cbmp)), "");
        for (qint64 piece : {1, 7, 4096}) {
            TrickleDevice device(as_qbytes(image.cbmp), piece);
            QImageReader reader(&device, "cbmp");
            EXPECT_EQ(compare(expected, reader.read()), "") << "pieces of " << piece;
        }
        if (image.name == "v5-alpha.bmp") {
            EXPECT_TRUE(expected.hasAlphaChannel());  // so the comparison covers alpha
        }
    }
}

TEST(QtPlugin, ReadsNothingPastTheStream) {
    Bytes cbmp = compress(read_file(kImages / "pal8.bmp"));
    ASSERT_FALSE(cbmp.empty());
    Bytes followed = cbmp;
    followed.resize(cbmp.size() + 100000, 0x55);
    TrickleDevice device(as_qbytes(followed), 1000);
    QImageReader reader(&device, "cbmp");
    ASSERT_FALSE(reader.read().isNull());
    EXPECT_EQ(device.consumed(), static_cast<qint64>(cbmp.size()));
}

TEST(QtPlugin, WritesCbmpThatOpensToTheSamePicture) {
    for (const char* name : {"pal8.bmp", "rgb24-large.bmp", "rgb16.bmp"}) {
        SCOPED_TRACE(name);
        QImage original = read_image(read_file(kImages / name), "bmp");
        ASSERT_FALSE(original.isNull());
        fs::path saved = scratch() / (std::string(name) + ".cbmp");
        QImageWriter writer(QString::fromStdString(saved.string()));  // format from the suffix
        ASSERT_TRUE(writer.write(original)) << writer.errorString().toStdString();
        Bytes written = read_file(saved);
        ASSERT_GE(written.size(), 60u);
        EXPECT_EQ(std::string(written.begin(), written.begin() + 4), "CBMP");

        // The CBMP holds the bitmap Qt's BMP writer makes, byte for byte.
        QByteArray bmp;
        QBuffer buffer(&bmp);
        buffer.open(QIODevice::WriteOnly);
        ASSERT_TRUE(QImageWriter(&buffer, "bmp").write(original));
        Bytes decoded = decompress(written);
        EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(decoded.data()),
                             static_cast<int>(decoded.size())),
                  bmp);
        QImageReader reopened(QString::fromStdString(saved.string()));
        EXPECT_EQ(compare(read_image(Bytes(bmp.begin(), bmp.end()), "bmp"), reopened.read()), "");
    }
}

// Cut short, with a byte changed, fed in pieces: the picture of the bitmap inside or a failure,
// never a crash (the sanitizer build runs this too), and a cut or a broken header always fails.
TEST(QtPlugin, TruncatedAndCorruptFilesFail) {
    for (const auto& image : test_images(kImages)) {
        if (image.name != "pal8.bmp" && image.name != "rgb24-large.bmp" &&
            image.name != "v5-alpha.bmp" && image.name != "rle8.bmp") {
            continue;
        }
        SCOPED_TRACE(image.name);
        const Bytes& good = image.cbmp;
        std::size_t step = std::max<std::size_t>(1, good.size() / 300);
        for (std::size_t length = 0; length < good.size(); length += length < 64 ? 1 : step) {
            Bytes cut(good.begin(), good.begin() + static_cast<long>(length));
            EXPECT_TRUE(read_image(cut, "cbmp").isNull()) << "cut to " << length;
            TrickleDevice device(as_qbytes(cut), 1);
            EXPECT_TRUE(QImageReader(&device, "cbmp").read().isNull()) << "cut to " << length;
        }
        // Magic, version, compressed size, palette size beyond the original size.
        for (auto [at, value] : {std::pair{0, 'X'}, {4, 2}, {51, 0x7F}, {59, 0x7F}}) {
            Bytes bytes = good;
            bytes[static_cast<std::size_t>(at)] = static_cast<std::uint8_t>(value);
            EXPECT_TRUE(read_image(bytes, "cbmp").isNull()) << "byte " << at;
        }
        std::size_t stride = std::max<std::size_t>(1, (good.size() - 64) / 200);
        for (std::size_t at = 0; at < good.size(); at += at < 64 ? 1 : stride) {
            for (unsigned flip : {0x01u, 0xA5u, 0x80u}) {
                Bytes bytes = good;
                bytes[at] = static_cast<std::uint8_t>(bytes[at] ^ flip);
                // Whatever opens is the picture its decompressed bitmap gives, fed whole or in
                // pieces.
                QImage actual = read_image(bytes, "cbmp");
                TrickleDevice device(as_qbytes(bytes), 3);
                QImage trickled = QImageReader(&device, "cbmp").read();
                EXPECT_EQ(actual.isNull(), trickled.isNull()) << "byte " << at;
                // Compared where the header is intact, so that the bitmap has all its bytes:
                // Qt's BMP reader leaves the pixels that a short or damaged RLE bitmap does not
                // reach as they were, and those differ from read to read.
                if (!actual.isNull() && at >= 60 && image.name != "rle8.bmp") {
                    QImage expected = read_image(decompress(bytes), "bmp");
                    EXPECT_EQ(compare(expected, actual), "") << "byte " << at;
                    EXPECT_EQ(compare(expected, trickled), "") << "byte " << at;
                }
            }
        }
    }
    // A bitmap inside that Qt's BMP reader rejects (a 7-bit depth) fails the same way.
    Bytes bmp = read_file(kImages / "rgb24.bmp");
    bmp[28] = 7;
    Bytes cbmp = compress(bmp);
    ASSERT_FALSE(cbmp.empty());
    EXPECT_TRUE(read_image(cbmp, "cbmp").isNull());
}

// A small CBMP followed by zeros up to 1 GiB, and a 12.5 MB CBMP of 18,918 x 18,918 pixels that
// decodes to 1 GiB: the first opens within 64 MiB beside its pixels, the second is refused from
// its header within 64 MiB, its size untold. Each load runs in a child process whose peak
// resident size is measured.
TEST(QtPlugin, BombsStayWithinTheirBounds) {
    constexpr long kAllowanceKiB = 64 * 1024;
    Bytes small = compress(read_file(kImages / "rgb24-large.bmp"));
    fs::path padded = scratch() / "padded.cbmp";
    ASSERT_TRUE(cbmp_bombs::write_padded(padded.string(), small, off_t{1} << 30));
    QImage expected = read_image(small, "cbmp");
    ASSERT_FALSE(expected.isNull());
    auto run = cbmp_bombs::peak_rss_of([&] {
        QImageReader reader(QString::fromStdString(padded.string()));
        return compare(expected, reader.read()).empty() ? 0 : 1;
    });
    long pixels_kib = static_cast<long>(expected.sizeInBytes() / 1024);
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
        QImageReader reader(QString::fromStdString(expanding.string()));
        // Not even its size is told: a viewer would make room for the pixels.
        bool unsized = !reader.size().isValid();
        return unsized && reader.read().isNull() ? 0 : 1;
    });
    std::printf("18918 x 18918 in %zu bytes: exit %d, peak RSS %ld KiB, %.3f s\n", bomb.size(),
                run.exit_code, run.peak_rss_kib, run.seconds);
    EXPECT_EQ(run.exit_code, 0) << "not refused, or its size told";
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
// Qt's BMP reader opens it (or fails as it fails), pixel for pixel where that reader is
// reproducible.
TEST(QtPlugin, PublicBmpSuite) {
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
        QImage actual = read_image(cbmp, "cbmp");
        if (decompress(cbmp) != bmp) {
            continue;
        }
        QImage expected = read_image(bmp, "bmp");
        ASSERT_EQ(expected.isNull(), actual.isNull());
        if (!expected.isNull() && reproducible([&] { return read_image(bmp, "bmp"); })) {
            EXPECT_EQ(compare(expected, actual), "");
            ++same;
        }
    }
    std::printf("%d bitmaps of the suite compared pixel for pixel\n", same);
    EXPECT_GT(same, 30);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    // Only the build tree's plugin, never one installed on the machine.
    QCoreApplication::setLibraryPaths({QStringLiteral(CBMP_TEST_PLUGIN_PATH)});
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
