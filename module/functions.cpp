// SPDX-License-Identifier: MIT
// tarnwick's functions: one per indicator of the catalogue, in its order,
// named native_<stem>, with the catalogue's parameters and no documentation
// beyond the text signature. Everything about a call (binding, conversion,
// errors, the result list) is the life of a call in binding/list_call.hpp.
#include "functions.hpp"

#include "../binding/list_call.hpp"

#include <array>
#include <string_view>

namespace tarnwick {

namespace {

template <class I> struct TarnwickFunction {
    static constexpr std::string_view prefix = "native_";
    static constexpr auto name = joined<prefix.size() + I::stem.size()>(prefix, I::stem);
    static constexpr auto parameter_names = []<std::size_t... J>(std::index_sequence<J...>) {
        return std::array<std::string_view, sizeof...(J)>{I::parameters[J].name...};
    }(std::make_index_sequence<I::parameters.size()>{});
    static constexpr FunctionDescription description{
        .function_name = name.view(),
        .parameter_names = parameter_names,
        .required_count = parameter_names.size(),
    };

    static PyMethodDef record() noexcept {
        // Static functions: the interpreter passes a null self and reports
        // __self__ as None.
        return {description.function_name.data(),
                reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<I, description>)),
                METH_FASTCALL | METH_KEYWORDS | METH_STATIC, docstring<description>.data()};
    }
};

template <class... I> auto records_of(IndicatorList<I...>) noexcept {
    return std::array<PyMethodDef, sizeof...(I)>{TarnwickFunction<I>::record()...};
}

// Each record must outlive every function object made from it.
auto records = records_of(Catalogue{});

} // namespace

std::span<PyMethodDef> method_records() noexcept {
    return records;
}

} // namespace tarnwick
