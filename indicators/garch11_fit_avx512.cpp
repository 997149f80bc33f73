// SPDX-License-Identifier: MIT
// The GARCH(1,1) fit and likelihoods eight series at a time in AVX-512
// registers. Built with -mavx512f alone (no FMA, and no contraction in any
// case) and chosen only where the processor has AVX-512 (rows.hpp).
#define TARNWICK_TARGET avx512
#include "garch11_fit.hpp"

#if defined(__AVX512F__) && defined(__GNUC__)
#include "garch11_fit_lanes.hpp"
#include "vector_lanes.hpp"

namespace tarnwick {
extern const Garch11WideLanes garch11_avx512_lanes{8, &avx512::fit_rows<avx512::VectorLanes<8>>,
                                                   &avx512::loglik_rows<avx512::VectorLanes<8>>};
} // namespace tarnwick
#else
namespace tarnwick {
extern const Garch11WideLanes garch11_avx512_lanes{8, nullptr, nullptr};
} // namespace tarnwick
#endif
