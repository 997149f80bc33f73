// SPDX-License-Identifier: MIT
// The function table: one row per function, in registration order. A row
// names the function's description (its name and parameters), its kernel,
// and the conversion of each parameter in declaration order. Everything else
// about a call (binding, conversion, errors, the result list) is the life of
// a call in call.hpp, which every row shares; the compiler checks that each
// kernel takes what its row's conversions make.
#include "functions.hpp"

#include "../indicators/adx.hpp"
#include "../indicators/garch11.hpp"
#include "../indicators/parabolic_sar.hpp"
#include "call.hpp"

#include <string_view>

namespace tarnwick {

namespace {

constexpr std::string_view adx_parameters[] = {"high", "low", "close", "period"};
constexpr FunctionDescription adx_description{"native_adx", adx_parameters, 4};

constexpr std::string_view sar_parameters[] = {"high", "low", "af_step", "af_max"};
constexpr FunctionDescription sar_description{"native_parabolic_sar", sar_parameters, 4};

constexpr std::string_view garch11_parameters[] = {"returns", "omega", "alpha", "beta"};
constexpr FunctionDescription garch11_description{"native_garch11_variance", garch11_parameters, 4};

template <const FunctionDescription& D, auto Kernel, class... Conversions>
PyMethodDef method_record() noexcept {
    // Static functions: the interpreter passes a null self and reports
    // __self__ as None.
    constexpr int flags = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;
    return {D.function_name.data(),
            reinterpret_cast<PyCFunction>(
                reinterpret_cast<void (*)()>(&entry<D, Kernel, Conversions...>)),
            flags, text_signature<D>.data()};
}

// Each record must outlive every function object made from it.
PyMethodDef records[] = {
    method_record<adx_description, compute_adx<FloatListOutput>, //
                  ToSeries, ToSeries, ToSeries, ToIndex>(),
    method_record<sar_description, compute_parabolic_sar<FloatListOutput>, //
                  ToSeries, ToSeries, ToFloat, ToFloat>(),
    method_record<garch11_description, compute_garch11_variance<FloatListOutput>, //
                  ToSeries, ToFloat, ToFloat, ToFloat>(),
};

} // namespace

std::span<PyMethodDef> method_records() noexcept {
    return records;
}

} // namespace tarnwick
