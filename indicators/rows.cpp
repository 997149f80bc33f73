// SPDX-License-Identifier: MIT
#include "rows.hpp"

#include "lanes.hpp"

#include <atomic>
#include <cstdlib>
#include <cstring>

#if defined(TARNWICK_ROWS_X86_64)
#if defined(_MSC_VER) && !defined(__clang__)
#include <immintrin.h>
#include <intrin.h>
#else
#include <cpuid.h>
#endif
#endif

namespace tarnwick {

extern const LaneKernels pair_lane_kernels;
#if defined(TARNWICK_ROWS_X86_64)
extern const LaneKernels avx2_lane_kernels;
extern const LaneKernels avx512_lane_kernels;
#endif

namespace {

#if defined(TARNWICK_ROWS_X86_64)
// CPUID leaf `leaf` (subleaf 0): eax, ebx, ecx, edx.
struct CpuId {
    unsigned int r[4];
};
CpuId cpuid(unsigned int leaf) noexcept {
    CpuId id{};
#if defined(_MSC_VER) && !defined(__clang__)
    int r[4];
    __cpuidex(r, static_cast<int>(leaf), 0);
    for (int i = 0; i < 4; ++i) {
        id.r[i] = static_cast<unsigned int>(r[i]);
    }
#else
    __cpuid_count(leaf, 0, id.r[0], id.r[1], id.r[2], id.r[3]);
#endif
    return id;
}

// The register state the operating system saves on a context switch (XCR0).
unsigned long long saved_state() noexcept {
#if defined(_MSC_VER) && !defined(__clang__)
    return _xgetbv(0);
#else
    unsigned int low = 0;
    unsigned int high = 0;
    __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (static_cast<unsigned long long>(high) << 32) | low;
#endif
}

// What the processor has and the operating system saves: AVX needs the
// SSE and AVX state (XCR0 bits 1 and 2), AVX-512 the opmask and upper ZMM
// state too (bits 5 to 7). Read with CPUID itself, which needs no runtime
// library's processor model.
struct Extensions {
    bool avx2 = false;
    bool avx512 = false;
};
Extensions extensions() noexcept {
    Extensions found;
    if (cpuid(0).r[0] < 7) {
        return found;
    }
    const unsigned int ecx = cpuid(1).r[2];
    if ((ecx & (1u << 27)) == 0 || (ecx & (1u << 28)) == 0) { // OSXSAVE, AVX
        return found;
    }
    const unsigned long long xcr0 = saved_state();
    const unsigned int ebx = cpuid(7).r[1];
    found.avx2 = (xcr0 & 0x6) == 0x6 && (ebx & (1u << 5)) != 0;
    found.avx512 = found.avx2 && (xcr0 & 0xe6) == 0xe6 && (ebx & (1u << 16)) != 0;
    return found;
}
#endif

// The widest path this processor runs.
LanePath best_path() noexcept {
#if defined(TARNWICK_ROWS_X86_64)
    const Extensions found = extensions();
    if (found.avx512) {
        return LanePath::avx512;
    }
    return found.avx2 ? LanePath::avx2 : LanePath::sse2;
#elif defined(TARNWICK_LANES_NEON)
    return LanePath::neon;
#elif defined(TARNWICK_LANES_SSE2)
    return LanePath::sse2;
#else
    return LanePath::scalar;
#endif
}

#if defined(TARNWICK_LANES_NEON)
constexpr LanePath two_lane_path = LanePath::neon;
#else
constexpr LanePath two_lane_path = LanePath::sse2;
#endif

// Wider is higher; the two-lane paths rank alike.
int rank(LanePath path) noexcept {
    switch (path) {
    case LanePath::scalar:
        return 0;
    case LanePath::sse2:
    case LanePath::neon:
        return 1;
    case LanePath::avx2:
        return 2;
    case LanePath::avx512:
        return 3;
    }
    return 0;
}

constexpr struct {
    const char* name;
    LanePath path;
} path_names[] = {{"scalar", LanePath::scalar},
                  {"sse2", LanePath::sse2},
                  {"neon", LanePath::neon},
                  {"avx2", LanePath::avx2},
                  {"avx512", LanePath::avx512}};

// Unless asked, the widest path, but never the two-lane one: two lanes
// measured slower than the one-series kernels, whose own two-lane steps
// already overlap the serial chains. TARNWICK_LANES may ask for any path up
// to the widest, two lanes included; a name it does not know, or a wider
// path, leaves the default.
LanePath chosen_path() noexcept {
    const LanePath best = best_path();
    const LanePath fallback = rank(best) == 1 ? LanePath::scalar : best;
    const char* asked = std::getenv("TARNWICK_LANES");
    if (asked == nullptr) {
        return fallback;
    }
    for (const auto& [name, path] : path_names) {
        if (std::strcmp(asked, name) == 0) {
            if (rank(path) > rank(best)) {
                return fallback;
            }
            return rank(path) == 1 ? two_lane_path : path;
        }
    }
    return fallback;
}

const LaneKernels* kernels_of(LanePath path) noexcept {
    switch (path) {
    case LanePath::scalar:
        return nullptr;
    case LanePath::sse2:
    case LanePath::neon:
        return &pair_lane_kernels;
#if defined(TARNWICK_ROWS_X86_64)
    case LanePath::avx2:
        return &avx2_lane_kernels;
    case LanePath::avx512:
        return &avx512_lane_kernels;
#else
    case LanePath::avx2:
    case LanePath::avx512:
        return nullptr;
#endif
    }
    return nullptr;
}

// The rows of whole blocks of lanes, for `run` on them; how many it did.
template <class Run> std::size_t whole_blocks(const RowBlock& block, Run run) noexcept {
    const LaneKernels* kernels = kernels_of(lane_path());
    if (kernels == nullptr || block.rows < kernels->lanes) {
        return 0;
    }
    RowBlock whole = block;
    whole.rows -= block.rows % kernels->lanes;
    return run(*kernels, whole);
}

} // namespace

LanePath lane_path() noexcept {
    // Chosen once; threads that race here all choose the same.
    static std::atomic<int> chosen{-1};
    int path = chosen.load(std::memory_order_relaxed);
    if (path < 0) {
        path = static_cast<int>(chosen_path());
        chosen.store(path, std::memory_order_relaxed);
    }
    return static_cast<LanePath>(path);
}

const LaneKernels* lane_kernels(LanePath path) noexcept {
    return rank(path) <= rank(best_path()) && (path == two_lane_path || rank(path) != 1)
               ? kernels_of(path)
               : nullptr;
}

const char* name_of(LanePath path) noexcept {
    for (const auto& [name, named] : path_names) {
        if (named == path) {
            return name;
        }
    }
    return "scalar";
}

std::size_t lanes_of(LanePath path) noexcept {
    const LaneKernels* kernels = kernels_of(path);
    return kernels == nullptr ? 1 : kernels->lanes;
}

std::size_t compute_rows(const RowBlock& block, std::size_t entry, const void* settings) noexcept {
    return whole_blocks(block, [&](const LaneKernels& k, const RowBlock& b) {
        return k.entries[entry](b, settings);
    });
}

} // namespace tarnwick
