// Splits a compressed stream into its tokens, so tests can state which tokens an input gives
// without depending on the decoder under test.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace cbmp::testing {

struct Token {
    bool match = false;
    std::uint8_t literal = 0;
    std::uint32_t distance = 0;
    std::uint32_t length = 0;
    std::uint32_t start = 0;  // output position where the token starts

    bool operator==(const Token&) const = default;
};

struct ParsedStream {
    std::uint32_t declaredSize = 0;
    std::vector<Token> tokens;
    std::uint64_t endBits = 0;  // bits up to and including the 17-bit end marker
};

inline Token Lit(char c) {
    return Token{false, static_cast<std::uint8_t>(c), 0, 0, 0};
}
inline Token Match(std::uint32_t distance, std::uint32_t length) {
    return Token{true, 0, distance, length, 0};
}

// Reads the stream bit by bit, LSB first. Returns nothing when it is malformed: it runs out
// before the end marker, or its padding after the marker is not zero bits.
inline std::optional<ParsedStream> ParseStream(const std::uint8_t* data, std::size_t size) {
    std::uint64_t bit = 0;
    const std::uint64_t limit = std::uint64_t{size} * 8;
    auto get = [&](unsigned width, std::uint32_t& value) {
        if (limit - bit < width) {
            return false;
        }
        value = 0;
        for (unsigned i = 0; i < width; ++i, ++bit) {
            value |= static_cast<std::uint32_t>((data[bit / 8] >> (bit % 8)) & 1u) << i;
        }
        return true;
    };
    ParsedStream parsed;
    if (!get(32, parsed.declaredSize)) {
        return std::nullopt;
    }
    std::uint32_t out = 0;
    for (;;) {
        std::uint32_t flag = 0;
        std::uint32_t field = 0;
        if (!get(1, flag)) {
            return std::nullopt;
        }
        if (flag == 0) {
            if (!get(8, field)) {
                return std::nullopt;
            }
            parsed.tokens.push_back(Token{false, static_cast<std::uint8_t>(field), 0, 0, out});
            out += 1;
            continue;
        }
        if (!get(15, field)) {
            return std::nullopt;
        }
        if (field == 0) {
            std::uint32_t last = 0;
            if (!get(1, last) || last != 0) {
                return std::nullopt;
            }
            break;
        }
        const std::uint32_t distance = field + 1;
        if (!get(8, field)) {
            return std::nullopt;
        }
        parsed.tokens.push_back(Token{true, 0, distance, field + 3, out});
        out += field + 3;
    }
    parsed.endBits = bit;
    // The stream ends at the byte holding the marker's last bit, padded with zero bits.
    if ((bit + 7) / 8 != size) {
        return std::nullopt;
    }
    for (; bit < limit; ++bit) {
        if ((data[bit / 8] >> (bit % 8)) & 1u) {
            return std::nullopt;
        }
    }
    return parsed;
}

// The tokens without their start positions, for comparison with Lit()/Match() lists.
inline std::vector<Token> Shapes(const ParsedStream& parsed) {
    std::vector<Token> out = parsed.tokens;
    for (auto& t : out) {
        t.start = 0;
    }
    return out;
}

}  // namespace cbmp::testing
