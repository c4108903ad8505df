// The codec's processor features against what the kernel reports, and the encoder's and the
// decoder's instruction-set choices against them.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "codec/cpu_features.h"
#include "codec/lz_compress_testing.h"
#include "codec/lz_decompress.h"

namespace cbmp::testing {
namespace {

// The feature flags of the first processor in /proc/cpuinfo; empty when there is none to read.
std::set<std::string> KernelCpuFlags() {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("flags", 0) == 0) {
            std::istringstream words(line.substr(line.find(':') + 1));
            std::set<std::string> flags;
            for (std::string word; words >> word;) {
                flags.insert(word);
            }
            return flags;
        }
    }
    return {};
}

TEST(CpuFeatures, AgreeWithTheKernelsFlags) {
#if !(defined(__x86_64__) || defined(__i386__))
    GTEST_SKIP() << "not an x86 host: no processor feature is detected here";
#else
    const std::set<std::string> flags = KernelCpuFlags();
    if (flags.empty()) {
        GTEST_SKIP() << "/proc/cpuinfo has no flags line to compare with (not Linux?)";
    }
    const CpuFeatures& features = HostCpuFeatures();
    EXPECT_EQ(features.avx2, flags.count("avx2") == 1);
    if (features.fastBmi2) {
        EXPECT_EQ(flags.count("bmi2"), 1u);
    }
    if (flags.count("bmi2") == 0) {
        EXPECT_FALSE(features.fastBmi2);
    }
#endif
}

TEST(CpuFeatures, DecideTheEncodersAndTheDecodersChoices) {
    const CpuFeatures& features = HostCpuFeatures();
    EXPECT_TRUE(MatchScanAvailable(MatchScan::kPortable));
    EXPECT_TRUE(MatchScanAvailable(MatchScan::kBest));
    EXPECT_TRUE(LiteralGatherAvailable(LiteralGather::kPortable));
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    EXPECT_EQ(MatchScanAvailable(MatchScan::kAvx2), features.avx2);
    EXPECT_EQ(LiteralGatherAvailable(LiteralGather::kBmi2), features.fastBmi2);
#else
    // Elsewhere neither wide path is compiled in, whatever the processor has.
    (void)features;
    EXPECT_FALSE(LiteralGatherAvailable(LiteralGather::kBmi2));
#endif
}

}  // namespace
}  // namespace cbmp::testing
