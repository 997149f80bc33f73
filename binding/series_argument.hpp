// SPDX-License-Identifier: MIT
// SeriesArgument: the values of one series argument for the length of a call.
// Either converted into a FloatSeries of its own, or, for a buffer of native
// doubles, read in place from the caller's buffer, which stays exported (so
// that a bytearray or array.array cannot be resized) until the argument is
// copied or destroyed.
#pragma once

#include "buffer_export.hpp"
#include "call_error.hpp"
#include "float_series.hpp"

#include <Python.h>

#include <cstddef>
#include <cstring>
#include <span>
#include <utility>

namespace tarnwick {

class SeriesArgument {
  public:
    SeriesArgument() noexcept = default;
    // Held where it was made: it may own a buffer export (buffer_export.hpp).
    SeriesArgument(const SeriesArgument&) = delete;
    SeriesArgument& operator=(const SeriesArgument&) = delete;

    // The storage that values converted item by item go into.
    [[nodiscard]] FloatSeries& owned() noexcept { return owned_; }

    // The export that values read in place come from.
    [[nodiscard]] BufferExport& buffer() noexcept { return buffer_; }

    // Reads `values` in place from buffer(), which must be held and is
    // released when the argument is destroyed or detached.
    void read_in_place(std::span<const double> values) noexcept {
        in_place_ = true;
        in_place_values_ = values;
    }

    [[nodiscard]] std::span<const double> values() const noexcept {
        return in_place_ ? in_place_values_ : owned_.view();
    }
    [[nodiscard]] bool in_place() const noexcept { return in_place_; }
    // The object whose buffer the values are read from, while read in place.
    [[nodiscard]] PyObject* exporter() const noexcept {
        return in_place_ ? buffer_.view().obj : nullptr;
    }

    // Copies values read in place into storage of its own and lets go of the
    // caller's buffer. False, with nothing changed, if that storage cannot be
    // had.
    [[nodiscard]] bool detach() noexcept {
        if (!in_place_) {
            return true;
        }
        if (!owned_.try_resize_uninitialized(in_place_values_.size())) {
            return false;
        }
        if (!in_place_values_.empty()) {
            std::memcpy(owned_.data(), in_place_values_.data(), in_place_values_.size_bytes());
        }
        in_place_ = false;
        in_place_values_ = {};
        buffer_.release();
        return true;
    }

  private:
    FloatSeries owned_;
    BufferExport buffer_;
    bool in_place_ = false;
    std::span<const double> in_place_values_;
};

// The series of one call that are still read in place, as a conversion sees
// them. A conversion that is about to run code of the caller's (an item's
// __float__, an iterator, a metaclass's attribute lookup) calls
// before_python_code() first: that code could write into those buffers, and
// every series must keep the values it had when it was converted, as it would
// had it been copied then. The call that holds the series implements
// copy_all(); holding is a separate step from converting because a series can
// only be registered once it has its place in the call.
class InPlaceSeries {
  public:
    void before_python_code() noexcept {
        if (std::exchange(any_in_place_, false)) {
            copy_all();
        }
    }

    // What a conversion returns when memory for a series' values cannot be
    // had (`bytes`, 0 for a size no allocation can have): tarnwick's
    // functions end the process, tarnwick_arrays and tarnwick_stream return
    // a MemoryError.
    [[nodiscard]] virtual CallError out_of_memory(std::size_t bytes) noexcept = 0;

  protected:
    InPlaceSeries() noexcept = default;
    ~InPlaceSeries() = default;
    void hold(const SeriesArgument& series) noexcept { any_in_place_ |= series.in_place(); }

  private:
    // Detaches every series of the call from the caller's buffer.
    virtual void copy_all() noexcept = 0;

    bool any_in_place_ = false;
};

} // namespace tarnwick
