// SPDX-License-Identifier: MIT
// tarnwick_arrays' GARCH(1,1) estimation: garch11_loglik, garch11_fit and
// garch11_forecast, one series or one per row of a panel
// (indicators/garch11_fit.hpp).
#pragma once

#include <Python.h>

namespace tarnwick::arrays {

// The functions' records, ended by a null record.
[[nodiscard]] PyMethodDef* garch_fit_records() noexcept;

// The named tuple garch11_fit returns, created with the module.
[[nodiscard]] PyObject* make_garch11_fit_type() noexcept;

} // namespace tarnwick::arrays
