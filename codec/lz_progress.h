// How the encoder and the decoder tell their caller how far they are. The codec never prints: a
// front end turns these reports into console lines, or ignores them.
#pragma once

#include <cstdint>

namespace cbmp {

enum class LzEvent {
    kStart,  // before the first token; pos is 0
    kStep,   // a token starts at pos, a multiple of 65,536 (always at 0)
    kEnd,    // the run is over, however it ended; pos is size
};

struct LzProgress {
    void (*report)(void* context, LzEvent event, std::uint32_t pos, std::uint32_t size) = nullptr;
    void* context = nullptr;
};

// Reports through `progress`, which may be null (a silent run).
inline void Report(const LzProgress* progress, LzEvent event, std::uint32_t pos,
                   std::uint32_t size) {
    if (progress != nullptr && progress->report != nullptr) {
        progress->report(progress->context, event, pos, size);
    }
}

}  // namespace cbmp
