// SPDX-License-Identifier: MIT
#include "float_series.hpp"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

namespace tarnwick {

namespace {

constexpr std::size_t max_elements = std::numeric_limits<std::ptrdiff_t>::max() / sizeof(double);

} // namespace

void FloatSeries::take(FloatSeries& other) noexcept {
    if (other.is_inline()) {
        std::memcpy(inline_, other.inline_, other.size_ * sizeof(double));
        data_ = inline_;
        capacity_ = inline_capacity;
    } else {
        data_ = std::exchange(other.data_, other.inline_);
        capacity_ = std::exchange(other.capacity_, inline_capacity);
    }
    size_ = std::exchange(other.size_, 0);
}

FloatSeries::FloatSeries(FloatSeries&& other) noexcept {
    take(other);
}

FloatSeries& FloatSeries::operator=(FloatSeries&& other) noexcept {
    if (this != &other) {
        if (!is_inline()) {
            std::free(data_);
        }
        take(other);
    }
    return *this;
}

FloatSeries::~FloatSeries() {
    if (!is_inline()) {
        std::free(data_);
    }
}

bool FloatSeries::try_reserve(std::size_t capacity, std::size_t& failed_bytes) noexcept {
    if (capacity <= capacity_) {
        return true;
    }
    if (capacity > max_elements) {
        failed_bytes = 0;
        return false;
    }
    const std::size_t bytes = capacity * sizeof(double);
    void* grown = is_inline() ? std::malloc(bytes) : std::realloc(data_, bytes);
    if (grown == nullptr) {
        failed_bytes = bytes;
        return false;
    }
    if (is_inline()) {
        std::memcpy(grown, inline_, size_ * sizeof(double));
    }
    data_ = static_cast<double*>(grown);
    capacity_ = capacity;
    return true;
}

bool FloatSeries::try_resize_uninitialized(std::size_t n) noexcept {
    std::size_t failed_bytes = 0;
    if (!try_reserve(n, failed_bytes)) {
        return false;
    }
    size_ = n;
    return true;
}

bool FloatSeries::try_grow(std::size_t& failed_bytes) noexcept {
    const std::size_t doubled = capacity_ > max_elements / 2 ? max_elements + 1 : capacity_ * 2;
    return try_reserve(doubled < 4 ? 4 : doubled, failed_bytes);
}

} // namespace tarnwick
