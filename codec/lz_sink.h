// Where an encoder that streams its output puts the stream: in order, in chunks, from the calling
// thread. The codec never writes files; the caller's sink does (or collects the bytes).
#pragma once

#include <cstddef>
#include <cstdint>

namespace cbmp {

struct LzSink {
    // Takes the next `count` bytes of the stream; false stops the encoder, which then fails.
    bool (*write)(void* context, const std::uint8_t* bytes, std::size_t count) = nullptr;
    void* context = nullptr;
};

}  // namespace cbmp
