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
    [[nodiscard]] static V load(const double* p) noexcept { return lanes::load(p); }
    static void store(double* p, V a) noexcept { lanes::store(p, a); }
    [[nodiscard]] static V splat(double x) noexcept { return lanes::broadcast(x); }
};

} // namespace

extern const LaneKernels pair_lane_kernels = lane_rows::Entries<PairLanes>::kernels;

} // namespace tarnwick
