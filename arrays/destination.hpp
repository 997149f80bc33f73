// SPDX-License-Identifier: MIT
// Destination: where the rows of an array call's result are written, a new
// C-contiguous float64 array or the caller's `out`.
//
// A kernel may read float64 inputs in place only if no Python code can run
// between their conversion and the end of the kernel, and creating an array
// can start a garbage collection, which runs finalizers. So the destination
// is made ready before any input is converted: `out` is exported, or a result
// shaped like the first series argument is created. Only if the result turns
// out to need another shape are the inputs read in place copied before it is
// created.
#pragma once

#include "array_series.hpp"
#include "module_state.hpp"
#include "row_output.hpp"

#include "../module/py_ref.hpp"

#include <Python.h>

#include <optional>
#include <span>
#include <string_view>

namespace tarnwick::arrays {

class Destination {
  public:
    // `out` is null when the caller gave none (or None); `first_series` is
    // the argument of the first series parameter.
    Destination(const ModuleState& state, std::string_view function, PyObject* out,
                PyObject* first_series) noexcept;
    Destination(const Destination&) = delete;
    Destination& operator=(const Destination&) = delete;
    ~Destination() { release_view(); }

    // Once the inputs are converted and their shapes agree on `shape`:
    // the error that makes `out` unusable, or nothing once rows can be
    // written. `inputs` are the values of every series argument; those
    // read in place are copied if `out` overlaps any input.
    [[nodiscard]] std::optional<CallError> ready(const Shape& shape,
                                                 std::span<const std::span<const double>> inputs,
                                                 InPlaceSeries& in_place) noexcept;

    [[nodiscard]] RowOutput row(std::size_t r) const noexcept;

    // The filled array, as a new reference.
    [[nodiscard]] PyObject* release() noexcept;

  private:
    void take_out(PyObject* out) noexcept;
    void create(const Shape& shape) noexcept;
    void release_view() noexcept;
    [[nodiscard]] bool overlaps(std::span<const std::span<const double>> inputs) const noexcept;

    const ModuleState& state_;
    std::string_view function_;
    bool is_out_;
    OwnedRef array_;
    Py_buffer view_{};
    bool viewing_ = false;
    std::optional<CallError> error_; // why the destination cannot be written
};

} // namespace tarnwick::arrays
