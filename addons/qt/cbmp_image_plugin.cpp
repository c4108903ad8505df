// Qt image-format plugin for CBMP images.
//
// Reading: the handler takes the CBMP file's 60-byte header, applies the add-ons' bounds to it
// (addons/common/cbmp_bounds.h: the viewers' common pixel limit, CBMP_VIEWER_MAX_PIXELS, and a
// payload no larger than such an image needs) before it reads any further, then reads exactly the
// header's compressed size of stream and nothing after it. The core library decompresses that
// into one BMP file in memory, which Qt's own BMP reader turns into the QImage: every layout Qt
// reads from a .bmp (colour tables, bit fields, RLE, V4/V5 headers with alpha) opens from a .cbmp
// pixel for pixel. Asking for the size reads the header alone.
//
// Peak memory while reading: the header and stream (released once decoded), the decoded BMP file
// and the QImage that the BMP reader fills.
//
// Writing goes the other way: Qt's BMP writer makes the bitmap, the core compresses it.
#include "addons/qt/cbmp_image_plugin.h"

#include <QBuffer>
#include <QImage>
#include <QImageIOHandler>
#include <QImageReader>
#include <QImageWriter>
#include <QSize>
#include <QVariant>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

#include "addons/common/cbmp_bounds.h"
#include "core/cbmpcore.h"

namespace {

using cbmp_addon::kHeaderSize;

// A sequential device (a pipe, a socket) that has nothing more yet is waited for this long.
constexpr int kWaitMilliseconds = 30000;
// From a sequential device, whose size is unknown, the stream is gathered in pieces that double
// from this size up to the stated compressed size: a file that stops early costs no more than
// twice what it held.
constexpr std::size_t kFirstPiece = 64 * 1024;

struct CoreFree {
    void operator()(std::uint8_t* bytes) const { cbmpcore_free(bytes); }
};
using CoreBuffer = std::unique_ptr<std::uint8_t, CoreFree>;

// Reads `count` bytes unless the device ends or fails first; returns how many it read.
std::size_t read_fully(QIODevice& device, std::uint8_t* into, std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
        qint64 got =
            device.read(reinterpret_cast<char*>(into + done), static_cast<qint64>(count - done));
        if (got < 0) {
            break;
        }
        if (got == 0) {
            if (!device.isSequential() || !device.waitForReadyRead(kWaitMilliseconds)) {
                break;
            }
            continue;
        }
        done += static_cast<std::size_t>(got);
    }
    return done;
}

// The CBMP file as far as it is needed: the header, checked against the bounds, then exactly the
// stream it announces. Empty when the file is not a CBMP file, is refused, or ends early.
std::vector<std::uint8_t> read_cbmp(QIODevice& device) {
    std::vector<std::uint8_t> file(kHeaderSize);
    cbmpcore_info info{};
    if (read_fully(device, file.data(), kHeaderSize) != kHeaderSize ||
        cbmpcore_read_info(file.data(), kHeaderSize, &info) != CBMPCORE_OK ||
        cbmp_addon::check_bounds(info, cbmp_addon::Limits{}) != cbmp_addon::Verdict::kAccepted) {
        return {};
    }
    const std::size_t total = kHeaderSize + std::size_t{info.compressed_size};
    if (!device.isSequential() && device.size() - device.pos() < qint64{info.compressed_size}) {
        return {};  // a file shorter than its header says is refused before anything is allocated
    }
    while (file.size() < total) {
        const std::size_t at = file.size();
        const std::size_t piece =
            device.isSequential() ? std::min(total - at, std::max(at, kFirstPiece)) : total - at;
        file.resize(at + piece);
        if (read_fully(device, file.data() + at, piece) != piece) {
            return {};
        }
    }
    return file;
}

class CbmpHandler : public QImageIOHandler {
  public:
    static bool can_read(QIODevice* device) {
        return device != nullptr && device->peek(4) == QByteArray("CBMP", 4);
    }

    bool canRead() const override {
        if (!can_read(device())) {
            return false;
        }
        setFormat("cbmp");
        return true;
    }

    bool read(QImage* image) override {
        if (device() == nullptr || image == nullptr) {
            return false;
        }
        try {
            return read_image(*device(), *image);
        } catch (const std::bad_alloc&) {
            return false;  // nothing may be thrown into Qt
        }
    }

    bool write(const QImage& image) override {
        if (device() == nullptr) {
            return false;
        }
        QByteArray bmp;
        {
            QBuffer buffer(&bmp);
            buffer.open(QIODevice::WriteOnly);
            QImageWriter writer(&buffer, "bmp");
            if (!writer.write(image)) {
                return false;
            }
        }
        std::uint8_t* out = nullptr;
        std::size_t size = 0;
        cbmpcore_result result =
            cbmpcore_compress(reinterpret_cast<const std::uint8_t*>(bmp.constData()),
                              static_cast<std::size_t>(bmp.size()), &out, &size, nullptr);
        bmp.clear();
        if (result != CBMPCORE_OK) {
            return false;
        }
        CoreBuffer cbmp(out);
        return device()->write(reinterpret_cast<const char*>(cbmp.get()),
                               static_cast<qint64>(size)) == static_cast<qint64>(size);
    }

    // The size comes from the header alone, as the BMP reader will take it from the bitmap.
    QVariant option(ImageOption option) const override {
        if (option != Size || device() == nullptr) {
            return {};
        }
        QByteArray header = device()->peek(static_cast<qint64>(kHeaderSize));
        cbmpcore_info info{};
        if (header.size() != static_cast<int>(kHeaderSize) ||
            cbmpcore_read_info(reinterpret_cast<const std::uint8_t*>(header.constData()),
                               kHeaderSize, &info) != CBMPCORE_OK) {
            return {};
        }
        // An image beyond the bounds tells no size either: a viewer would make room for it.
        if (cbmp_addon::check_bounds(info, cbmp_addon::Limits{}) !=
            cbmp_addon::Verdict::kAccepted) {
            return {};
        }
        cbmp_addon::Dimensions size = cbmp_addon::dimensions(info);
        if (size.width == 0 || size.height == 0 || size.width > INT_MAX || size.height > INT_MAX) {
            return {};
        }
        return QSize(static_cast<int>(size.width), static_cast<int>(size.height));
    }

    bool supportsOption(ImageOption option) const override { return option == Size; }

  private:
    static bool read_image(QIODevice& device, QImage& image) {
        std::vector<std::uint8_t> cbmp = read_cbmp(device);
        if (cbmp.empty()) {
            return false;
        }
        std::uint8_t* out = nullptr;
        std::size_t size = 0;
        cbmpcore_result result =
            cbmpcore_decompress(cbmp.data(), cbmp.size(), &out, &size, nullptr);
        std::vector<std::uint8_t>().swap(cbmp);  // released before the bitmap is read
        if (result != CBMPCORE_OK) {
            return false;
        }
        CoreBuffer bmp(out);
        if (size > static_cast<std::size_t>(INT_MAX)) {
            return false;  // the bounds keep a bitmap far below this
        }
        // Qt's BMP reader reads the decoded file in place, without a copy.
        QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(bmp.get()),
                                                   static_cast<int>(size));
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::ReadOnly);
        QImageReader reader(&buffer, "bmp");
        QImage decoded;
        if (!reader.read(&decoded)) {
            return false;
        }
        image = decoded;
        return true;
    }
};

}  // namespace

QImageIOPlugin::Capabilities CbmpImagePlugin::capabilities(QIODevice* device,
                                                           const QByteArray& format) const {
    if (format == "cbmp") {
        return Capabilities(CanRead | CanWrite);
    }
    if (!format.isEmpty() || device == nullptr || !device->isOpen()) {
        return {};
    }
    Capabilities capabilities;
    if (device->isReadable() && CbmpHandler::can_read(device)) {
        capabilities |= CanRead;
    }
    if (device->isWritable()) {
        capabilities |= CanWrite;
    }
    return capabilities;
}

QImageIOHandler* CbmpImagePlugin::create(QIODevice* device, const QByteArray& format) const {
    auto* handler = new CbmpHandler;
    handler->setDevice(device);
    handler->setFormat(format);
    return handler;
}
