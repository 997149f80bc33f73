// SPDX-License-Identifier: MIT
// The functions of tarnwick_arrays, one per indicator of the catalogue
// (binding/catalogue.hpp), named after its stem, with its keyword-only
// options (array_options.hpp) and the catalogue's summary as documentation.
// The life of one call:
//
//   bind     as tarnwick binds (arguments.hpp), plus the options.
//   unwrap   pandas, polars or Arrow columns given for any series are read as
//            numpy arrays by tarnwick_frames, in the bound call (columns.hpp),
//            which then goes on as one given arrays and has its result
//            wrapped as its first series was.
//   convert  each parameter in declaration order, as tarnwick converts it,
//            the first failure winning; numpy arrays are read through their
//            buffer, float64 rows in place (array_series.hpp).
//   agree    the series have one dimension each, or the same two.
//   options  each in declaration order, knowing that shape.
//   ready    `out` is exported and checked against that shape, or the result
//            is created; from then on no code of the caller's runs until the
//            kernel is done (destination.hpp).
//   compute  the kernel on each row, with the interpreter lock released for
//            all but small inputs: nothing in the loop touches a Python
//            object, and the arrays read and written are kept from being
//            resized meanwhile (resize_guard.hpp). A kernel refuses the
//            first row or none, with tarnwick's ValueError.
//   release  buffers and converted inputs, by their destructors.
#include "functions.hpp"
#include "nan_scan.hpp"

#include "../binding/converted_arguments.hpp"
#include "../binding/float_series.hpp"
#include "../binding/py_ref.hpp"
#include "../binding/text.hpp"
#include "../ndarray/array_arguments.hpp"
#include "../ndarray/array_series.hpp"
#include "../ndarray/destination.hpp"
#include "../ndarray/row_output.hpp"
#include "array_options.hpp"
#include "chunks.hpp"
#include "columns.hpp"
#include "group_rows.hpp"
#include "groups.hpp"
#include "lane_rows.hpp"
#include "module_state.hpp"
#include "per_series.hpp"
#include "series_walk.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <functional>
#include <iterator>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>

namespace tarnwick::arrays {

namespace {

// How many values the indicator gives per bar: one, or one per name of its
// `outputs`, returned as a named tuple with no `out`.
template <class I> constexpr std::size_t outputs_of_entry() noexcept {
    if constexpr (requires { I::outputs.size(); }) {
        return I::outputs.size();
    } else {
        return 1;
    }
}

// The keyword-only options of indicator `I`: `out` when it gives one value
// per bar, `seed` when it can start from a given seed (GARCH: a number or one
// per series), then `axis`, `nan_policy` and `by`.
template <class I>
using OptionsOf =
    std::conditional_t<requires(RowOutput& out) {
        I::seeded_kernel(out, 0.0, std::span<const double>{}, 0.0, 0.0, 0.0);
    }, Options<OutOption, PerSeriesSeedOption, AxisOption, PolicyOption, ByOption>,
                       std::conditional_t<outputs_of_entry<I>() == 1,
                                          Options<OutOption, AxisOption, PolicyOption, ByOption>,
                                          Options<AxisOption, PolicyOption, ByOption>>>;

// The named tuple of the fields of a stack of results (Destination), each
// field a view of its own array in the stack; steals `stack`.
PyObject* fields_of(PyObject* type, PyObject* stack, std::size_t fields) noexcept {
    const OwnedRef owned = OwnedRef::steal(stack);
    if (!owned) {
        return nullptr;
    }
    const OwnedRef values = OwnedRef::steal(PyTuple_New(static_cast<Py_ssize_t>(fields)));
    if (!values) {
        return nullptr;
    }
    for (std::size_t f = 0; f < fields; ++f) {
        PyObject* field = PySequence_GetItem(owned.get(), static_cast<Py_ssize_t>(f));
        if (field == nullptr) {
            return nullptr;
        }
        if (PyTuple_SetItem(values.get(), static_cast<Py_ssize_t>(f), field) < 0) {
            return nullptr;
        }
    }
    return PyObject_Call(type, values.get(), nullptr);
}

template <class I> constexpr std::size_t series_parameters() noexcept {
    std::size_t n = 0;
    for (const Parameter& p : I::parameters) {
        n += p.kind == Kind::series ? 1 : 0;
    }
    return n;
}

// How many of the series in `values`, of `shape`, hold a NaN: the rows, or
// the columns when `by_column`. Rows are scanned up to their first NaN;
// columns in one pass over the rows, marking `marks` (room for a mark per
// column, or none when that room could not be had: then every column counts).
std::size_t series_holding_nan(std::span<const double> values, const Shape& shape, bool by_column,
                               FloatSeries& marks) noexcept {
    const std::size_t length = shape.columns;
    std::size_t count = 0;
    if (!by_column || shape.ndim == 1) {
        for (std::size_t r = 0; r < (shape.ndim == 1 ? 1 : shape.rows); ++r) {
            const std::span<const double> row = values.subspan(r * length, length);
            count += holds_nan(row) ? 1U : 0U;
        }
        return count;
    }
    if (!marks.try_resize_uninitialized(length)) {
        return length;
    }
    std::fill_n(marks.data(), length, 0.0);
    for (std::size_t r = 0; r < shape.rows; ++r) {
        for (std::size_t c = 0; c < length; ++c) {
            const double v = values[r * length + c];
            marks.data()[c] = v != v ? 1.0 : marks.data()[c];
        }
    }
    for (const double mark : marks.view()) {
        count += mark != 0.0 ? 1U : 0U;
    }
    return count;
}

// The stack level of the caller's own line for a warning: 1 is the code
// calling the function; the frames of tarnwick_frames, which hand a pandas,
// polars or Arrow call on, are passed over.
int caller_stack_level() noexcept {
    constexpr std::string_view frames = "tarnwick_frames";
    int level = 1;
    OwnedRef frame = OwnedRef::borrow(reinterpret_cast<PyObject*>(PyEval_GetFrame()));
    while (frame && frame.get() != Py_None) {
        const OwnedRef globals = OwnedRef::steal(PyObject_GetAttrString(frame.get(), "f_globals"));
        PyObject* module = globals && PyDict_Check(globals.get())
                               ? PyDict_GetItemString(globals.get(), "__name__")
                               : nullptr;
        Py_ssize_t size = 0;
        const char* text =
            module && PyUnicode_Check(module) ? PyUnicode_AsUTF8AndSize(module, &size) : nullptr;
        const std::string_view name =
            text ? std::string_view(text, static_cast<std::size_t>(size)) : std::string_view();
        if (!name.starts_with(frames) ||
            (name.size() != frames.size() && name[frames.size()] != '.')) {
            break;
        }
        ++level;
        frame = OwnedRef::steal(PyObject_GetAttrString(frame.get(), "f_back"));
    }
    PyErr_Clear();
    return level;
}

// A NaN return makes the mean of the squared returns NaN, and the recursion
// then starts from the 1e-8 fallback, far below the returns' variance: the
// RuntimeWarning numpy gives for a reduction made NaN, pointing at the
// caller's line. False when the warning was turned into an exception.
bool warn_of_nan_seed(std::string_view function, std::size_t holding, const Shape& shape,
                      bool by_column) noexcept {
    if (holding == 0) {
        return true;
    }
    Text message = call_message(function);
    if (shape.ndim == 1) {
        message += "'returns' holds NaN, so its seed";
    } else {
        append_decimal(message, holding);
        message += " of ";
        append_decimal(message, by_column ? shape.columns : shape.rows);
        message += holding == 1 ? " series of 'returns' holds NaN, so its seed"
                                : " series of 'returns' hold NaN, so their seeds";
    }
    message += " (the mean of the squared returns) fell back to 1e-8; drop the NaN bars first "
               "(returns.dropna()) or pass nan_policy='omit'";
    message += '\0';
    return PyErr_WarnEx(PyExc_RuntimeWarning, message.view().data(), caller_stack_level()) == 0;
}

// The seed of a function that takes none.
const std::optional<PerSeries> no_seed;

// Whether any number of the call is given one per series, each such array checked to hold one
// value per series, in the parameters' order, the seed last. With `by`, the
// series are the groups of its keys: a number is refused one per series.
// Each number's values go to `values` (null for a number given once), in
// the scalar parameters' order, the seed last, for the lanes.
template <class Converted>
CallResult<bool> numbers_per_series(const FunctionDescription& d, const Converted& converted,
                                    const std::optional<PerSeries>& seeds, std::size_t series,
                                    PyObject* by, std::span<const double*> values) noexcept {
    bool any = false;
    CallStatus status = CallStatus::ok();
    const auto check = [&](std::string_view name, const PerSeries& p, const double*& into) {
        if (status.failed() || !p.is_array) {
            return;
        }
        any = true;
        into = p.values.view().data();
        if (by != nullptr) {
            Text message = call_message(d.function_name);
            message += '\'';
            message += name;
            message += "' cannot be given one per series with by=, whose series are the "
                       "groups of its keys: give a number";
            status = CallError::pending(PyExc_ValueError, std::move(message));
        } else {
            status = check_per_series(p, d.function_name, name, series);
        }
    };
    const std::size_t first_scalar = d.required_count - (values.size() - 1);
    converted.for_each_scalar([&](std::size_t i, const auto& held) {
        if constexpr (std::is_same_v<std::remove_cvref_t<decltype(held)>, PerSeries>) {
            check(d.parameter_names[i], held, values[i - first_scalar]);
        }
    });
    if (seeds) {
        check(PerSeriesSeedOption::name, *seeds, values.back());
    }
    if (status.failed()) {
        return std::move(status.error());
    }
    return any;
}

// One call of indicator `I`, described by `D`, on its bound `slots` (its
// parameters, then its options), every series an array or a sequence.
template <class I, const FunctionDescription& D>
PyObject* run(ModuleState& state, std::span<PyObject* const> slots) noexcept {
    static_assert(I::parameters[0].kind == Kind::series,
                  "the result takes its shape from the series");
    using Declared = OptionsOf<I>;
    constexpr bool seeded = Declared::template declares<PerSeriesSeedOption>;
    constexpr std::size_t fields = outputs_of_entry<I>();
    constexpr std::size_t series_count = series_parameters<I>();
    const std::span<PyObject* const> given = slots.subspan(I::parameters.size());
    const ArrayContext context{D.function_name, state.ndarray,
                               pieces_in_place(Declared::template given<OutOption>(given),
                                               Declared::template given<AxisOption>(given),
                                               Declared::template given<PolicyOption>(given),
                                               Declared::template given<ByOption>(given))};

    typename ArgumentsOf<ReportWhenCopyFails, ToArraySeries, I, ToPerSeries>::type converted;
    if (CallStatus status = converted.convert(D, slots.data(), context); status.failed()) {
        return raised(std::move(status.error()));
    }
    CallResult<Shape> agreed = agreed_shape(D, converted);
    if (agreed.failed()) {
        return raised(std::move(agreed.error()));
    }
    const Shape shape = agreed.value();
    Declared options;
    if (CallStatus status =
            options.convert(given, OptionContext{D, shape, converted, state.ndarray});
        status.failed()) {
        return raised(std::move(status.error()));
    }
    PyObject* const out = options.template value_or<OutOption>(nullptr);
    const bool by_column = options.template value<AxisOption>();
    const NanPolicy policy = options.template value<PolicyOption>();
    PyObject* const by = options.template value<ByOption>();
    const std::optional<PerSeries>& seeds = [&]() -> const std::optional<PerSeries>& {
        if constexpr (seeded) {
            return options.template value<PerSeriesSeedOption>();
        } else {
            return no_seed;
        }
    }();
    std::array<const double*, I::parameters.size() - series_count + 1> numbers{};
    CallResult<bool> per_series = numbers_per_series(D, converted, seeds,
                                                     shape.ndim == 1 ? 1
                                                     : by_column     ? shape.columns
                                                                     : shape.rows,
                                                     by, numbers);
    if (per_series.failed()) {
        return raised(std::move(per_series.error()));
    }
    // One seed for every series, as the groups and chunks take it; the lanes
    // take the seeds one per series too.
    const std::optional<double> seed = seeds ? std::optional(seeds->at(0)) : std::nullopt;
    std::array<std::span<const double>, series_count> inputs{};
    converted.for_each_series(
        [&](std::size_t i, const ArraySeries& series) { inputs[i] = series.all_values(); });
    // The series still read in pieces (rows or chunks), each null if whole.
    std::array<const Pieces*, series_count> pieces{};
    converted.for_each_series([&](std::size_t i, const ArraySeries& series) {
        pieces[i] = series.in_pieces() ? &series.pieces() : nullptr;
    });
    // A long table's rows, one series per key of `by`. Series of unequal
    // lengths are left whole, for the kernel to refuse as without it.
    Groups groups;
    const bool grouped =
        by != nullptr && std::ranges::all_of(inputs, [&](std::span<const double> values) {
            return values.size() == inputs[0].size();
        });
    if (grouped) {
        if (CallStatus made =
                group_rows(state, D.function_name, by, inputs[0].size(), converted, groups);
            made.failed()) {
            return raised(std::move(made.error()));
        }
        // Copied inputs live elsewhere now, when the keys ran Python code.
        converted.for_each_series(
            [&](std::size_t i, const ArraySeries& series) { inputs[i] = series.all_values(); });
    }
    if (policy == NanPolicy::raise) {
        if (CallStatus clean = refuse_nan(D.function_name, D.parameter_names, inputs, shape);
            clean.failed()) {
            return raised(std::move(clean.error()));
        }
    }
    if constexpr (seeded) {
        if (!seed && policy == NanPolicy::propagate) {
            FloatSeries marks;
            // Each group is a series of its own, warned of as a row is.
            const bool gather = grouped && !groups.together();
            const bool room = !gather || marks.try_resize_uninitialized(inputs[0].size());
            if (gather && room) {
                groups.gather(inputs[0], marks.data());
            }
            const std::size_t holding =
                pieces[0] != nullptr ? pieces_holding_nan(*pieces[0], shape)
                : !grouped           ? series_holding_nan(inputs[0], shape, by_column, marks)
                : room               ? groups.holding_nan(gather ? marks.data() : inputs[0].data())
                                     : groups.count();
            const Shape warned = grouped ? Shape{2, groups.count(), 0} : shape;
            if (!warn_of_nan_seed(D.function_name, holding, warned, by_column)) {
                return nullptr;
            }
        }
    }
    // From here to the end of the kernel no code of the caller's runs.
    Destination destination;
    if (CallStatus ready =
            destination.prepare(state, D.function_name, out, shape, inputs, converted, fields);
        ready.failed()) {
        return raised(std::move(ready.error()));
    }
    if (converted.copies_failed()) {
        return raised(no_memory_for_copy(D.function_name));
    }
    // Copied inputs live elsewhere now.
    converted.for_each_series(
        [&](std::size_t i, const ArraySeries& series) { inputs[i] = series.all_values(); });
    // Grouped, the walk takes one group at a time, the longest at most.
    SeriesWalk<series_count, fields> walk(grouped ? Shape{1, 1, groups.longest()} : shape,
                                          by_column, policy, inputs);
    walk.read_pieces(pieces);
    if (CallStatus room = walk.make_room(D.function_name); room.failed()) {
        return raised(std::move(room.error()));
    }
    Scratch gathered;
    if (grouped && !room_for_groups<series_count>(gathered, groups, inputs[0].size(), fields)) {
        return raised(no_memory_for_copy(D.function_name));
    }

    const bool release_lock = shape.rows * shape.columns >= release_lock_from;
    ResizeGuard guard;
    if (release_lock) {
        if (CallStatus held = guard_against_resize(guard, converted, destination, state.ndarray);
            held.failed()) {
            return raised(std::move(held.error()));
        }
    }
    PyThreadState* saved = release_lock ? PyEval_SaveThread() : nullptr;
    // Series `r` of the call, with its own numbers where they are given one
    // per series.
    const auto one = [&](RowOutput& o, const auto& series, std::size_t r) {
        if constexpr (seeded) {
            if (seed) {
                return converted.compute_with(
                    [&](RowOutput& into, auto... arguments) noexcept {
                        return I::seeded_kernel(into, seeds->at(r), arguments...);
                    },
                    o, series, r);
            }
        }
        return converted.compute_with(I::template kernel<RowOutput>, o, series, r);
    };
    // Many series at once in vector lanes, each with its own numbers where
    // they are given one per series; the rest, or all, one at a time.
    const std::size_t in_lanes =
        !grouped && (walk.by_column() || rows_take_lanes<I>(seed, per_series.value())) &&
                walk.lanes_take_all_bars()
            ? series_in_lanes<I>(converted, destination, shape, walk.by_column(), seed, pieces,
                                 per_series.value() ? numbers.data() : nullptr)
            : 0;
    const KernelStatus computed = [&] {
        if (grouped) {
            return run_groups<I>(converted, groups, inputs, gathered, walk, seed, destination, one);
        }
        if (shape.ndim == 1 && std::ranges::any_of(pieces, std::identity{})) {
            return run_chunks<I>(converted, destination.row(0), seed, inputs, pieces);
        }
        return walk.run(destination, in_lanes, one);
    }();
    if (saved != nullptr) {
        PyEval_RestoreThread(saved);
    }
    if (computed.failed()) {
        return raised(CallError::pending(PyExc_ValueError, Text(message(computed.error()))));
    }
    if constexpr (fields > 1) {
        return fields_of(state.tuples[position_of<I>(ArrayCatalogue{})], destination.release(),
                         fields);
    }
    return destination.release();
}

// What every array function shares: the inputs, the keywords and the result.
constexpr std::string_view inputs_text =
    "\n\nEach series is a numpy array of 1 or 2 dimensions (any real dtype, any strides),\n"
    "a pandas or polars Series or DataFrame, a pandas Index or array, a pyarrow Array\n"
    "or ChunkedArray, or an object exporting __arrow_c_array__ or __arrow_c_stream__;\n"
    "all of one shape. Its values are numbers (bool, integer, floating, decimal); dates,\n"
    "durations and text are refused as tarnwick refuses them. A 2-D array holds one\n"
    "series per row, or per column with axis=0; a DataFrame holds one series per\n"
    "column, and a 2-D array beside it is read the same way. Row by row the values\n"
    "are bit for bit those of the tarnwick function.\n";
constexpr std::string_view out_text =
    "\n"
    "out: a writable float64 ndarray of the result's shape (a frame's own shape),\n"
    "filled and returned.\n";
constexpr std::string_view keywords_text =
    "axis: the time axis of a 2-D ndarray, -1 (the default) or 0; with a DataFrame\n"
    "only 0 (or -2), the frame's dates down its rows, or none.\n"
    "nan_policy: 'propagate' (the default) gives NaN bars to the recursion as they\n"
    "are; 'omit' passes over every bar where any series is NaN or null: that bar's\n"
    "result is NaN and the recursion goes on from the last bar present; 'raise'\n"
    "refuses NaN. A null (pd.NA, a polars or Arrow null) is refused unless omitted.\n";
constexpr std::string_view by_text =
    "by: the group key of each bar of 1-D series (a long table, one row per symbol\n"
    "and date): a numpy array of integers, text or objects, a pandas Series or\n"
    "Categorical, a polars or Arrow column. Each key's bars, in the order they come\n"
    "(sorted or not), are one series, bit for bit as that series alone; the result\n"
    "is in the rows' order. A null key is refused.\n";
constexpr std::string_view returns_text =
    "\n"
    "Returns float64 values of the inputs' shape in the first series' container: an\n"
    "ndarray (for a pandas Index or array too), a pandas Series on its index, a\n"
    "DataFrame with its index and columns, a polars Series or DataFrame, a pyarrow\n"
    "array. A pandas index of dates must run oldest first.";
constexpr std::string_view example_heading = "\n\nExample:\n\n";

constexpr std::string_view fields_text =
    "\n"
    "Each field of the named tuple is float64 values of the inputs' shape in the first\n"
    "series' container, as the single-valued functions return them: an ndarray (the\n"
    "fields of one call are views of one stacked array), a pandas Series on its index\n"
    "named after the field, a DataFrame with its index and columns, a polars Series or\n"
    "DataFrame, a pyarrow array.";

template <class I> struct ArrayFunction {
    using Declared = OptionsOf<I>;
    static constexpr bool takes_seed = Declared::template declares<PerSeriesSeedOption>;
    static constexpr bool single = outputs_of_entry<I>() == 1;
    static constexpr std::string_view usage_out =
        Declared::template declares<OutOption> ? out_text : "\n";
    static constexpr std::string_view usage_returns = single ? returns_text : fields_text;

    static constexpr std::string_view seed_text =
        takes_seed
            ? "\n\nomega, alpha, beta and seed are each a number, or a 1-D ndarray of one per "
              "series\n(per row, or per column with axis=0; not with by=), as garch11_fit "
              "gives them for a\npanel: each series is then bit for bit that series alone "
              "with its own numbers."
              "\n\nseed, when given, is the variance the recursion starts from instead of "
              "the mean\nof the squared returns (under the same 1e-8 rule): a "
              "tarnwick_stream.Garch11Variance\nopened on returns[:m] and fed the rest "
              "gives\ngarch11_variance(returns, omega, alpha, beta, seed=stream.seed). "
              "Without it, NaN returns\n(a leading one from pct_change()) make that mean "
              "NaN: the seed falls back to 1e-8,\nwith a RuntimeWarning; dropna() them or "
              "pass nan_policy='omit'."
            : "";
    static constexpr auto documentation =
        joined<I::summary.size() + seed_text.size() + inputs_text.size() + usage_out.size() +
               keywords_text.size() + by_text.size() + usage_returns.size() +
               example_heading.size() + I::array_example.size()>(
            I::summary, seed_text, inputs_text, usage_out, keywords_text, by_text, usage_returns,
            example_heading, I::array_example);
    // The parameters, then the options.
    static constexpr auto parameter_names =
        Declared::after([]<std::size_t... J>(std::index_sequence<J...>) {
            return std::array<std::string_view, sizeof...(J)>{I::parameters[J].name...};
        }(std::make_index_sequence<I::parameters.size()>{}));
    static constexpr auto name = joined<I::stem.size()>(I::stem, "");
    static constexpr FunctionDescription description{
        .function_name = name.view(),
        .parameter_names = parameter_names,
        .required_count = I::parameters.size(),
        .keyword_only_count = Declared::count,
        .documentation = documentation.view(),
        .keyword_defaults = Declared::defaults,
    };

    static PyMethodDef record() noexcept {
        return bound_record<description, series_parameters<I>(), &run<I, description>>();
    }
};

template <class... I> auto records_of(IndicatorList<I...>) noexcept {
    return std::array<PyMethodDef, sizeof...(I) + 1>{ArrayFunction<I>::record()...,
                                                     PyMethodDef{nullptr, nullptr, 0, nullptr}};
}

// Each record must outlive every function object made from it.
auto records = records_of(ArrayCatalogue{});

// The named tuple type of entry `I`, made by collections.namedtuple as a
// class of tarnwick_arrays, if it gives several values per bar.
template <class I>
int add_tuple_type(PyObject* module, PyObject* namedtuple, ModuleState& state) noexcept {
    if constexpr (outputs_of_entry<I>() == 1) {
        return 0;
    } else {
        const OwnedRef fields =
            OwnedRef::steal(PyTuple_New(static_cast<Py_ssize_t>(I::outputs.size())));
        if (!fields) {
            return -1;
        }
        for (std::size_t f = 0; f < I::outputs.size(); ++f) {
            PyObject* name = PyUnicode_FromStringAndSize(
                I::outputs[f].data(), static_cast<Py_ssize_t>(I::outputs[f].size()));
            if (name == nullptr) {
                return -1;
            }
            if (PyTuple_SetItem(fields.get(), static_cast<Py_ssize_t>(f), name) < 0) {
                return -1;
            }
        }
        const OwnedRef name = OwnedRef::steal(PyUnicode_FromStringAndSize(
            I::tuple_name.data(), static_cast<Py_ssize_t>(I::tuple_name.size())));
        const OwnedRef type = OwnedRef::steal(
            name ? PyObject_CallFunctionObjArgs(namedtuple, name.get(), fields.get(), nullptr)
                 : nullptr);
        if (!type) {
            return -1;
        }
        const OwnedRef module_name = OwnedRef::steal(PyUnicode_FromString("tarnwick_arrays"));
        if (!module_name ||
            PyObject_SetAttrString(type.get(), "__module__", module_name.get()) < 0 ||
            PyModule_AddObjectRef(module, I::tuple_name.data(), type.get()) < 0) {
            return -1;
        }
        state.tuples[position_of<I>(ArrayCatalogue{})] = OwnedRef::borrow(type.get()).release();
        return 0;
    }
}

// A tuple of the texts given, or null with an exception set.
template <class Texts> PyObject* text_tuple(const Texts& texts) noexcept {
    OwnedRef tuple = OwnedRef::steal(PyTuple_New(static_cast<Py_ssize_t>(std::size(texts))));
    for (std::size_t k = 0; tuple && k < std::size(texts); ++k) {
        const std::string_view text = texts[k];
        PyObject* item =
            PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
        if (item == nullptr || PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(k), item) < 0) {
            return nullptr;
        }
    }
    return tuple.release();
}

// Entry `I` as data: (stem, ((name, kind), ...), outputs, type_name), its
// outputs () where it gives one value; a real the array function also takes
// one per series is of kind "real or one per series".
template <class I> PyObject* described() noexcept {
    static constexpr std::string_view kinds[] = {"series", "real", "count"};
    OwnedRef parameters =
        OwnedRef::steal(PyTuple_New(static_cast<Py_ssize_t>(I::parameters.size())));
    for (std::size_t k = 0; parameters && k < I::parameters.size(); ++k) {
        const Parameter& p = I::parameters[k];
        const std::array<std::string_view, 2> pair = {
            p.name,
            p.per_series ? "real or one per series" : kinds[static_cast<std::size_t>(p.kind)]};
        PyObject* item = text_tuple(pair);
        if (item == nullptr ||
            PyTuple_SetItem(parameters.get(), static_cast<Py_ssize_t>(k), item) < 0) {
            return nullptr;
        }
    }
    const OwnedRef outputs = [] {
        if constexpr (outputs_of_entry<I>() == 1) {
            return OwnedRef::steal(PyTuple_New(0));
        } else {
            return OwnedRef::steal(text_tuple(I::outputs));
        }
    }();
    const OwnedRef stem = OwnedRef::steal(
        PyUnicode_FromStringAndSize(I::stem.data(), static_cast<Py_ssize_t>(I::stem.size())));
    const OwnedRef type_name = OwnedRef::steal(PyUnicode_FromStringAndSize(
        I::type_name.data(), static_cast<Py_ssize_t>(I::type_name.size())));
    if (!parameters || !outputs || !stem || !type_name) {
        return nullptr;
    }
    return PyTuple_Pack(4, stem.get(), parameters.get(), outputs.get(), type_name.get());
}

} // namespace

int add_catalogue(PyObject* module) noexcept {
    return [&]<class... I>(IndicatorList<I...>) {
        PyObject* (*const entries[])() noexcept = {&described<I>...};
        const OwnedRef catalogue = OwnedRef::steal(PyTuple_New(sizeof...(I)));
        for (std::size_t k = 0; catalogue && k < sizeof...(I); ++k) {
            PyObject* entry = entries[k]();
            if (entry == nullptr ||
                PyTuple_SetItem(catalogue.get(), static_cast<Py_ssize_t>(k), entry) < 0) {
                return -1;
            }
        }
        return catalogue ? PyModule_AddObjectRef(module, "_catalogue", catalogue.get()) : -1;
    }(ArrayCatalogue{});
}

PyMethodDef* method_records() noexcept {
    return records.data();
}

int add_tuple_types(PyObject* module, ModuleState& state) noexcept {
    const OwnedRef collections = OwnedRef::steal(PyImport_ImportModule("collections"));
    const OwnedRef namedtuple = OwnedRef::steal(
        collections ? PyObject_GetAttrString(collections.get(), "namedtuple") : nullptr);
    if (!namedtuple) {
        return -1;
    }
    return [&]<class... I>(IndicatorList<I...>) {
        int status = 0;
        (void)(((status = add_tuple_type<I>(module, namedtuple.get(), state)) == 0) && ...);
        return status;
    }(ArrayCatalogue{});
}

} // namespace tarnwick::arrays
