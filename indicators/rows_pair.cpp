// SPDX-License-Identifier: MIT
// Two rows at once in the two-lane code of lanes.hpp: SSE2 on x86, NEON on
// aarch64, built with the target's baseline instructions.
#include "lane_kernels.hpp"
#include "lanes.hpp"

namespace tarnwick {

namespace {

struct PairLanes {
    using V = lanes::f64x2;
    static constexpr std::size_t width = 2;
    TARNWICK_LANE_INLINE static V load(const double* p) noexcept { return lanes::load(p); }
    TARNWICK_LANE_INLINE static void store(double* p, V a) noexcept { lanes::store(p, a); }
    TARNWICK_LANE_INLINE static V splat(double x) noexcept { return lanes::broadcast(x); }
    TARNWICK_LANE_INLINE static void transpose(V* square) noexcept {
        const V first = square[0];
        square[0] = lanes::pair(lanes::first_lane(first), lanes::first_lane(square[1]));
        square[1] = lanes::pair(lanes::second_lane(first), lanes::second_lane(square[1]));
    }
};

} // namespace

extern const LaneKernels pair_lane_kernels = lane_rows::Entries<PairLanes, 4>::kernels;

} // namespace tarnwick
