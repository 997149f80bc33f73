// SPDX-License-Identifier: MIT
// Two rows at once in the two-lane code of lanes.hpp: SSE2 on x86, NEON on
// aarch64, built with the target's baseline instructions.
#include "lane_kernels.hpp"
#include "lanes.hpp"

namespace tarnwick {

namespace {

struct PairLanes {
    using V = baseline::lanes::f64x2;
    static constexpr std::size_t width = 2;
    TARNWICK_LANE_INLINE static V load(const double* p) noexcept {
        return baseline::lanes::load(p);
    }
    TARNWICK_LANE_INLINE static void store(double* p, V a) noexcept {
        baseline::lanes::store(p, a);
    }
    TARNWICK_LANE_INLINE static V splat(double x) noexcept { return baseline::lanes::broadcast(x); }
    TARNWICK_LANE_INLINE static void transpose(V* square) noexcept {
        using namespace baseline::lanes;
        const V first = square[0];
        square[0] = pair(first_lane(first), first_lane(square[1]));
        square[1] = pair(second_lane(first), second_lane(square[1]));
    }
};

} // namespace

extern const LaneKernels pair_lane_kernels =
    baseline::lane_kernels_of<PairLanes, 4>(baseline::ArrayCatalogue{});

} // namespace tarnwick
