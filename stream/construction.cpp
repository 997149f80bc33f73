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

// numpy's array type if numpy is imported (null, with no error, if not),
// or null with the error of keeping it.
OwnedRef imported_ndarray(PyTypeObject* type) noexcept {
    PyObject* numpy = PyDict_GetItemString(PyImport_GetModuleDict(), "numpy");
    if (numpy == nullptr || numpy == Py_None) {
        return {};
    }
    return numpy_array_type(type);
}

// Checks that a number given as an array (`p`, named `name`) has one value
// per symbol: a stream of one series (`symbols` 0) takes none.
CallStatus number_fits(const arrays::PerSeries& p, std::string_view function, std::string_view name,
                       std::size_t symbols) noexcept {
    if (symbols > 0) {
        return arrays::check_per_series(p, function, name, symbols);
    }
    Text message = arrays::call_message(function);
    message += '\'';
    message += name;
    message += "' has shape ";
    arrays::append_shape(message, p.shape);
    message += ", but a stream of one series takes a number: give symbols= for one per symbol";
    return value_error(std::move(message));
}

} // namespace tarnwick::stream
