// SPDX-License-Identifier: MIT
// The life of a call is that of the other array functions (functions.cpp):
// bind with the options (array_options.hpp), have pandas, polars and Arrow
// returns read by tarnwick_frames (columns.hpp), convert, then compute row by
// row with the interpreter lock released for all but small inputs. A
// parameter (omega, alpha, beta, seed) is a number for every row or a 1-D
// ndarray with one per row, so that a panel fit feeds straight back in: it is
// read after the axis and NaN policy, the seed with the others.
#include "garch_fit.hpp"

#include "../binding/arguments.hpp"
#include "../binding/conversion.hpp"
#include "../binding/float_series.hpp"
#include "../binding/text.hpp"
#include "../indicators/garch11_fit.hpp"
#include "../ndarray/array_arguments.hpp"
#include "../ndarray/array_series.hpp"
#include "array_options.hpp"
#include "columns.hpp"
#include "module_state.hpp"
#include "per_series.hpp"
#include "series_walk.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>

namespace tarnwick::arrays {

namespace {

// `n` values, unset; empty when the memory cannot be had, which the caller
// sees as a size other than `n`.
FloatSeries sized(std::size_t n) noexcept {
    FloatSeries values;
    if (!values.try_resize_uninitialized(n)) {
        return FloatSeries();
    }
    return values;
}

// The series of one call, copied out of the caller's buffers before any code
// of the caller's runs (an item's __float__ may resize them).
class Held final : public InPlaceSeries {
  public:
    void add(ArraySeries& series) noexcept {
        held_[count_++] = &series;
        hold(series.values());
    }
    [[nodiscard]] bool copy_failed() const noexcept { return copy_failed_; }

  private:
    void copy_all() noexcept override {
        for (std::size_t i = 0; i < count_; ++i) {
            copy_failed_ = !held_[i]->values().detach() || copy_failed_;
        }
    }
    CallError out_of_memory(std::size_t bytes) noexcept override {
        return ReportWhenCopyFails::out_of_memory(bytes);
    }
    std::array<ArraySeries*, 6> held_{};
    std::size_t count_ = 0;
    bool copy_failed_ = false;
};

CallError value_error(std::string_view function, std::string_view text) noexcept {
    Text message = call_message(function);
    message += text;
    return CallError::pending(PyExc_ValueError, std::move(message));
}

// The returns argument with its axis and NaN policy: series r of the call,
// gathered into a buffer of its own, with NaN bars left out under 'omit'.
struct Panel {
    ArraySeries returns;
    Shape shape;
    bool by_column = false;
    NanPolicy policy = NanPolicy::propagate;

    [[nodiscard]] std::size_t series() const noexcept {
        return by_column ? shape.columns : shape.rows;
    }
    [[nodiscard]] std::size_t length() const noexcept {
        return by_column ? shape.rows : shape.columns;
    }
    // Series r into `buffer` (length() doubles): the present values.
    [[nodiscard]] std::span<const double> gather(std::size_t r, double* buffer) const noexcept {
        const std::span<const double> all = returns.all_values();
        const std::size_t n = length();
        std::size_t kept = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const double v = by_column ? all[i * shape.columns + r] : all[r * n + i];
            if (policy != NanPolicy::omit || v == v) {
                buffer[kept++] = v;
            }
        }
        return {buffer, kept};
    }
};

// The seed as given, read with omega, alpha and beta (read_per_series); null
// when None or left out.
struct RowSeedOption {
    static constexpr std::string_view name = SeedOption::name;
    static constexpr std::string_view default_text = SeedOption::default_text;
    using Value = PyObject*;
    static CallResult<Value> convert(PyObject* given, const OptionContext&) noexcept {
        return given == Py_None ? nullptr : given;
    }
};

// The keyword-only parameters of garch11_loglik and garch11_fit.
using PanelOptions = Options<RowSeedOption, AxisOption, PolicyOption>;

// The returns, slots[0], with the options that follow the function's
// `parameters` slots.
CallStatus read_panel(Panel& panel, PanelOptions& options, const FunctionDescription& d,
                      std::span<PyObject* const> slots, std::size_t parameters,
                      const ModuleState& state, Held& held) noexcept {
    if (CallStatus read = extract_array_series_into(panel.returns, slots[0], d.function_name,
                                                    "returns", state.ndarray, held);
        read.failed()) {
        return read;
    }
    held.add(panel.returns);
    panel.shape = panel.returns.shape();
    if (CallStatus read =
            options.convert(slots.subspan(parameters), OptionContext{d, panel.shape, held});
        read.failed()) {
        return read;
    }
    panel.by_column = options.value<AxisOption>();
    panel.policy = options.value<PolicyOption>();
    return CallStatus::ok();
}

// A panel's series for the kernels, with the weights and seeds given for
// them (null where none were).
class PanelRows final : public Garch11Rows {
  public:
    PanelRows(const Panel& panel, const PerSeries* weights, const PerSeries* seed) noexcept
        : panel_(panel), weights_(weights), seed_(seed) {}
    std::size_t count() const noexcept override { return panel_.series(); }
    std::size_t longest() const noexcept override { return panel_.length(); }
    bool one_length() const noexcept override { return panel_.policy != NanPolicy::omit; }
    std::span<const double> row(std::size_t r, double* buffer) const noexcept override {
        return panel_.gather(r, buffer);
    }
    Garch11Parameters parameters(std::size_t r) const noexcept override {
        const auto weight = [&](std::size_t k) {
            return weights_ != nullptr ? weights_[k].at(r) : quiet_nan;
        };
        return {weight(0), weight(1), weight(2), seed_ != nullptr,
                seed_ != nullptr ? seed_->at(r) : 0.0};
    }

  private:
    const Panel& panel_;
    const PerSeries* weights_;
    const PerSeries* seed_;
};

CallStatus refuse_nan_in(const Panel& panel, std::string_view function) noexcept {
    if (panel.policy != NanPolicy::raise) {
        return CallStatus::ok();
    }
    constexpr std::array<std::string_view, 1> names{"returns"};
    const std::array<std::span<const double>, 1> inputs{panel.returns.all_values()};
    return refuse_nan(function, names, inputs, panel.shape);
}

// A new ndarray of `n` items of `dtype` (a numpy dtype name), or null with
// the error set.
OwnedRef new_array(const ModuleState& state, std::size_t n, const char* dtype) noexcept {
    const OwnedRef shape = OwnedRef::steal(Py_BuildValue("(n)", static_cast<Py_ssize_t>(n)));
    const OwnedRef keywords = OwnedRef::steal(Py_BuildValue("{ss}", "dtype", dtype));
    if (!shape || !keywords) {
        return {};
    }
    const OwnedRef arguments = OwnedRef::steal(PyTuple_Pack(1, shape.get()));
    if (!arguments) {
        return {};
    }
    return OwnedRef::steal(PyObject_Call(state.ndarray, arguments.get(), keywords.get()));
}

// A new 1-D ndarray of `dtype` whose item i is convert(values[i]), or null
// with the error set.
template <class Item, class Convert>
OwnedRef array_of(const ModuleState& state, std::span<const double> values, const char* dtype,
                  Convert convert) noexcept {
    OwnedRef array = new_array(state, values.size(), dtype);
    if (!array) {
        return array;
    }
    BufferExport buffer;
    if (!buffer.acquire(array.get(), PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS)) {
        return {};
    }
    auto* items = static_cast<Item*>(buffer.view().buf);
    for (std::size_t i = 0; i < values.size(); ++i) {
        items[i] = convert(values[i]);
    }
    return array;
}

OwnedRef float_array(const ModuleState& state, std::span<const double> values) noexcept {
    return array_of<double>(state, values, "float64", [](double v) { return v; });
}

// garch11_loglik(returns, omega, alpha, beta, *, seed=None, axis=-1, nan_policy='propagate')
constexpr std::array<std::string_view, 4> loglik_parameters{"returns", "omega", "alpha", "beta"};
constexpr auto loglik_names = PanelOptions::after(loglik_parameters);
constexpr FunctionDescription loglik_description{
    .function_name = "garch11_loglik",
    .parameter_names = loglik_names,
    .required_count = loglik_parameters.size(),
    .keyword_only_count = PanelOptions::count,
    .documentation =
        "Gaussian log-likelihood of zero-mean returns under GARCH(1,1):\n"
        "-0.5 * sum over t, in index order, of (log(2 pi) + log(s[t])) + (r[t] * r[t]) / s[t],\n"
        "where s[0] is the seed and s[t+1] the variance garch11_variance gives after r[t].\n"
        "log is the module's own, the same bits on every platform.\n"
        "\n"
        "omega, alpha, beta and seed are numbers, or 1-D arrays with one value per\n"
        "series (a panel fit's fields). seed defaults to the mean of the squared\n"
        "returns (the 1e-8 rule of garch11_variance applies to both). axis and\n"
        "nan_policy as in garch11_variance ('omit' drops NaN returns).\n"
        "\n"
        "Returns a float for one series, a float64 array (one per series) for a panel.\n"
        "\n"
        "Example:\n"
        "\n"
        ">>> import numpy as np, tarnwick_arrays as ta\n"
        ">>> r = np.array([0.01, -0.02, 0.015, 0.003])\n"
        ">>> round(ta.garch11_loglik(r, 1e-05, 0.1, 0.85), 6)\n"
        "11.466446",
    .keyword_defaults = PanelOptions::defaults,
};

PyObject* run_loglik(ModuleState& state, std::span<PyObject* const> slots) noexcept {
    constexpr std::string_view function = "garch11_loglik";
    Held held;
    Panel panel;
    PanelOptions options;
    if (CallStatus read = read_panel(panel, options, loglik_description, slots,
                                     loglik_parameters.size(), state, held);
        read.failed()) {
        return raised(std::move(read.error()));
    }
    PyObject* const seed = options.value<RowSeedOption>();
    const bool seeded = seed != nullptr;
    // omega, alpha, beta, then the seed.
    const std::array<PyObject*, 4> given{slots[1], slots[2], slots[3], seed};
    std::array<PerSeries, 4> p;
    for (std::size_t i = 0; i < 4; ++i) {
        if (given[i] == nullptr) {
            continue;
        }
        if (CallStatus read =
                read_per_series(p[i], given[i], function, loglik_names[i + 1], state.ndarray, held);
            read.failed()) {
            return raised(std::move(read.error()));
        }
    }
    const std::size_t series = panel.series();
    for (std::size_t i = 0; i < 4; ++i) {
        if (CallStatus fits = check_per_series(p[i], function, loglik_names[i + 1], series);
            fits.failed()) {
            return raised(std::move(fits.error()));
        }
    }
    if (CallStatus clean = refuse_nan_in(panel, function); clean.failed()) {
        return raised(std::move(clean.error()));
    }
    FloatSeries result = sized(series);
    FloatSeries scratch = sized(garch11_rows_scratch(panel.length()));
    if (held.copy_failed() || result.size() != series ||
        scratch.size() != garch11_rows_scratch(panel.length())) {
        return raised(no_memory_for_copy(function));
    }
    const bool release_lock = series * panel.length() >= release_lock_from;
    PyThreadState* saved = release_lock ? PyEval_SaveThread() : nullptr;
    garch11_loglik_rows(PanelRows(panel, p.data(), seeded ? &p[3] : nullptr),
                        std::span<double>(result.data(), series),
                        std::span<double>(scratch.data(), scratch.size()));
    for (std::size_t r = 0; r < series; ++r) {
        result[r] = stored(result[r]);
    }
    if (saved != nullptr) {
        PyEval_RestoreThread(saved);
    }
    if (panel.shape.ndim == 1) {
        return PyFloat_FromDouble(result[0]);
    }
    return float_array(state, result.view()).release();
}

// garch11_fit(returns, *, seed=None, axis=-1, nan_policy='propagate')
constexpr std::array<std::string_view, 1> fit_parameters{"returns"};
constexpr auto fit_names = PanelOptions::after(fit_parameters);
constexpr FunctionDescription fit_description{
    .function_name = "garch11_fit",
    .parameter_names = fit_names,
    .required_count = fit_parameters.size(),
    .keyword_only_count = PanelOptions::count,
    .documentation =
        "Maximum-likelihood GARCH(1,1) of zero-mean returns (demean them first if\n"
        "they have a mean): the omega > 0, alpha >= 0, beta >= 0, alpha + beta < 1\n"
        "that maximise garch11_loglik. Returns of any scale are fitted as they are.\n"
        "\n"
        "seed: the variance before the first return, a number or one per series;\n"
        "by default the mean of the squared returns (the 1e-8 rule applies).\n"
        "axis and nan_policy as in garch11_variance ('omit' drops NaN returns;\n"
        "under 'propagate' a series holding NaN or infinity gets NaN estimates and\n"
        "converged False).\n"
        "\n"
        "Returns Garch11Fit(omega, alpha, beta, loglik, seed, iterations, converged):\n"
        "floats, an int and a bool for one series; arrays for a panel, row r the fit\n"
        "of series r alone. loglik is garch11_loglik at the estimates, and\n"
        "garch11_variance(returns, fit.omega, fit.alpha, fit.beta, seed=fit.seed) is\n"
        "the fitted variance. converged is True when the Newton step from the best\n"
        "start found no further rise (the gradient is zero, or points out of the\n"
        "allowed region at a bound); False when it stopped otherwise, or when\n"
        "alpha + beta reached its ceiling 1 - 2**-20.\n"
        "\n"
        "A ValueError refuses a series of fewer than 10 returns, or one whose squared\n"
        "returns are all the same (no variation: nothing identifies the parameters).\n"
        "\n"
        "Example:\n"
        "\n"
        ">>> import numpy as np, tarnwick_arrays as ta\n"
        ">>> r = np.random.default_rng(1).standard_normal(2520) * 0.01\n"
        ">>> fit = ta.garch11_fit(r)\n"
        ">>> fit.converged, fit.alpha + fit.beta < 1\n"
        "(True, True)",
    .keyword_defaults = PanelOptions::defaults,
};

CallError refusal_error(Garch11FitRefusal refusal, std::size_t row, std::size_t length,
                        bool panel) noexcept {
    Text message = call_message("garch11_fit");
    if (panel) {
        message += "series ";
        append_decimal(message, row);
        message += " of ";
    }
    message += "returns ";
    if (refusal == Garch11FitRefusal::too_short) {
        message += "has ";
        append_decimal(message, length);
        message += length == 1 ? " value" : " values";
        message += "; a fit needs at least ";
        append_decimal(message, garch11_fit_min_returns);
    } else {
        message += "has no variation (every squared return is the same)";
    }
    return CallError::pending(PyExc_ValueError, std::move(message));
}

// Field k of series r at fields[k * series + r].
class FieldSink final : public Garch11FitSink {
  public:
    FieldSink(double* fields, std::size_t series) noexcept : fields_(fields), series_(series) {}
    void put(std::size_t r, const Garch11Fit& fit) noexcept override {
        const std::array<double, 7> values = garch11_fit_fields(fit);
        for (std::size_t k = 0; k < 7; ++k) {
            fields_[k * series_ + r] = stored(values[k]);
        }
    }

  private:
    double* fields_;
    std::size_t series_;
};

PyObject* run_fit(ModuleState& state, std::span<PyObject* const> slots) noexcept {
    constexpr std::string_view function = "garch11_fit";
    Held held;
    Panel panel;
    PanelOptions options;
    if (CallStatus read =
            read_panel(panel, options, fit_description, slots, fit_parameters.size(), state, held);
        read.failed()) {
        return raised(std::move(read.error()));
    }
    PerSeries seed;
    PyObject* const given_seed = options.value<RowSeedOption>();
    const bool seeded = given_seed != nullptr;
    const std::size_t series = panel.series();
    if (seeded) {
        if (CallStatus read =
                read_per_series(seed, given_seed, function, "seed", state.ndarray, held);
            read.failed()) {
            return raised(std::move(read.error()));
        }
        if (CallStatus fits = check_per_series(seed, function, "seed", series); fits.failed()) {
            return raised(std::move(fits.error()));
        }
    }
    if (CallStatus clean = refuse_nan_in(panel, function); clean.failed()) {
        return raised(std::move(clean.error()));
    }
    FloatSeries buffer = sized(panel.length());
    FloatSeries scratch = sized(garch11_rows_scratch(panel.length()));
    // The seven fields of every series, field after field; iterations and
    // converged as exact doubles until they become int64 and bool.
    FloatSeries fields = sized(7 * series);
    if (held.copy_failed() || buffer.size() != panel.length() ||
        scratch.size() != garch11_rows_scratch(panel.length()) || fields.size() != 7 * series) {
        return raised(no_memory_for_copy(function));
    }
    // Every series is checked before any is fitted.
    for (std::size_t r = 0; r < series; ++r) {
        const std::span<const double> row = panel.gather(r, buffer.data());
        if (const Garch11FitRefusal refusal = garch11_fit_refusal(row);
            refusal != Garch11FitRefusal::none) {
            return raised(refusal_error(refusal, r, row.size(), panel.shape.ndim == 2));
        }
    }
    const bool release_lock = series * panel.length() >= garch11_fit_min_returns;
    PyThreadState* saved = release_lock ? PyEval_SaveThread() : nullptr;
    double* const f = fields.data();
    const PanelRows rows(panel, nullptr, seeded ? &seed : nullptr);
    FieldSink sink(f, series);
    garch11_fit_rows(rows, sink, std::span<double>(scratch.data(), scratch.size()));
    if (saved != nullptr) {
        PyEval_RestoreThread(saved);
    }
    std::array<OwnedRef, 7> items;
    const auto field = [&](std::size_t k) {
        return std::span<const double>(f + k * series, series);
    };
    const auto to_count = [](double v) { return static_cast<std::int64_t>(v); };
    const auto to_flag = [](double v) { return v != 0.0; };
    for (std::size_t k = 0; k < 5; ++k) {
        items[k] = panel.shape.ndim == 1 ? OwnedRef::steal(PyFloat_FromDouble(field(k)[0]))
                                         : float_array(state, field(k));
    }
    if (panel.shape.ndim == 1) {
        items[5] = OwnedRef::steal(PyLong_FromLongLong(to_count(field(5)[0])));
        items[6] = OwnedRef::borrow(to_flag(field(6)[0]) ? Py_True : Py_False);
    } else {
        items[5] = array_of<std::int64_t>(state, field(5), "int64", to_count);
        items[6] = array_of<bool>(state, field(6), "bool", to_flag);
    }
    for (const OwnedRef& item : items) {
        if (!item) {
            return nullptr;
        }
    }
    return PyObject_CallFunctionObjArgs(state.garch11_fit, items[0].get(), items[1].get(),
                                        items[2].get(), items[3].get(), items[4].get(),
                                        items[5].get(), items[6].get(), nullptr);
}

// garch11_forecast(variance, omega, alpha, beta, horizon)
constexpr std::array<std::string_view, 5> forecast_names{"variance", "omega", "alpha", "beta",
                                                         "horizon"};
constexpr FunctionDescription forecast_description{
    .function_name = "garch11_forecast",
    .parameter_names = forecast_names,
    .required_count = 5,
    .documentation =
        "GARCH(1,1) variance forecasts for the next `horizon` periods from the last\n"
        "variance v of each series (garch11_variance's last value, which already\n"
        "contains the last return): f[1] = v, f[k+1] = max(0, f[k] * beta +\n"
        "(alpha * f[k] + omega)), each operation rounded in that order; the same\n"
        "values as tarnwick_stream.Garch11Variance.forecast.\n"
        "\n"
        "variance: 1-D, or 2-D with one series per row. omega, alpha and beta are\n"
        "numbers or 1-D arrays with one value per series.\n"
        "\n"
        "Returns float64 of shape (horizon,), or (series, horizon) for a panel.\n"
        "\n"
        "Example:\n"
        "\n"
        ">>> import numpy as np, tarnwick_arrays as ta\n"
        ">>> ta.garch11_forecast(np.array([2e-4, 4e-4]), 1e-05, 0.1, 0.85, 3).tolist()\n"
        "[0.0004, 0.00039000000000000005, 0.00038050000000000003]",
};

PyObject* run_forecast(ModuleState& state, std::span<PyObject* const> slots) noexcept {
    constexpr std::string_view function = "garch11_forecast";
    Held held;
    ArraySeries variance;
    if (CallStatus read = extract_array_series_into(variance, slots[0], function, "variance",
                                                    state.ndarray, held);
        read.failed()) {
        return raised(std::move(read.error()));
    }
    held.add(variance);
    std::array<PerSeries, 3> p;
    for (std::size_t i = 0; i < 3; ++i) {
        if (CallStatus read = read_per_series(p[i], slots[i + 1], function, forecast_names[i + 1],
                                              state.ndarray, held);
            read.failed()) {
            return raised(std::move(read.error()));
        }
    }
    CallResult<std::uint64_t> horizon = extract_index(slots[4], "horizon", held);
    if (horizon.failed()) {
        return raised(std::move(horizon.error()));
    }
    const Shape shape = variance.shape();
    const std::size_t series = shape.rows;
    for (std::size_t i = 0; i < 3; ++i) {
        if (CallStatus fits = check_per_series(p[i], function, forecast_names[i + 1], series);
            fits.failed()) {
            return raised(std::move(fits.error()));
        }
    }
    if (shape.columns == 0) {
        return raised(value_error(function, "variance is empty: there is no last variance"));
    }
    const std::uint64_t steps = horizon.value();
    if (steps > (std::uint64_t{1} << 40) / (series == 0 ? 1 : series)) {
        return raised(value_error(function, "horizon is too large"));
    }
    const std::size_t h = static_cast<std::size_t>(steps);
    FloatSeries result = sized(series * h);
    if (held.copy_failed() || result.size() != series * h) {
        return raised(no_memory_for_copy(function));
    }
    for (std::size_t r = 0; r < series; ++r) {
        garch11_forecast(std::span<double>(result.data() + r * h, h), variance.row(r).back(),
                         {p[0].at(r), p[1].at(r), p[2].at(r)});
    }
    OwnedRef array = float_array(state, result.view());
    if (!array || shape.ndim == 1) {
        return array.release();
    }
    return PyObject_CallMethod(array.get(), "reshape", "(nn)", static_cast<Py_ssize_t>(series),
                               static_cast<Py_ssize_t>(h));
}

// The module's own logarithm, for the tests that check it against a
// high-precision reference.
PyObject* exact_log_entry(PyObject*, PyObject* x) noexcept {
    const double value = PyFloat_AsDouble(x);
    if (value == -1.0 && PyErr_Occurred() != nullptr) {
        return nullptr;
    }
    return PyFloat_FromDouble(exact_log(value));
}

PyMethodDef records[] = {
    bound_record<loglik_description, 1, &run_loglik>(),
    bound_record<fit_description, 1, &run_fit>(),
    // Forecasts run past the variance's last date: an ndarray, whatever holds it.
    bound_record<forecast_description, 0, &run_forecast>(),
    {"_exact_log", &exact_log_entry, METH_O, "The module's logarithm of a float."},
    {nullptr, nullptr, 0, nullptr},
};

} // namespace

PyMethodDef* garch_fit_records() noexcept {
    return records;
}

PyObject* make_garch11_fit_type() noexcept {
    const OwnedRef collections = OwnedRef::steal(PyImport_ImportModule("collections"));
    if (!collections) {
        return nullptr;
    }
    const OwnedRef keywords = OwnedRef::steal(Py_BuildValue("{ss}", "module", "tarnwick_arrays"));
    const OwnedRef namedtuple =
        OwnedRef::steal(PyObject_GetAttrString(collections.get(), "namedtuple"));
    const OwnedRef arguments = OwnedRef::steal(
        Py_BuildValue("(ss)", "Garch11Fit", "omega alpha beta loglik seed iterations converged"));
    if (!keywords || !namedtuple || !arguments) {
        return nullptr;
    }
    return PyObject_Call(namedtuple.get(), arguments.get(), keywords.get());
}

} // namespace tarnwick::arrays
