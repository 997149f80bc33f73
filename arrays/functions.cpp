// SPDX-License-Identifier: MIT
// The function table of tarnwick_arrays, and the life of one call:
//
//   bind     as tarnwick binds (arguments.hpp), plus the keyword-only `out`.
//   convert  each parameter in declaration order, as tarnwick converts it,
//            the first failure winning; numpy arrays are read through their
//            buffer, float64 rows in place (array_series.hpp).
//   agree    the series have one dimension each, or the same two.
//   ready    `out` is exported and checked against that shape, or the result
//            is created; from then on no code of the caller's runs until the
//            kernel is done (destination.hpp).
//   compute  the kernel on each row, with the interpreter lock released for
//            all but small inputs: nothing in the loop touches a Python
//            object. A kernel refuses the first row or none, with tarnwick's
//            ValueError.
//   release  buffers and converted inputs, by their destructors.
#include "functions.hpp"

#include "../indicators/adx.hpp"
#include "../indicators/garch11.hpp"
#include "../indicators/parabolic_sar.hpp"
#include "../module/arguments.hpp"
#include "../module/call.hpp"
#include "array_series.hpp"
#include "destination.hpp"
#include "module_state.hpp"
#include "row_output.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

namespace tarnwick::arrays {

namespace {

// Below this many values per series argument the kernel runs with the lock
// held: letting it go and taking it back would cost more than the kernel.
constexpr std::size_t release_lock_from = 4096;

// One series or one series per row (extract_array_series); the kernel on
// row r takes row r. Scalars convert as in tarnwick (ToFloat, ToIndex).
struct ToArraySeries {
    using Held = ArraySeries;
    using Passed = std::span<const double>;
};

template <class C> typename C::Passed pass_row(const typename C::Held& held, std::size_t r) {
    if constexpr (std::is_same_v<C, ToArraySeries>) {
        return held.row(r);
    } else {
        return C::pass(held);
    }
}

// The converted arguments of one array call, one slot per parameter but out.
template <class... Conversions> class ArrayArguments final : public InPlaceSeries {
  public:
    std::optional<CallError> convert(const FunctionDescription& d, PyObject* ndarray,
                                     PyObject* const* slots) noexcept {
        return convert_from<0>(d, ndarray, slots);
    }

    // The shape every series agrees on, or the ValueError naming the first
    // series that disagrees with the first: one dimension each (lengths are
    // the kernel's to check, with tarnwick's message), or the same two.
    Extracted<Shape> agreed_shape(const FunctionDescription& d) const noexcept {
        std::optional<Shape> first;
        std::optional<CallError> error;
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            (agree(d, I, std::get<I>(held_), first, error), ...);
        }(std::index_sequence_for<Conversions...>{});
        if (error) {
            return std::move(*error);
        }
        return *first;
    }

    // The values of every series, for the overlap check against `out`.
    std::array<std::span<const double>, sizeof...(Conversions)> all_values() const noexcept {
        std::array<std::span<const double>, sizeof...(Conversions)> values{};
        [&]<std::size_t... I>(std::index_sequence<I...>) {
            ((values[I] = values_of(std::get<I>(held_))), ...);
        }(std::index_sequence_for<Conversions...>{});
        return values;
    }

    // A MemoryError if an input read in place could not be copied when it
    // had to be (before code of the caller's ran, or for an overlapping out).
    std::optional<CallError> copies_failed(const FunctionDescription& d) const noexcept {
        if (!copy_failed_) {
            return std::nullopt;
        }
        Text message = call_message(d.function_name);
        message += "cannot allocate a copy of an input";
        return CallError::pending(PyExc_MemoryError, std::move(message));
    }

    template <class Kernel>
    Refusal compute(Kernel kernel, RowOutput out, std::size_t r) const noexcept {
        return [&]<std::size_t... I>(std::index_sequence<I...>) {
            return kernel(out, pass_row<Conversions>(*std::get<I>(held_), r)...);
        }(std::index_sequence_for<Conversions...>{});
    }

  private:
    template <std::size_t I>
    std::optional<CallError> convert_from(const FunctionDescription& d, PyObject* ndarray,
                                          PyObject* const* slots) noexcept {
        if constexpr (I == sizeof...(Conversions)) {
            return std::nullopt;
        } else {
            using C = std::tuple_element_t<I, std::tuple<Conversions...>>;
            const std::string_view name = d.parameter_names[I];
            if constexpr (std::is_same_v<C, ToArraySeries>) {
                ArraySeries& series = std::get<I>(held_).emplace();
                if (auto error = extract_array_series_into(series, slots[I], d.function_name, name,
                                                           ndarray, *this)) {
                    return error;
                }
                hold(series.values());
            } else if (auto error = C::convert(std::get<I>(held_), slots[I], name, *this)) {
                return error;
            }
            if (auto error = copies_failed(d)) {
                return error;
            }
            return convert_from<I + 1>(d, ndarray, slots);
        }
    }

    static void agree(const FunctionDescription& d, std::size_t i,
                      const std::optional<ArraySeries>& series, std::optional<Shape>& first,
                      std::optional<CallError>& error) noexcept {
        if (error) {
            return;
        }
        const Shape& shape = series->shape();
        if (!first) {
            first = shape;
            return;
        }
        if (shape.ndim == first->ndim && (shape.ndim == 1 || shape == *first)) {
            return;
        }
        Text message = call_message(d.function_name);
        message += '\'';
        message += d.parameter_names[i];
        message += "' has shape ";
        append_shape(message, shape);
        message += ", but '";
        message += d.parameter_names[0];
        message += "' has shape ";
        append_shape(message, *first);
        error = CallError::pending(PyExc_ValueError, std::move(message));
    }
    template <class Scalar>
    static void agree(const FunctionDescription&, std::size_t, const std::optional<Scalar>&,
                      std::optional<Shape>&, std::optional<CallError>&) noexcept {}

    static std::span<const double> values_of(const std::optional<ArraySeries>& series) noexcept {
        return series->all_values();
    }
    template <class Scalar>
    static std::span<const double> values_of(const std::optional<Scalar>&) noexcept {
        return {};
    }

    void copy_all() noexcept override {
        std::apply([this](auto&... held) { (detach(held), ...); }, held_);
    }
    void detach(std::optional<ArraySeries>& series) noexcept {
        if (series && !series->values().detach()) {
            copy_failed_ = true;
        }
    }
    template <class Scalar> static void detach(std::optional<Scalar>&) noexcept {}

    bool copy_failed_ = false;

    std::tuple<std::optional<typename Conversions::Held>...> held_;
};

PyObject* raise(CallError error) noexcept {
    std::move(error).raise();
    return nullptr;
}

// The fast-call entry of the function that `D` describes, computed row by
// row by `Kernel` (instantiated for RowOutput) from the parameters converted
// as `Conversions` name them; the last parameter of `D` is `out`. The self
// argument is the module.
template <const FunctionDescription& D, auto Kernel, class First, class... Conversions>
PyObject* entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames) noexcept {
    static_assert(std::is_same_v<First, ToArraySeries>,
                  "the result takes its shape from the first parameter, a series");
    constexpr std::size_t count = 1 + sizeof...(Conversions);
    static_assert(count + 1 == D.parameter_names.size() && D.keyword_only_count == 1,
                  "one conversion per parameter, then out");
    using KernelTakingTheConversions =
        Refusal (*)(RowOutput&, typename First::Passed, typename Conversions::Passed...) noexcept;
    static_assert(std::is_same_v<decltype(Kernel), KernelTakingTheConversions>,
                  "the kernel takes what the conversions make, in parameter order");

    std::array<PyObject*, count + 1> slots{};
    if (auto error = extract_arguments_fastcall(D, args, nargs, kwnames, slots)) {
        return raise(std::move(*error));
    }
    const ModuleState& state = state_of(module);
    PyObject* out = slots[count] == Py_None ? nullptr : slots[count];

    ArrayArguments<First, Conversions...> converted;
    if (auto error = converted.convert(D, state.ndarray, slots.data())) {
        return raise(std::move(*error));
    }
    Extracted<Shape> agreed = converted.agreed_shape(D);
    if (auto* error = std::get_if<CallError>(&agreed)) {
        return raise(std::move(*error));
    }
    const Shape shape = std::get<Shape>(agreed);
    const auto inputs = converted.all_values();
    // From here to the end of the kernel no code of the caller's runs.
    Destination destination;
    if (auto error = destination.prepare(state, D.function_name, out, shape, inputs, converted)) {
        return raise(std::move(*error));
    }
    if (auto error = converted.copies_failed(D)) {
        return raise(std::move(*error));
    }

    // With no rows, the kernel still validates the scalar arguments once.
    const std::size_t rows = shape.rows == 0 ? 1 : shape.rows;
    const bool release_lock = shape.rows * shape.columns >= release_lock_from;
    PyThreadState* saved = release_lock ? PyEval_SaveThread() : nullptr;
    Refusal refusal;
    for (std::size_t r = 0; r < rows && !refusal; ++r) {
        refusal = converted.compute(Kernel, destination.row(r), r);
    }
    if (saved != nullptr) {
        PyEval_RestoreThread(saved);
    }
    if (refusal) {
        return raise(CallError::pending(PyExc_ValueError, Text(message(*refusal))));
    }
    return destination.release();
}

constexpr std::string_view adx_parameters[] = {"high", "low", "close", "period", "out"};
constexpr FunctionDescription adx_description{"adx", adx_parameters, 4, 1};

constexpr std::string_view sar_parameters[] = {"high", "low", "af_step", "af_max", "out"};
constexpr FunctionDescription sar_description{"parabolic_sar", sar_parameters, 4, 1};

constexpr std::string_view garch11_parameters[] = {"returns", "omega", "alpha", "beta", "out"};
constexpr FunctionDescription garch11_description{"garch11_variance", garch11_parameters, 4, 1};

template <const FunctionDescription& D, auto Kernel, class... Conversions>
PyMethodDef method_record() noexcept {
    return {D.function_name.data(),
            reinterpret_cast<PyCFunction>(
                reinterpret_cast<void (*)()>(&entry<D, Kernel, Conversions...>)),
            METH_FASTCALL | METH_KEYWORDS, text_signature<D>.data()};
}

// Each record must outlive every function object made from it.
PyMethodDef records[] = {
    method_record<adx_description, compute_adx<RowOutput>, //
                  ToArraySeries, ToArraySeries, ToArraySeries, ToIndex>(),
    method_record<sar_description, compute_parabolic_sar<RowOutput>, //
                  ToArraySeries, ToArraySeries, ToFloat, ToFloat>(),
    method_record<garch11_description, compute_garch11_variance<RowOutput>, //
                  ToArraySeries, ToFloat, ToFloat, ToFloat>(),
    {nullptr, nullptr, 0, nullptr},
};

} // namespace

PyMethodDef* method_records() noexcept {
    return records;
}

} // namespace tarnwick::arrays
