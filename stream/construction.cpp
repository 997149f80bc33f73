// SPDX-License-Identifier: MIT
// The parts of making a stream that do not depend on its indicator.
#include "construction.hpp"

#include "../binding/arguments.hpp"
#include "../ndarray/numpy_type.hpp"
#include "stream.hpp"

#include <Python.h>

#include <utility>

namespace tarnwick::stream {

// The number of symbols: 0 for None (one series), else a count > 0.
CallResult<std::size_t> symbols_of(PyObject* o, InPlaceSeries& none) noexcept {
    if (o == nullptr || o == Py_None) {
        return std::size_t{0};
    }
    CallResult<std::uint64_t> count = extract_index(o, "symbols", none);
    if (count.failed()) {
        return std::move(count.error());
    }
    if (count.value() == 0) {
        return value_error("symbols must be > 0");
    }
    if (count.value() > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
        return CallError::pending(PyExc_MemoryError, "symbols: too many to hold");
    }
    return static_cast<std::size_t>(count.value());
}

// numpy's array type, imported when the first stream of many symbols is made
// and kept in the module's state.
OwnedRef numpy_array_type(PyTypeObject* type) noexcept {
    PyObject* module = PyType_GetModule(type);
    if (module == nullptr) {
        return {};
    }
    return arrays::kept_ndarray(
        state_of(module).numpy, "tarnwick_stream",
        "a tarnwick_stream stream of many symbols needs numpy: pip install 'tarnwick[arrays]'");
}

} // namespace tarnwick::stream
