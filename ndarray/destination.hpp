// SPDX-License-Identifier: MIT
// Destination: where the rows of an array call's result are written, a new
// C-contiguous float64 array or the caller's `out`.
//
// The memory a kernel writes is the memory that was validated: the one
// export of the array that the call holds until it returns, checked as it
// was exported (an ndarray subclass may export whatever its __buffer__
// gives). It is made ready after every input is converted, so that no code
// of the caller's (an item's __float__) can resize it between its check and
// the kernel. Exporting a subclass's `out` may run its code, so the inputs
// read in place are copied first; a new result is created with the
// collector held off, so that no finalizer can run then either.
#pragma once

#include "../binding/buffer_export.hpp"
#include "../binding/py_ref.hpp"
#include "array_series.hpp"
#include "numpy_type.hpp"
#include "row_output.hpp"

#include <Python.h>

#include <optional>
#include <span>
#include <string_view>

namespace tarnwick::arrays {

class Destination {
  public:
    Destination() noexcept = default;
    Destination(const Destination&) = delete;
    Destination& operator=(const Destination&) = delete;

    // Once the inputs are converted and their shapes agree on `shape`:
    // exports `out` (null when the caller gave none or None) or creates the
    // result, and returns the error that makes it unusable, if any.
    // `inputs` are the values of every series argument; those read in place
    // are copied if `out` overlaps any of them. An indicator of `fields`
    // values per bar (> 1, with no `out`) has a stack of as many results,
    // one C-contiguous array of shape (fields, *shape).
    [[nodiscard]] CallStatus prepare(const NumpyState& numpy, std::string_view function,
                                     PyObject* out, const Shape& shape,
                                     std::span<const std::span<const double>> inputs,
                                     InPlaceSeries& in_place, std::size_t fields = 1) noexcept;

    [[nodiscard]] RowOutput row(std::size_t r) const noexcept;

    // The array written, once prepared.
    [[nodiscard]] PyObject* array() const noexcept { return array_.get(); }

    // The filled array, as a new reference.
    [[nodiscard]] PyObject* release() noexcept;

  private:
    [[nodiscard]] CallStatus take_out(const NumpyState& numpy, std::string_view function,
                                      PyObject* out, const Shape& shape,
                                      InPlaceSeries& in_place) noexcept;
    [[nodiscard]] CallStatus create(const NumpyState& numpy, std::string_view function,
                                    const Shape& shape) noexcept;
    [[nodiscard]] bool overlaps(std::span<const std::span<const double>> inputs) const noexcept;

    OwnedRef array_;
    BufferExport buffer_;
    std::size_t fields_ = 1;
};

} // namespace tarnwick::arrays
