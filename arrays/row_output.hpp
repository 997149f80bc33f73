// SPDX-License-Identifier: MIT
// RowOutput: a kernel output that stores each value into one row of a
// float64 array, through the row's stride in bytes (any stride, aligned or
// not), so the kernel writes the result array or the caller's `out` directly.
#pragma once

#include <cstddef>
#include <cstring>

namespace tarnwick::arrays {

class RowOutput {
  public:
    RowOutput(char* first, std::ptrdiff_t stride) noexcept : first_(first), stride_(stride) {}

    void start(std::size_t) noexcept {}
    void put(std::size_t i, double value) noexcept {
        std::memcpy(first_ + static_cast<std::ptrdiff_t>(i) * stride_, &value, sizeof value);
    }
    [[nodiscard]] char* first() const noexcept { return first_; }
    [[nodiscard]] std::ptrdiff_t stride() const noexcept { return stride_; }

  private:
    char* first_;
    std::ptrdiff_t stride_;
};

} // namespace tarnwick::arrays
