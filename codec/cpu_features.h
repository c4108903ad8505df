// The codec's instruction-set choices, made once per process: which of the encoder's candidate
// scans and of the decoder's literal gathers this processor runs, and runs well.
#pragma once

namespace cbmp {

struct CpuFeatures {
    bool avx2 = false;      // 256-bit integer vectors: the encoder's 32-lane candidate scan
    bool fastBmi2 = false;  // BMI2 (pext) in hardware, not microcoded: the decoder's gather
};

// This processor's features, detected on the first call (safe from any thread) and never again.
// All false where they cannot be detected or do not exist.
const CpuFeatures& HostCpuFeatures();

}  // namespace cbmp
