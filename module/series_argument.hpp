// SPDX-License-Identifier: MIT
// SeriesArgument: the values of one series argument for the length of a call.
// Either read in place from the caller's buffer of native doubles, which the
// argument keeps exported (and so unresizable) until it is destroyed, or
// converted into a FloatSeries of its own.
#pragma once

#include "../indicators/float_series.hpp"

#include <Python.h>

#include <span>
#include <utility>

namespace tarnwick {

class SeriesArgument {
  public:
    explicit SeriesArgument(FloatSeries owned) noexcept
        : owned_(std::move(owned)), values_(owned_.view()) {}

    // Takes over an exported buffer whose items are `values`.
    SeriesArgument(Py_buffer exported, std::span<const double> values) noexcept
        : buffer_(exported), has_buffer_(true), values_(values) {}

    SeriesArgument(SeriesArgument&& other) noexcept
        : owned_(std::move(other.owned_)), buffer_(other.buffer_),
          has_buffer_(std::exchange(other.has_buffer_, false)),
          values_(has_buffer_ ? other.values_ : owned_.view()) {
        other.values_ = {};
    }
    SeriesArgument& operator=(SeriesArgument&&) = delete;
    SeriesArgument(const SeriesArgument&) = delete;
    SeriesArgument& operator=(const SeriesArgument&) = delete;

    ~SeriesArgument() {
        if (has_buffer_) {
            PyBuffer_Release(&buffer_);
        }
    }

    [[nodiscard]] std::span<const double> values() const noexcept { return values_; }

  private:
    FloatSeries owned_;
    Py_buffer buffer_{};
    bool has_buffer_ = false;
    std::span<const double> values_;
};

} // namespace tarnwick
