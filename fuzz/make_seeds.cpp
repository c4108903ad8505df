// Writes the seed corpora of the fuzz targets, from the project's own generators and writers:
//   make_fuzz_seeds <fuzz/corpus>
// creates <fuzz/corpus>/{decoder,round_trip,bmp_reader,cbmp_reader}/ with one file per seed.
// The committed corpora were made this way; run it again after a change of format.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "codec/lz_compress.h"
#include "core/operations.h"
#include "tests/support/bmp_builder.h"
#include "tests/support/data_generator.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using cbmp::testing::Bytes;

struct Named {
    std::string name;
    Bytes bytes;
};

Bytes Text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

std::vector<Named> Payloads() {
    using namespace cbmp::testing;
    return {
        {"empty", {}},
        {"abc", Text("abc")},
        {"abc-x4", Text("abcabcabcabc")},
        {"ab-x6", Text("abababababab")},
        {"a-x10", Text("aaaaaaaaaa")},
        {"a10-b-a10", Text("aaaaaaaaaabaaaaaaaaaa")},
        {"abcdefg-300", Periodic(300, Text("ABCDEFG"))},
        {"text-4", RandomText(2000, 4, 1)},
        {"runs", Runs(3000, 40, 2)},
        {"noise", RandomBytes(500, 3)},
        {"image-rows", ImageLike(32, 16, 4)},
    };
}

Bytes Stream(const Bytes& payload) {
    std::uint32_t size = 0;
    const cbmp::ByteBuffer stream =
        cbmp::LzCompress(payload.data(), static_cast<std::uint32_t>(payload.size()), size);
    return Bytes(stream.get(), stream.get() + size);
}

Bytes WithDeclaredSize(std::uint32_t declared, const Bytes& stream) {
    Bytes out(4 + stream.size());
    for (std::size_t i = 0; i < 4; ++i) {
        out[i] = static_cast<std::uint8_t>(declared >> (8 * i));
    }
    std::copy(stream.begin(), stream.end(), out.begin() + 4);
    return out;
}

std::vector<Named> Bitmaps() {
    using namespace cbmp::testing;
    std::vector<Named> out;
    BmpFields plain;
    plain.width = 8;
    plain.height = 4;
    plain.pixels = ImageLike(8, 4, 5);
    out.push_back({"24bit", BuildBmp(plain)});
    out.push_back({"v5-header", BuildBmp(V5HeaderBmp())});
    out.push_back({"bitfields", BuildBmp(BitFieldsBmp())});
    out.push_back({"palette-24bit", BuildBmp(PalettedTrueColourBmp())});
    out.push_back({"gap", BuildBmp(GapBeforePixelsBmp())});
    BmpFields indexed;
    indexed.bitCount = 8;
    indexed.width = 16;
    indexed.height = 4;
    indexed.clrUsed = 16;
    indexed.colourBlock = RandomBytes(64, 6);
    indexed.pixels = RandomText(64, 16, 7);
    out.push_back({"8bit-16-colours", BuildBmp(indexed)});
    BmpFields mono;
    mono.bitCount = 1;
    mono.width = 32;
    mono.height = 2;
    mono.colourBlock = {0, 0, 0, 0, 255, 255, 255, 0};
    mono.pixels = RandomBytes(8, 8);
    out.push_back({"1bit", BuildBmp(mono)});
    BmpFields lowOffset = indexed;
    lowOffset.bfOffBits = 0;  // the palette size then follows from biClrUsed,
    lowOffset.bfSize = 64;    // and the pixel size is bfSize - bfOffBits
    out.push_back({"offset-below-headers", BuildBmp(lowOffset)});
    BmpFields noPixels;
    noPixels.pixels = {};
    out.push_back({"no-pixels", BuildBmp(noPixels)});
    BmpFields example;
    example.width = 2;
    example.height = 2;
    example.sizeImage = 16;
    example.pixels = {0x00, 0x00, 0xff, 0x00, 0xff, 0x00, 0x00, 0x00,
                      0xff, 0x00, 0x00, 0xff, 0xff, 0xff, 0x00, 0x00};
    out.push_back({"2x2", BuildBmp(example)});
    return out;
}

bool Save(const fs::path& dir, const std::string& name, const Bytes& bytes) {
    fs::create_directories(dir);
    cbmp::testing::WriteFileBytes((dir / name).string(), bytes);
    return fs::file_size(dir / name) == bytes.size();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
        return 2;
    }
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        return 1;
    }
    const fs::path root(argv[1]);
    bool ok = true;

    for (const Named& p : Payloads()) {
        const Bytes stream = Stream(p.bytes);
        const auto size = static_cast<std::uint32_t>(p.bytes.size());
        ok &= Save(root / "decoder", p.name, WithDeclaredSize(size, stream));
        Bytes raw = {0};
        raw.insert(raw.end(), p.bytes.begin(), p.bytes.end());
        ok &= Save(root / "round_trip", p.name, raw);
        if (size > 8) {
            const Bytes cut(stream.begin(), stream.begin() + static_cast<long>(stream.size() / 2));
            ok &= Save(root / "decoder", p.name + "-cut", WithDeclaredSize(size, cut));
            ok &= Save(root / "decoder", p.name + "-short", WithDeclaredSize(size / 2, stream));
            ok &= Save(root / "decoder", p.name + "-long", WithDeclaredSize(size + 1, stream));
        }
    }
    // Tiled payloads: a short seed repeated past the window (length field 0x8C6F: 38,400 bytes)
    // and past the first progress step (0xFFFF: 70,000 bytes).
    ok &= Save(root / "round_trip", "tiled-abcdefg",
               Bytes{1, 0x8C, 0x6F, 3, 'A', 'B', 'C', 'D', 'E', 'F', 'G'});
    Bytes tiled = {1, 0xFF, 0xFF, 5};
    const Bytes text = cbmp::testing::RandomText(4000, 6, 9);
    tiled.insert(tiled.end(), text.begin(), text.end());
    ok &= Save(root / "round_trip", "tiled-text", tiled);

    // Bitmaps, and the CBMP files the tool's own core makes of them.
    for (const Named& b : Bitmaps()) {
        ok &= Save(root / "bmp_reader", b.name + ".bmp", b.bytes);
        cbmp::core::Output cbmp = cbmp::core::Output::Memory();
        if (!cbmp::core::Compress(cbmp::core::Input::Memory(b.bytes.data(), b.bytes.size()), cbmp,
                                  cbmp::core::Settings{})
                 .ok()) {
            std::fprintf(stderr, "cannot make %s.cbmp\n", b.name.c_str());
            return 1;
        }
        ok &= Save(root / "cbmp_reader", b.name + ".cbmp",
                   Bytes(cbmp.buffer.get(), cbmp.buffer.get() + cbmp.size));
    }
    return ok ? 0 : 1;
}
