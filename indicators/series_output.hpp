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

#include <concepts>
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

// An output that may hold its values as arrays of doubles, each value of a
// bar one place after the last bar's: places(i, f) is where value f of bar i
// goes, or null when they do not lie so. A pass that makes its values a run
// of bars at a time in buffers of its own can then make them there instead
// and skip copying them out value by value.
template <class Out>
concept PlacedOutput = requires(const Out& out, std::size_t i) {
    { out.places(i, i) } -> std::same_as<double*>;
};

} // namespace tarnwick
