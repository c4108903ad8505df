#include "codec/cpu_features.h"

namespace cbmp {

namespace {

CpuFeatures Detect() {
    CpuFeatures features;
#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
    __builtin_cpu_init();
    features.avx2 = __builtin_cpu_supports("avx2") != 0;
    // AMD's processors before Zen 3 have the instruction, but microcoded and slow.
    features.fastBmi2 = __builtin_cpu_supports("bmi2") != 0 && !__builtin_cpu_is("amdfam15h") &&
                        !__builtin_cpu_is("amdfam17h");
#endif
    return features;
}

}  // namespace

const CpuFeatures& HostCpuFeatures() {
    static const CpuFeatures features = Detect();
    return features;
}

}  // namespace cbmp
