// SPDX-License-Identifier: MIT
// FloatSeries: an owned, contiguous array of doubles, into which a series
// argument is converted when it cannot be read in place (see
// series_argument.hpp). Short series live inside the object itself, so that
// the fixed cost of a call on a few bars includes no allocation; longer ones
// grow in C malloc storage. Every allocation may fail, and says so: the call
// decides whether exhausted memory ends the process (tarnwick's functions) or
// is a MemoryError.
#pragma once

#include <cstddef>
#include <span>

namespace tarnwick {

class FloatSeries {
  public:
    FloatSeries() noexcept = default;
    FloatSeries(FloatSeries&& other) noexcept;
    FloatSeries& operator=(FloatSeries&& other) noexcept;
    FloatSeries(const FloatSeries&) = delete;
    FloatSeries& operator=(const FloatSeries&) = delete;
    ~FloatSeries();

    // Makes the series n elements long, their values unset, and returns
    // true; or returns false, leaving it as it was, if the memory cannot be
    // had. For callers that report exhausted memory as MemoryError.
    [[nodiscard]] bool try_resize_uninitialized(std::size_t n) noexcept;

    // Grows the capacity to at least `capacity` and returns true; or returns
    // false, changing nothing, with `failed_bytes` set to the allocation that
    // failed (0 for a size no allocation can have).
    [[nodiscard]] bool try_reserve(std::size_t capacity, std::size_t& failed_bytes) noexcept;
    // Appends `value`, or fails as try_reserve does.
    [[nodiscard]] bool try_push_back(double value, std::size_t& failed_bytes) noexcept {
        if (size_ == capacity_ && !try_grow(failed_bytes)) {
            return false;
        }
        data_[size_++] = value;
        return true;
    }

    [[nodiscard]] std::size_t size() const noexcept { return size_; }
    [[nodiscard]] double* data() noexcept { return data_; }
    double& operator[](std::size_t i) noexcept { return data_[i]; }
    [[nodiscard]] std::span<const double> view() const noexcept { return {data_, size_}; }

  private:
    static constexpr std::size_t inline_capacity = 32;

    [[nodiscard]] bool try_grow(std::size_t& failed_bytes) noexcept;
    [[nodiscard]] bool is_inline() const noexcept { return data_ == inline_; }
    // Takes over `other`'s values and leaves it empty.
    void take(FloatSeries& other) noexcept;

    double* data_ = inline_;
    std::size_t size_ = 0;
    std::size_t capacity_ = inline_capacity;
    double inline_[inline_capacity];
};

} // namespace tarnwick
