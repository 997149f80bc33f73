// SPDX-License-Identifier: MIT
// Garch11Variance.forecast (forecast.hpp).
#include "forecast.hpp"

#include "../binding/fatal.hpp"
#include "../binding/float_series.hpp"
#include "../binding/py_ref.hpp"
#include "../indicators/garch11_fit.hpp"
#include "object.hpp"

#include <Python.h>

#include <algorithm>
#include <span>

namespace tarnwick::stream {

// Garch11Variance.forecast(horizon): the variance of the next `horizon`
// periods from the last variance, by garch11_forecast (as
// tarnwick_arrays.garch11_forecast); a list, or a list per symbol.
PyObject* garch11_stream_forecast(PyObject* self, PyObject* horizon) noexcept {
    using I = TARNWICK_TARGET::Garch11VarianceIndicator;
    const Py_ssize_t h = PyLong_AsSsize_t(horizon);
    if (h < 0) {
        if (PyErr_Occurred() == nullptr) {
            PyErr_SetString(PyExc_ValueError, "forecast(): horizon must be >= 0");
        }
        return nullptr;
    }
    Stream<I>& s = stream_of<I>(self);
    OwnedRef all = OwnedRef::steal(PyList_New(0));
    if (!all) {
        return nullptr;
    }
    for (std::size_t i = 0; i < s.symbols; ++i) {
        I::State state;
        {
            const Claim claim(s.busy);
            state = s.records[i].state;
        }
        const OwnedRef list = OwnedRef::steal(PyList_New(h));
        if (!list) {
            return nullptr;
        }
        FloatSeries values;
        if (!values.try_resize_uninitialized(static_cast<std::size_t>(h))) {
            return PyErr_NoMemory();
        }
        // Before the first return there is no variance to start from.
        const std::span<double> ahead(values.data(), values.size());
        if (state.bars == 0) {
            std::fill(ahead.begin(), ahead.end(), quiet_nan);
        } else {
            garch11_forecast(ahead, state.variance, settings_of(s, i));
        }
        for (Py_ssize_t k = 0; k < h; ++k) {
            PyList_SetItem(
                list.get(), k,
                created_or_abort(PyFloat_FromDouble(values[static_cast<std::size_t>(k)])));
        }
        if (!s.many) {
            return OwnedRef::borrow(list.get()).release();
        }
        if (PyList_Append(all.get(), list.get()) < 0) {
            return nullptr;
        }
    }
    return all.release();
}

} // namespace tarnwick::stream
