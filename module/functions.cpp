// SPDX-License-Identifier: MIT
// The binding table: one description and one kernel per function. Everything
// else about a call (binding, conversion, errors, the result list) is the
// shared frame's.
#include "functions.hpp"

#include "../indicators/adx.hpp"
#include "../indicators/garch11.hpp"
#include "../indicators/parabolic_sar.hpp"
#include "frame.hpp"

#include <string_view>

namespace tarnwick {

namespace {

constexpr std::string_view adx_parameters[] = {"high", "low", "close", "period"};
constexpr FunctionDescription adx_description{"native_adx", adx_parameters, 4};

constexpr std::string_view sar_parameters[] = {"high", "low", "af_step", "af_max"};
constexpr FunctionDescription sar_description{"native_parabolic_sar", sar_parameters, 4};

constexpr std::string_view garch11_parameters[] = {"returns", "omega", "alpha", "beta"};
constexpr FunctionDescription garch11_description{"native_garch11_variance", garch11_parameters, 4};

template <const FunctionDescription& D, auto Kernel> PyMethodDef method_record() noexcept {
    // Static functions: the interpreter passes a null self and reports
    // __self__ as None.
    constexpr int flags = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;
    return {D.function_name.data(),
            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<D, Kernel>)), flags,
            text_signature<D>.data()};
}

// Each record must outlive every function object made from it.
PyMethodDef records[] = {
    method_record<adx_description, compute_adx<FloatListOutput>>(),
    method_record<sar_description, compute_parabolic_sar<FloatListOutput>>(),
    method_record<garch11_description, compute_garch11_variance<FloatListOutput>>(),
};

} // namespace

std::span<PyMethodDef> method_records() noexcept {
    return records;
}

} // namespace tarnwick
