// SPDX-License-Identifier: MIT
// Where a kernel writes its result: start(n) once, after its inputs have been
// validated, then put(i, value) for every i from 0 to n - 1 in increasing
// order. The kernels are templates over the output so that the caller's work
// on each value (creating a Python float, in the binding layer) is inlined
// into the kernel's loop and overlaps its serial arithmetic, which is bound by
// latency rather than throughput.
#pragma once

// Every kernel writes through this interface, so every kernel is compiled
// under the arithmetic checks there.
#include "ieee_double.hpp"

#include <cstddef>

namespace tarnwick {

// The values of one bar of an indicator that gives several (a step's
// result when its entry has more than one output), in the entry's order.
template <class V, std::size_t N> struct Fields {
    V value[N];
};

// How many values a step's result holds: 1 for a plain value.
template <class T> inline constexpr std::size_t fields_in = 1;
template <class V, std::size_t N> inline constexpr std::size_t fields_in<Fields<V, N>> = N;

template <class Out>
concept SeriesOutput = requires(Out& out, std::size_t i, double value) {
    out.start(i);
    out.put(i, value);
};

} // namespace tarnwick
