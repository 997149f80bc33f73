// SPDX-License-Identifier: MIT
// Two rows at once in the two-lane code of lanes.hpp: SSE2 on x86, NEON on
// aarch64, built with the target's baseline instructions.
#include "lane_kernels.hpp"
#include "lanes.hpp"

namespace tarnwick {

extern const LaneKernels pair_lane_kernels =
    baseline::lane_kernels_of<baseline::lanes::PairLanes, 4>(baseline::ArrayCatalogue{});

} // namespace tarnwick
