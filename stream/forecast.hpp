// SPDX-License-Identifier: MIT
// Garch11Variance.forecast: the variance of the periods ahead, from the
// stream's last variance.
#pragma once

#include "../binding/catalogue.hpp"

#include <Python.h>

#include <type_traits>

namespace tarnwick::stream {

// Garch11Variance.forecast(horizon): the variance of the next `horizon`
// periods from the last variance, by garch11_forecast (as
// tarnwick_arrays.garch11_forecast); a list, or a list per symbol.
PyObject* garch11_stream_forecast(PyObject* self, PyObject* horizon) noexcept;

template <class I> constexpr PyMethodDef forecast_record() noexcept {
    if constexpr (std::is_same_v<I, TARNWICK_TARGET::Garch11VarianceIndicator>) {
        return {"forecast", reinterpret_cast<PyCFunction>(&garch11_stream_forecast), METH_O,
                "forecast($self, horizon, /)\n--\n\nThe variance of the next `horizon` periods "
                "from the "
                "last variance:\nf[1] = the last value, f[k+1] = max(0, f[k] * beta + (alpha * "
                "f[k] + omega)),\nthe values of tarnwick_arrays.garch11_forecast (NaN before the "
                "first return).\nA list, or with symbols=N a list per symbol."};
    } else {
        return {nullptr, nullptr, 0, nullptr};
    }
}

} // namespace tarnwick::stream
