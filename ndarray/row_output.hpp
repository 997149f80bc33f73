// SPDX-License-Identifier: MIT
// RowOutput: a kernel output that stores each value into one row of a
// float64 array, through the row's stride in bytes (any stride, aligned or
// not), so the kernel writes the result array or the caller's `out` directly.
// An indicator of several values per bar (Fields) stores value f of a bar
// `field_stride` bytes after its first, in the row of the next array of a
// stack of results.
#pragma once

#include "../indicators/series_output.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tarnwick::arrays {

class RowOutput {
  public:
    RowOutput(char* first, std::ptrdiff_t stride, std::ptrdiff_t field_stride = 0) noexcept
        : first_(first), stride_(stride), field_stride_(field_stride) {}

    void start(std::size_t) noexcept {}
    void put(std::size_t i, double value) noexcept {
        std::memcpy(first_ + static_cast<std::ptrdiff_t>(i) * stride_, &value, sizeof value);
    }
    template <std::size_t N> void put(std::size_t i, const Fields<double, N>& values) noexcept {
        // The bar's place and the field stride read once, before the first
        // store: a store through a byte pointer may alias this object, so
        // reading them per field would reload and multiply them N times.
        char* const bar = first_ + static_cast<std::ptrdiff_t>(i) * stride_;
        const std::ptrdiff_t field_stride = field_stride_;
        for (std::size_t f = 0; f < N; ++f) {
            std::memcpy(bar + static_cast<std::ptrdiff_t>(f) * field_stride, &values.value[f],
                        sizeof(double));
        }
    }
    // Where value f of bar i lies, if this row's values are adjacent and
    // aligned as doubles (PlacedOutput), else null.
    [[nodiscard]] double* places(std::size_t i, std::size_t f) const noexcept {
        char* const at = first_ + static_cast<std::ptrdiff_t>(i) * stride_ +
                         static_cast<std::ptrdiff_t>(f) * field_stride_;
        const bool aligned = reinterpret_cast<std::uintptr_t>(first_) % alignof(double) == 0 &&
                             field_stride_ % static_cast<std::ptrdiff_t>(alignof(double)) == 0;
        return stride_ == static_cast<std::ptrdiff_t>(sizeof(double)) && aligned
                   ? reinterpret_cast<double*>(at)
                   : nullptr;
    }
    // The row of value f alone.
    [[nodiscard]] RowOutput field(std::size_t f) const noexcept {
        return {first_ + static_cast<std::ptrdiff_t>(f) * field_stride_, stride_};
    }
    [[nodiscard]] char* first() const noexcept { return first_; }
    [[nodiscard]] std::ptrdiff_t stride() const noexcept { return stride_; }
    [[nodiscard]] std::ptrdiff_t field_stride() const noexcept { return field_stride_; }

  private:
    char* first_;
    std::ptrdiff_t stride_;
    std::ptrdiff_t field_stride_;
};

} // namespace tarnwick::arrays
