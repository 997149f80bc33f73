// SPDX-License-Identifier: MIT
// The stream types of tarnwick_stream: one heap type per indicator of the
// catalogue (binding/catalogue.hpp), all made from the template below, which
// holds no arithmetic of its own. A stream holds the settings made from its
// scalar parameters and one record per symbol: the kernel's state and the
// last value. A one-series stream takes floats and series as tarnwick takes
// them and gives floats and lists; a stream of N symbols takes and gives
// numpy arrays of N values (or N rows), converted as tarnwick_arrays
// converts them.
//
// Every method converts all of its arguments, and makes its result array,
// before it touches a record, so a call that fails leaves the stream as it
// was, and no caller code runs while a record is being changed. A method
// claims the stream's records for as long as it reads or changes them: a
// many-symbol call lets go of the interpreter lock for large N, and a second
// thread that meets the claim waits for it, so two threads sharing a stream
// never see or leave a half-made state.
//
//   update(bar)   one kernel step per symbol; exact floats are read directly
//   peek(bar)     the same step on a copy of each record
//   extend(bars)  the kernel's batch pass from each record
//   __reduce__    (_restore, (type, version, parameters, symbols, record
//                 as little-endian words)), the same bytes on every platform
#include "stream.hpp"

#include "../arrays/array_arguments.hpp"
#include "../arrays/destination.hpp"
#include "../arrays/numpy_type.hpp"
#include "../arrays/row_output.hpp"
#include "../binding/arguments.hpp"
#include "../binding/call_error.hpp"
#include "../binding/catalogue.hpp"
#include "../binding/fatal.hpp"
#include "../binding/float_series.hpp"
#include "../binding/list_call.hpp"
#include "../binding/py_ref.hpp"
#include "../indicators/garch11_fit.hpp"
#include "../indicators/ieee_double.hpp"

#include <Python.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

namespace tarnwick::stream {

namespace {

using arrays::Shape;

// ---------------------------------------------------------------- the catalogue, as a stream

// What a stream of indicator `I` is made of: its series parameters (the
// bar), which come first, and its scalar parameters (the settings).
template <class I> struct Layout {
    static constexpr std::size_t series = [] {
        std::size_t n = 0;
        while (n < I::parameters.size() && I::parameters[n].kind == Kind::series) {
            ++n;
        }
        return n;
    }();
    static constexpr std::size_t scalars = I::parameters.size() - series;
    static constexpr bool takes_seed = requires(typename I::State& s) { I::seed_with(s, 0.0); };

    static constexpr auto bar_names = []<std::size_t... J>(std::index_sequence<J...>) {
        return std::array<std::string_view, series>{I::parameters[J].name...};
    }(std::make_index_sequence<series>{});
    static constexpr auto bar_names_where = []<std::size_t... J>(std::index_sequence<J...>) {
        return std::array<std::string_view, series + 1>{I::parameters[J].name..., "where"};
    }(std::make_index_sequence<series>{});
    static constexpr auto construction_names = []<std::size_t... J>(std::index_sequence<J...>) {
        if constexpr (takes_seed) {
            return std::array<std::string_view, scalars + 2>{I::parameters[series + J].name...,
                                                             "seed", "symbols"};
        } else {
            return std::array<std::string_view, scalars + 1>{I::parameters[series + J].name...,
                                                             "symbols"};
        }
    }(std::make_index_sequence<scalars>{});

    // What a stream promises: a seeded recursion depends on a seed that a
    // live stream takes from the first returns it sees, so only a stream
    // without one matches the whole-series function at every split.
    static constexpr std::string_view continues =
        takes_seed
            ? "\n\nA stream continues a series from where it stopped. It seeds from the first "
              "returns it is given (the history passed to its first extend(), or the first "
              "update's return) as the whole-series function seeds from its series, or from "
              "seed= when given: garch11_variance(returns, omega, alpha, beta, "
              "seed=stream.seed) of tarnwick_arrays gives the values of everything fed to it, "
              "bit for bit, in any split."
            : "\n\nA stream continues a series from where it stopped: for every split of a "
              "series into extend() and update() calls, the values are those of the "
              "whole-series function of tarnwick, bit for bit.";
    static constexpr std::string_view side_by_side =
        " With symbols=N, it keeps N series side by side: update() takes arrays of N values "
        "(where=, a boolean array, picks the symbols that have a bar) and extend() one row "
        "per symbol.";
    static constexpr auto documentation =
        joined<I::summary.size() + continues.size() + side_by_side.size()>(I::summary, continues,
                                                                           side_by_side);
    static constexpr auto qualified_name =
        joined<16 + I::type_name.size()>("tarnwick_stream.", I::type_name);

    static constexpr FunctionDescription construction{
        .function_name = I::type_name,
        .parameter_names = construction_names,
        .required_count = scalars,
        .keyword_only_count = construction_names.size() - scalars,
        .documentation = documentation.view(),
    };
    static constexpr FunctionDescription update{
        .function_name = "update",
        .parameter_names = bar_names_where,
        .required_count = series,
        .keyword_only_count = 1,
        .documentation = "Takes one bar (with symbols=N, arrays of N values) and returns its "
                         "value. Where where= is false (with symbols=N, a boolean array of N), "
                         "a symbol has no bar: it keeps its state and reports NaN.",
        .method = true,
    };
    static constexpr FunctionDescription peek{
        .function_name = "peek",
        .parameter_names = bar_names_where,
        .required_count = series,
        .keyword_only_count = 1,
        .documentation = "The value update() would return for this bar, without changing the "
                         "stream.",
        .method = true,
    };
    static constexpr FunctionDescription extend{
        .function_name = "extend",
        .parameter_names = bar_names,
        .required_count = series,
        .documentation = "Takes many bars (series as tarnwick takes them; with symbols=N, one "
                         "row per symbol), continues the stream over them in one pass and "
                         "returns their values (a list; with symbols=N, an array of N rows).",
        .method = true,
    };
};

// The converted scalar parameters, as the kernel takes them.
template <Kind K> using ScalarOf = std::conditional_t<K == Kind::real, double, std::uint64_t>;
template <class I, class = std::make_index_sequence<Layout<I>::scalars>> struct ScalarsOf;
template <class I, std::size_t... J> struct ScalarsOf<I, std::index_sequence<J...>> {
    using type = std::tuple<ScalarOf<I::parameters[Layout<I>::series + J].kind>...>;
    using Arguments =
        ConvertedArguments<AbortWhenCopyFails,
                           ConversionFor<I::parameters[Layout<I>::series + J].kind, ToSeries>...>;
};

// The series parameters only, converted by `Series`.
template <class Policy, class Series, class I, class = std::make_index_sequence<Layout<I>::series>>
struct SeriesOf;
template <std::size_t, class T> using Each = T;
template <class Policy, class Series, class I, std::size_t... J>
struct SeriesOf<Policy, Series, I, std::index_sequence<J...>> {
    using type = ConvertedArguments<Policy, Each<J, Series>...>;
};

// ---------------------------------------------------------------- records

template <class I> struct Record {
    typename I::State state;
    double value = quiet_nan; // the last value, NaN before the first bar
};

// A record as words: each field of the state, then the last value.
using Word = std::uint64_t;
template <class I>
constexpr std::size_t words_per_record = std::tuple_size_v<decltype(I::fields)> + 1;

template <class Field> Word word_of(Field value) noexcept {
    if constexpr (std::is_same_v<Field, double>) {
        return std::bit_cast<Word>(value);
    } else {
        return static_cast<Word>(value);
    }
}

// False for a word that no field of that type holds (a flag other than 0 or 1).
template <class Field> bool field_of(Word word, Field& field) noexcept {
    if constexpr (std::is_same_v<Field, double>) {
        field = std::bit_cast<double>(word);
    } else if constexpr (std::is_same_v<Field, bool>) {
        if (word > 1) {
            return false;
        }
        field = word == 1;
    } else {
        field = static_cast<Field>(word);
    }
    return true;
}

template <class I> void record_to_words(const Record<I>& r, Word* w) noexcept {
    std::apply([&](auto... field) { ((*w++ = word_of(r.state.*field)), ...); }, I::fields);
    *w = word_of(r.value);
}

template <class I> bool record_from_words(Record<I>& r, const Word* w) noexcept {
    const bool fields = std::apply(
        [&](auto... field) { return (field_of(*w++, r.state.*field) && ...); }, I::fields);
    return fields && field_of(*w, r.value);
}

// ---------------------------------------------------------------- the object

// How many forks this process descends from, counted in each child: a
// claim made before a fork belongs to a thread that the child does not have.
std::atomic<std::uint64_t> forks{0};

// The turns of the threads that claim one stream's records: tickets drawn
// and served in order, so a thread that waits is served before any thread
// that comes after it (a loop of large extends on one thread cannot keep an
// update on another out for good). Touched only with the interpreter lock
// held, which orders every change. `generation` is the fork count of the
// process that drew the tickets: a forked child starts the queue again, its
// parent's other threads being gone.
struct ClaimQueue {
    std::atomic<std::uint64_t> generation{0};
    std::atomic<std::uint64_t> next{0};    // the ticket the next claim draws
    std::atomic<std::uint64_t> serving{0}; // the ticket whose turn it is
};

// Holds a stream's records for one thread. A thread whose turn has not come
// lets go of the interpreter lock until it does: the thread before it may be
// computing without the lock, and needs it back to finish.
//
// Every claim is made and ended with the interpreter lock held, which orders
// them, so relaxed loads and stores suffice: a locked exchange, a full
// barrier, would make each one-bar update wait for the previous bar's
// divisions.
class Claim {
  public:
    explicit Claim(ClaimQueue& queue) noexcept
        : queue_(queue), generation_(forks.load(std::memory_order_relaxed)) {
        if (queue_.generation.load(std::memory_order_relaxed) != generation_) {
            queue_.generation.store(generation_, std::memory_order_relaxed);
            queue_.next.store(0, std::memory_order_relaxed);
            queue_.serving.store(0, std::memory_order_relaxed);
        }
        const std::uint64_t ticket = queue_.next.load(std::memory_order_relaxed);
        queue_.next.store(ticket + 1, std::memory_order_relaxed);
        while (queue_.serving.load(std::memory_order_relaxed) != ticket) {
            PyThreadState* saved = PyEval_SaveThread();
            PyEval_RestoreThread(saved);
        }
    }
    ~Claim() {
        if (queue_.generation.load(std::memory_order_relaxed) == generation_) {
            queue_.serving.store(queue_.serving.load(std::memory_order_relaxed) + 1,
                                 std::memory_order_relaxed);
        }
    }

    // Whether another thread of this process holds or awaits the claim: one
    // made now would let go of the interpreter lock while it waits.
    [[nodiscard]] static bool held_elsewhere(const ClaimQueue& queue) noexcept {
        return queue.generation.load(std::memory_order_relaxed) ==
                   forks.load(std::memory_order_relaxed) &&
               queue.serving.load(std::memory_order_relaxed) !=
                   queue.next.load(std::memory_order_relaxed);
    }
    Claim(const Claim&) = delete;
    Claim& operator=(const Claim&) = delete;

  private:
    ClaimQueue& queue_;
    std::uint64_t generation_;
};

template <class I> struct Stream {
    PyObject_HEAD typename I::Settings settings;
    typename ScalarsOf<I>::type scalars;
    Record<I>* records;  // one per symbol, owned
    std::size_t symbols; // 1 for a one-series stream
    bool many;           // made with symbols=N: takes and gives arrays
    PyObject* ndarray;   // numpy's array type when many, owned
    ClaimQueue busy;     // the claims on the records
};

template <class I> Stream<I>& stream_of(PyObject* self) noexcept {
    return *reinterpret_cast<Stream<I>*>(self);
}

// A new, empty object of the stream's type, or null with MemoryError set;
// `symbols` records, each in its fresh state.
template <class I> OwnedRef allocate(PyTypeObject* type, std::size_t symbols) noexcept {
    if (symbols > PY_SSIZE_T_MAX / sizeof(Record<I>)) {
        PyErr_NoMemory();
        return {};
    }
    auto* records = static_cast<Record<I>*>(std::malloc(sizeof(Record<I>) * symbols + 1));
    if (records == nullptr) {
        PyErr_NoMemory();
        return {};
    }
    for (std::size_t i = 0; i < symbols; ++i) {
        new (&records[i]) Record<I>{};
    }
    const auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    OwnedRef self = OwnedRef::steal(alloc(type, 0));
    if (!self) {
        std::free(records);
        return {};
    }
    Stream<I>& s = stream_of<I>(self.get());
    new (&s.settings) typename I::Settings{};
    new (&s.scalars) typename ScalarsOf<I>::type{};
    s.records = records;
    s.symbols = symbols;
    s.many = false;
    s.ndarray = nullptr;
    new (&s.busy) ClaimQueue();
    return self;
}

template <class I> void stream_dealloc(PyObject* self) noexcept {
    Stream<I>& s = stream_of<I>(self);
    std::free(s.records);
    const OwnedRef ndarray = OwnedRef::steal(std::exchange(s.ndarray, nullptr));
    PyTypeObject* type = Py_TYPE(self);
    const auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);
}

CallError value_error(Text message) noexcept {
    return CallError::pending(PyExc_ValueError, std::move(message));
}

// ---------------------------------------------------------------- construction

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
    ModuleState& state = state_of(module);
    if (state.ndarray != nullptr) {
        return OwnedRef::borrow(state.ndarray);
    }
    OwnedRef ndarray = arrays::import_ndarray(
        "tarnwick_stream", "a tarnwick_stream stream of many symbols needs numpy: pip install "
                           "'tarnwick[arrays]'");
    // The import may have run code that made a stream and stored it already.
    if (ndarray && state.ndarray == nullptr) {
        state.ndarray = OwnedRef::borrow(ndarray.get()).release();
    }
    return ndarray;
}

template <class I> PyObject* stream_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    using L = Layout<I>;
    const FunctionDescription& d = L::construction;
    // Bound as a fast call: the positional arguments, then the keywords'
    // values, with their names in a tuple.
    const Py_ssize_t nargs = PyTuple_Size(args);
    const Py_ssize_t nkw = kwargs == nullptr ? 0 : PyDict_Size(kwargs);
    constexpr std::size_t most = L::construction_names.size();
    const auto passed = static_cast<std::size_t>(nargs + nkw);
    struct Vector {
        PyObject** items;
        ~Vector() { std::free(items); }
    } vector{static_cast<PyObject**>(std::malloc(sizeof(PyObject*) * (passed + 1)))};
    if (vector.items == nullptr) {
        return PyErr_NoMemory();
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        vector.items[i] = PyTuple_GetItem(args, i);
    }
    OwnedRef kwnames;
    if (nkw > 0) {
        kwnames = OwnedRef::steal(created_or_abort(PyTuple_New(nkw)));
        Py_ssize_t at = 0;
        Py_ssize_t i = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &at, &key, &value)) {
            PyTuple_SetItem(kwnames.get(), i, OwnedRef::borrow(key).release());
            vector.items[nargs + i++] = value;
        }
    }
    std::array<PyObject*, most> slots{};
    if (CallStatus bound = extract_arguments_fastcall(d, vector.items, nargs, kwnames.get(), slots);
        bound.failed()) {
        return raised(std::move(bound.error()));
    }

    typename ScalarsOf<I>::Arguments converted;
    if (CallStatus status = converted.convert(d, slots.data(), NoContext{}); status.failed()) {
        return raised(std::move(status.error()));
    }
    double seed = quiet_nan;
    bool seeded = false;
    if constexpr (L::takes_seed) {
        PyObject* given = slots[L::scalars];
        if (given != nullptr && given != Py_None) {
            CallResult<double> value = extract_float(given, "seed", converted);
            if (value.failed()) {
                return raised(std::move(value.error()));
            }
            seed = value.value();
            seeded = true;
        }
    }
    CallResult<std::size_t> symbols = symbols_of(slots[most - 1], converted);
    if (symbols.failed()) {
        return raised(std::move(symbols.error()));
    }
    struct Made {
        typename I::Settings settings{};
        typename ScalarsOf<I>::type scalars{};
    } made;
    struct NoOutput {};
    NoOutput no_output;
    const KernelStatus valid = converted.compute(
        [&](NoOutput&, auto... scalar) noexcept -> KernelStatus {
            Result<typename I::Settings, KernelError> settings = I::settings(scalar...);
            if (settings.failed()) {
                return settings.error();
            }
            made = {settings.value(), {scalar...}};
            return KernelStatus::ok();
        },
        no_output);
    if (valid.failed()) {
        return raised(value_error(Text(message(valid.error()))));
    }
    OwnedRef ndarray;
    if (symbols.value() > 0) {
        ndarray = numpy_array_type(type);
        if (!ndarray) {
            return nullptr;
        }
    }
    OwnedRef self = allocate<I>(type, symbols.value() > 0 ? symbols.value() : 1);
    if (!self) {
        return nullptr;
    }
    Stream<I>& s = stream_of<I>(self.get());
    s.settings = made.settings;
    s.scalars = made.scalars;
    s.many = symbols.value() > 0;
    s.ndarray = ndarray.release();
    if constexpr (L::takes_seed) {
        for (std::size_t i = 0; seeded && i < s.symbols; ++i) {
            I::seed_with(s.records[i].state, seed);
        }
    }
    return self.release();
}

// ---------------------------------------------------------------- one series

// One bar's values, or the error; `skip` is set when where= is false. Exact
// floats given by position are the common case and are read directly;
// anything else converts as tarnwick converts a number, with its note.
template <class I>
CallStatus read_bar(const FunctionDescription& d, double* bar, bool& skip, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames) noexcept {
    constexpr std::size_t k = Layout<I>::series;
    if (kwnames == nullptr && nargs == static_cast<Py_ssize_t>(k)) {
        std::size_t i = 0;
        for (; i < k && PyFloat_CheckExact(args[i]); ++i) {
            bar[i] = PyFloat_AsDouble(args[i]);
        }
        if (i == k) {
            return CallStatus::ok();
        }
    }
    std::array<PyObject*, k + 1> slots{};
    if (CallStatus bound = extract_arguments_fastcall(d, args, nargs, kwnames, slots);
        bound.failed()) {
        return bound;
    }
    ConvertedArguments<AbortWhenCopyFails> none; // numbers only: nothing is read in place
    for (std::size_t i = 0; i < k; ++i) {
        CallResult<double> v = extract_float(slots[i], d.parameter_names[i], none);
        if (v.failed()) {
            return std::move(v.error());
        }
        bar[i] = v.value();
    }
    if (slots[k] != nullptr && slots[k] != Py_None) {
        const int truth = PyObject_IsTrue(slots[k]);
        if (truth < 0) {
            return argument_extraction_error("where", CallError::fetch());
        }
        skip = truth == 0;
    }
    return CallStatus::ok();
}

template <class I>
PyObject* one_bar(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  bool keep) noexcept {
    double bar[Layout<I>::series];
    bool skip = false;
    const FunctionDescription& d = keep ? Layout<I>::update : Layout<I>::peek;
    if (CallStatus read = read_bar<I>(d, bar, skip, args, nargs, kwnames); read.failed()) {
        return raised(std::move(read.error()));
    }
    if (skip) {
        return PyFloat_FromDouble(quiet_nan);
    }
    Stream<I>& s = stream_of<I>(self);
    double value = 0.0;
    {
        const Claim claim(s.busy);
        if (keep) {
            Record<I>& r = s.records[0];
            value = r.value = I::step(r.state, s.settings, bar);
        } else {
            Record<I> copy = s.records[0];
            value = I::step(copy.state, s.settings, bar);
        }
    }
    return PyFloat_FromDouble(value);
}

// Wraps a kernel output and keeps the value of the last bar. Only that bar
// stores it: `last` may alias the output's memory as far as the compiler
// knows, and a store on every bar would cost the pass a little.
template <class Out> struct KeepingLast {
    Out& out;
    double& last;
    std::size_t final_bar = 0;
    void start(std::size_t n) noexcept {
        out.start(n);
        final_bar = n - 1;
    }
    void put(std::size_t i, double value) noexcept {
        out.put(i, value);
        if (i == final_bar) {
            last = value;
        }
    }
};

template <class I>
PyObject* extend_one(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
    using Arguments = typename SeriesOf<arrays::ReportWhenCopyFails, ToSeries, I>::type;
    using Output = ListOutput<WhenListFails::drop>;
    const FunctionDescription& d = Layout<I>::extend;
    Stream<I>& s = stream_of<I>(self);
    Arguments converted;
    if (CallStatus status =
            bind_and_convert<Layout<I>::series>(d, args, nargs, kwnames, converted, NoContext{});
        status.failed()) {
        return raised(std::move(status.error()));
    }
    if (converted.copies_failed()) {
        return raised(arrays::no_memory_for_copy(d.function_name));
    }
    Output out;
    KernelStatus computed = KernelStatus::ok();
    {
        const Claim claim(s.busy);
        // On a copy, kept once every value is in the list: a list that memory
        // could not be had for changes nothing.
        Record<I> r = s.records[0];
        computed = converted.compute(
            [&](Output& o, auto... series) noexcept {
                KeepingLast<Output> keeping{o, r.value};
                return I::extend(keeping, r.state, s.settings, series...);
            },
            out);
        if (!computed.failed() && !out.dropped()) {
            s.records[0] = r;
        }
    }
    if (computed.failed()) {
        return raised(value_error(Text(message(computed.error()))));
    }
    return out.release();
}

// ---------------------------------------------------------------- many symbols

// The message for a series whose shape does not fit the stream's symbols.
CallError symbols_mismatch(const FunctionDescription& d, std::string_view parameter,
                           const Shape& shape, std::size_t symbols, bool rows) noexcept {
    Text message = arrays::call_message(d.function_name);
    message += '\'';
    message += parameter;
    message += "' has shape ";
    arrays::append_shape(message, shape);
    message += ", but the stream has ";
    append_count(message, symbols, "symbol", "symbols");
    message += rows ? ": pass one row per symbol" : ": pass one value per symbol";
    return value_error(std::move(message));
}

// A new float64 array of `shape`, made before any record is claimed.
CallStatus make_result(arrays::Destination& destination, PyObject* ndarray,
                       const FunctionDescription& d, const Shape& shape,
                       InPlaceSeries& in_place) noexcept {
    const arrays::ModuleState state{ndarray};
    return destination.prepare(state, d.function_name, nullptr, shape, {}, in_place);
}

// Whether a call over `values` lets go of the interpreter lock: below this
// many, letting go and taking it back would cost more than the work.
bool unlocked(std::size_t values) noexcept {
    return values >= arrays::release_lock_from;
}

// Before a call lets go of the lock, the arrays it reads in place and the
// result it writes are kept from being resized by another thread
// (resize_guard.hpp): numpy would otherwise free their memory under it. A
// call lets go of it to compute over many values, or to wait for another
// thread's claim on the stream (`busy`), however few values it has.
template <class Arguments>
CallStatus guard_inputs(const FunctionDescription& d, ResizeGuard& guard, std::size_t values,
                        const ClaimQueue& busy, const Arguments& converted,
                        const arrays::Destination& destination, PyObject* ndarray) noexcept {
    if (converted.copies_failed()) {
        return arrays::no_memory_for_copy(d.function_name);
    }
    if (!unlocked(values) && !Claim::held_elsewhere(busy)) {
        return CallStatus::ok();
    }
    return arrays::guard_against_resize(guard, converted, destination, ndarray);
}

// Runs `work` with the interpreter lock let go when there is enough of it.
template <class Work> void maybe_without_lock(std::size_t values, Work work) noexcept {
    PyThreadState* saved = unlocked(values) ? PyEval_SaveThread() : nullptr;
    work();
    if (saved != nullptr) {
        PyEval_RestoreThread(saved);
    }
}

CallError where_not_boolean(const FunctionDescription& d, PyObject* where, bool is_array) noexcept {
    Text message = arrays::call_message(d.function_name);
    message += "'where' must be a boolean array, not ";
    const OwnedRef dtype =
        OwnedRef::steal(is_array ? PyObject_GetAttrString(where, "dtype") : nullptr);
    const OwnedRef name = OwnedRef::steal(dtype ? PyObject_Str(dtype.get()) : nullptr);
    const char* text = name ? PyUnicode_AsUTF8AndSize(name.get(), nullptr) : nullptr;
    PyErr_Clear();
    if (text != nullptr) {
        message += "an array of ";
        message += text;
    } else {
        message += '\'';
        message += type_qualname(reinterpret_cast<PyObject*>(Py_TYPE(where)));
        message += '\'';
    }
    message += ": give one, such as np.isfinite(close) or flags.astype(bool)";
    return CallError::pending(PyExc_TypeError, std::move(message));
}

// numpy's bool, as a buffer names it.
bool holds_booleans(const Py_buffer& view) noexcept {
    const char* format = view.format != nullptr ? view.format : "B";
    if (std::string_view("@=<>!|").find(format[0]) != std::string_view::npos) {
        ++format;
    }
    return view.itemsize == 1 && std::string_view(format) == "?";
}

// The flags of where=, a numpy array of dtype bool (a float's NaN, or any
// number, would be a guess at what the caller meant), copied into `flags` as
// 1.0 or 0.0; its shape, which the caller checks with the series'.
CallResult<Shape> read_where(const FunctionDescription& d, PyObject* where, PyObject* ndarray,
                             FloatSeries& flags, InPlaceSeries& in_place) noexcept {
    const bool is_array = PyObject_TypeCheck(where, reinterpret_cast<PyTypeObject*>(ndarray));
    if (is_array && Py_TYPE(where) != reinterpret_cast<PyTypeObject*>(ndarray)) {
        in_place.before_python_code(); // a subclass's export may run its code
    }
    BufferExport buffer;
    if (!is_array || !buffer.try_acquire(where, PyBUF_RECORDS_RO) ||
        !holds_booleans(buffer.view())) {
        return where_not_boolean(d, where, is_array);
    }
    const Py_buffer& view = buffer.view();
    if (view.ndim == 2) {
        return arrays::shape_of(view);
    }
    if (view.ndim != 1) {
        Text message = arrays::call_message(d.function_name);
        message += "'where' has ";
        append_count(message, static_cast<unsigned long long>(view.ndim), "dimension",
                     "dimensions");
        message += "; expected 1 (one flag per symbol)";
        return value_error(std::move(message));
    }
    const auto n = static_cast<std::size_t>(view.shape[0]);
    if (!flags.try_resize_uninitialized(n)) {
        return arrays::no_memory_for_copy(d.function_name);
    }
    const char* base = static_cast<const char*>(view.buf);
    for (std::size_t i = 0; i < n; ++i) {
        flags[i] = base[static_cast<Py_ssize_t>(i) * view.strides[0]] != 0 ? 1.0 : 0.0;
    }
    return arrays::shape_of(view);
}

template <class I>
PyObject* many_bars(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    bool keep) noexcept {
    using L = Layout<I>;
    constexpr std::size_t k = L::series;
    const FunctionDescription& d = keep ? L::update : L::peek;
    Stream<I>& s = stream_of<I>(self);
    std::array<PyObject*, k + 1> slots{};
    if (CallStatus bound = extract_arguments_fastcall(d, args, nargs, kwnames, slots);
        bound.failed()) {
        return raised(std::move(bound.error()));
    }
    const arrays::ArrayContext context{d.function_name, s.ndarray};
    typename SeriesOf<arrays::ReportWhenCopyFails, arrays::ToArraySeries, I>::type converted;
    if (CallStatus status = converted.convert(d, slots.data(), context); status.failed()) {
        return raised(std::move(status.error()));
    }
    FloatSeries flags;
    const bool has_where = slots[k] != nullptr && slots[k] != Py_None;
    std::array<Shape, k + 1> shapes{};
    if (has_where) {
        CallResult<Shape> shape = read_where(d, slots[k], s.ndarray, flags, converted);
        if (shape.failed()) {
            return raised(std::move(shape.error()));
        }
        shapes[k] = shape.value();
    }
    converted.for_each_series(
        [&](std::size_t i, const arrays::ArraySeries& series) { shapes[i] = series.shape(); });
    for (std::size_t i = 0; i < (has_where ? k + 1 : k); ++i) {
        if (shapes[i].ndim != 1 || shapes[i].columns != s.symbols) {
            return raised(symbols_mismatch(d, d.parameter_names[i], shapes[i], s.symbols, false));
        }
    }
    arrays::Destination destination;
    if (CallStatus made = make_result(destination, s.ndarray, d, {1, 1, s.symbols}, converted);
        made.failed()) {
        return raised(std::move(made.error()));
    }
    ResizeGuard guard;
    if (CallStatus held =
            guard_inputs(d, guard, s.symbols, s.busy, converted, destination, s.ndarray);
        held.failed()) {
        return raised(std::move(held.error()));
    }
    std::array<std::span<const double>, k + 1> columns{};
    converted.for_each_series([&](std::size_t i, const arrays::ArraySeries& series) {
        columns[i] = series.all_values();
    });
    columns[k] = flags.view();
    arrays::RowOutput out = destination.row(0);
    const Claim claim(s.busy);
    maybe_without_lock(s.symbols, [&] {
        double bar[k];
        for (std::size_t i = 0; i < s.symbols; ++i) {
            if (has_where && !(columns[k][i] != 0.0)) {
                out.put(i, quiet_nan);
                continue;
            }
            for (std::size_t j = 0; j < k; ++j) {
                bar[j] = columns[j][i];
            }
            Record<I>& r = s.records[i];
            if (keep) {
                out.put(i, r.value = I::step(r.state, s.settings, bar));
            } else {
                typename I::State copy = r.state;
                out.put(i, I::step(copy, s.settings, bar));
            }
        }
    });
    return destination.release();
}

template <class I>
PyObject* extend_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
    using L = Layout<I>;
    const FunctionDescription& d = L::extend;
    Stream<I>& s = stream_of<I>(self);
    typename SeriesOf<arrays::ReportWhenCopyFails, arrays::ToArraySeries, I>::type converted;
    if (CallStatus status = bind_and_convert<L::series>(
            d, args, nargs, kwnames, converted, arrays::ArrayContext{d.function_name, s.ndarray});
        status.failed()) {
        return raised(std::move(status.error()));
    }
    CallResult<Shape> agreed = arrays::agreed_shape(d, converted);
    if (agreed.failed()) {
        return raised(std::move(agreed.error()));
    }
    const Shape shape = agreed.value();
    if (shape.ndim != 2 || shape.rows != s.symbols) {
        return raised(symbols_mismatch(d, d.parameter_names[0], shape, s.symbols, true));
    }
    arrays::Destination destination;
    if (CallStatus made = make_result(destination, s.ndarray, d, shape, converted); made.failed()) {
        return raised(std::move(made.error()));
    }
    ResizeGuard guard;
    if (CallStatus held = guard_inputs(d, guard, shape.rows * shape.columns, s.busy, converted,
                                       destination, s.ndarray);
        held.failed()) {
        return raised(std::move(held.error()));
    }
    const Claim claim(s.busy);
    KernelStatus computed = KernelStatus::ok();
    maybe_without_lock(shape.rows * shape.columns, [&] {
        for (std::size_t r = 0; r < shape.rows && !computed.failed(); ++r) {
            arrays::RowOutput row = destination.row(r);
            Record<I>& record = s.records[r];
            computed = converted.compute(
                [&](arrays::RowOutput& o, auto... series) noexcept {
                    KeepingLast<arrays::RowOutput> keeping{o, record.value};
                    return I::extend(keeping, record.state, s.settings, series...);
                },
                row, r);
        }
    });
    if (computed.failed()) {
        return raised(value_error(Text(message(computed.error()))));
    }
    return destination.release();
}

// ---------------------------------------------------------------- methods

template <class I>
PyObject* stream_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
    return stream_of<I>(self).many ? many_bars<I>(self, args, nargs, kwnames, true)
                                   : one_bar<I>(self, args, nargs, kwnames, true);
}

template <class I>
PyObject* stream_peek(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
    return stream_of<I>(self).many ? many_bars<I>(self, args, nargs, kwnames, false)
                                   : one_bar<I>(self, args, nargs, kwnames, false);
}

template <class I>
PyObject* stream_extend(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
    return stream_of<I>(self).many ? extend_many<I>(self, args, nargs, kwnames)
                                   : extend_one<I>(self, args, nargs, kwnames);
}

template <class I> PyObject* stream_copy(PyObject* self, PyObject* /*unused*/) noexcept {
    Stream<I>& from = stream_of<I>(self);
    OwnedRef copy = allocate<I>(Py_TYPE(self), from.symbols);
    if (!copy) {
        return nullptr;
    }
    Stream<I>& to = stream_of<I>(copy.get());
    to.settings = from.settings;
    to.scalars = from.scalars;
    to.many = from.many;
    to.ndarray = OwnedRef::borrow(from.ndarray).release();
    const Claim claim(from.busy);
    std::memcpy(static_cast<void*>(to.records), from.records, sizeof(Record<I>) * from.symbols);
    return copy.release();
}

template <class I> PyObject* stream_deepcopy(PyObject* self, PyObject* /*memo*/) noexcept {
    return stream_copy<I>(self, nullptr);
}

constexpr long pickle_version = 1;

// The construction arguments: the scalar parameters as Python numbers.
template <class I> OwnedRef scalar_arguments(const Stream<I>& s) noexcept {
    return std::apply(
        [](auto... scalar) {
            OwnedRef tuple = OwnedRef::steal(created_or_abort(PyTuple_New(sizeof...(scalar))));
            Py_ssize_t i = 0;
            const auto put = [&](auto value) {
                PyObject* item = nullptr;
                if constexpr (std::is_same_v<decltype(value), double>) {
                    item = PyFloat_FromDouble(value);
                } else {
                    item = PyLong_FromUnsignedLongLong(value);
                }
                PyTuple_SetItem(tuple.get(), i++, created_or_abort(item));
            };
            (put(scalar), ...);
            return tuple;
        },
        s.scalars);
}

template <class I> PyObject* stream_reduce(PyObject* self, PyObject* /*unused*/) noexcept {
    PyObject* module = PyType_GetModule(Py_TYPE(self));
    if (module == nullptr) {
        return nullptr;
    }
    const OwnedRef restore = OwnedRef::steal(PyObject_GetAttrString(module, "_restore"));
    if (!restore) {
        return nullptr;
    }
    Stream<I>& s = stream_of<I>(self);
    constexpr std::size_t words = words_per_record<I>;
    const std::size_t size = s.symbols * words * 8;
    OwnedRef bytes =
        OwnedRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!bytes) {
        return nullptr;
    }
    auto* out = reinterpret_cast<unsigned char*>(PyBytes_AsString(bytes.get()));
    {
        const Claim claim(s.busy);
        for (std::size_t i = 0; i < s.symbols; ++i) {
            Word w[words];
            record_to_words(s.records[i], w);
            for (std::size_t j = 0; j < words; ++j) {
                for (std::size_t b = 0; b < 8; ++b) {
                    *out++ = static_cast<unsigned char>(w[j] >> (8 * b));
                }
            }
        }
    }
    const OwnedRef arguments = scalar_arguments(s);
    const OwnedRef symbols = s.many
                                 ? OwnedRef::steal(created_or_abort(PyLong_FromSize_t(s.symbols)))
                                 : OwnedRef::borrow(Py_None);
    return Py_BuildValue("(O(OlOOO))", restore.get(), reinterpret_cast<PyObject*>(Py_TYPE(self)),
                         pickle_version, arguments.get(), symbols.get(), bytes.get());
}

// Loads pickled records into a stream just made from the pickled
// parameters; false if the bytes are not records of this type.
template <class I> bool load_records(PyObject* stream, const unsigned char* data) noexcept {
    Stream<I>& s = stream_of<I>(stream);
    constexpr std::size_t words = words_per_record<I>;
    for (std::size_t i = 0; i < s.symbols; ++i) {
        Word w[words] = {};
        for (std::size_t j = 0; j < words; ++j) {
            for (std::size_t b = 0; b < 8; ++b) {
                w[j] |= Word{*data++} << (8 * b);
            }
        }
        if (!record_from_words(s.records[i], w) ||
            !s.records[i].state.reachable(s.records[i].value)) {
            return false;
        }
    }
    return true;
}

// ---------------------------------------------------------------- attributes

// A value per symbol: a float (None when NaN and `none_for_nan`) for one
// series, an array for many.
template <class I, class Value>
PyObject* per_symbol(PyObject* self, Value value, bool none_for_nan) noexcept {
    Stream<I>& s = stream_of<I>(self);
    if (!s.many) {
        double v = 0.0;
        {
            const Claim claim(s.busy);
            v = value(s.records[0]);
        }
        if (none_for_nan && v != v) {
            Py_RETURN_NONE;
        }
        return PyFloat_FromDouble(v);
    }
    arrays::Destination destination;
    ConvertedArguments<arrays::ReportWhenCopyFails> nothing;
    if (CallStatus made = make_result(destination, s.ndarray, Layout<I>::construction,
                                      {1, 1, s.symbols}, nothing);
        made.failed()) {
        return raised(std::move(made.error()));
    }
    arrays::RowOutput out = destination.row(0);
    const Claim claim(s.busy);
    for (std::size_t i = 0; i < s.symbols; ++i) {
        out.put(i, value(s.records[i]));
    }
    return destination.release();
}

template <class I> PyObject* get_value(PyObject* self, void* /*unused*/) noexcept {
    Stream<I>& s = stream_of<I>(self);
    if (!s.many && s.records[0].state.bars == 0) {
        Py_RETURN_NONE;
    }
    return per_symbol<I>(self, [](const Record<I>& r) { return r.value; }, false);
}

template <class I> PyObject* get_bars(PyObject* self, void* /*unused*/) noexcept {
    Stream<I>& s = stream_of<I>(self);
    if (!s.many) {
        const Claim claim(s.busy);
        return PyLong_FromUnsignedLongLong(s.records[0].state.bars);
    }
    OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(s.symbols)));
    if (!list) {
        return nullptr;
    }
    const Claim claim(s.busy);
    for (std::size_t i = 0; i < s.symbols; ++i) {
        PyObject* count = PyLong_FromUnsignedLongLong(s.records[i].state.bars);
        if (count == nullptr) {
            return nullptr;
        }
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), count);
    }
    return list.release();
}

template <class I> PyObject* get_symbols(PyObject* self, void* /*unused*/) noexcept {
    const Stream<I>& s = stream_of<I>(self);
    if (!s.many) {
        Py_RETURN_NONE;
    }
    return PyLong_FromSize_t(s.symbols);
}

template <class I> PyObject* get_seed(PyObject* self, void* /*unused*/) noexcept {
    return per_symbol<I>(self, [](const Record<I>& r) { return r.state.seed; }, true);
}

// Value `field` of the last bar of the indicator's kin of several values
// (ManyValuedKin), read from the state that bar left: None (NaN for each
// symbol of many) before the first bar.
template <class I> PyObject* get_field(PyObject* self, void* field) noexcept {
    using Kin = ManyValuedKin<I>;
    using Kernel = typename Kin::type::template Kernel<TARNWICK_TARGET::OneLane>;
    const auto f = reinterpret_cast<std::uintptr_t>(field);
    Stream<I>& s = stream_of<I>(self);
    if (!s.many && s.records[0].state.bars == 0) {
        Py_RETURN_NONE;
    }
    return per_symbol<I>(
        self,
        [f](const Record<I>& r) {
            return r.state.bars == 0 ? quiet_nan : Kernel::value_of(r.state, r.value).value[f];
        },
        false);
}

// Scalar parameter `index`, as the stream was made with it.
template <class I> PyObject* get_parameter(PyObject* self, void* index) noexcept {
    const OwnedRef arguments = scalar_arguments(stream_of<I>(self));
    PyObject* item = PyTuple_GetItem(arguments.get(), reinterpret_cast<Py_ssize_t>(index));
    return OwnedRef::borrow(item).release();
}

// The seed every symbol started from, or NaN until all have the same one.
template <class I> double common_seed(Stream<I>& s) noexcept {
    const Claim claim(s.busy);
    const double first = s.records[0].state.seed;
    for (std::size_t i = 1; i < s.symbols; ++i) {
        if (std::bit_cast<Word>(s.records[i].state.seed) != std::bit_cast<Word>(first)) {
            return quiet_nan;
        }
    }
    return first;
}

// "Adx(period=14)", with ", symbols=N" for many symbols: the call that makes
// a stream with these parameters. A GARCH stream adds its seed once it has
// one: with the parameters it fixes every value the stream gives. The bars
// seen are state that no argument sets, and stay in `bars`.
template <class I> PyObject* stream_repr(PyObject* self) noexcept {
    using L = Layout<I>;
    Stream<I>& s = stream_of<I>(self);
    const OwnedRef values = scalar_arguments(s);
    const OwnedRef parts = OwnedRef::steal(created_or_abort(PyList_New(0)));
    for (std::size_t j = 0; j < L::scalars; ++j) {
        const OwnedRef part = OwnedRef::steal(
            PyUnicode_FromFormat("%s=%R", I::parameters[L::series + j].name.data(),
                                 PyTuple_GetItem(values.get(), static_cast<Py_ssize_t>(j))));
        if (!part || PyList_Append(parts.get(), part.get()) < 0) {
            return nullptr;
        }
    }
    if constexpr (L::takes_seed) {
        const double seed = common_seed(s);
        const OwnedRef value = OwnedRef::steal(PyFloat_FromDouble(seed));
        const OwnedRef part = seed == seed && value
                                  ? OwnedRef::steal(PyUnicode_FromFormat("seed=%R", value.get()))
                                  : OwnedRef();
        if (seed == seed && (!part || PyList_Append(parts.get(), part.get()) < 0)) {
            return nullptr;
        }
    }
    if (s.many) {
        const OwnedRef part = OwnedRef::steal(PyUnicode_FromFormat("symbols=%zu", s.symbols));
        if (!part || PyList_Append(parts.get(), part.get()) < 0) {
            return nullptr;
        }
    }
    const OwnedRef separator = OwnedRef::steal(created_or_abort(PyUnicode_FromString(", ")));
    const OwnedRef joined_parts = OwnedRef::steal(PyUnicode_Join(separator.get(), parts.get()));
    if (!joined_parts) {
        return nullptr;
    }
    return PyUnicode_FromFormat("%s(%U)", I::type_name.data(), joined_parts.get());
}

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
            garch11_forecast(ahead, state.variance, s.settings);
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

// ---------------------------------------------------------------- the types

using FastCall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
PyCFunction fastcall(FastCall f) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}
using NoArgs = PyObject* (*)(PyObject*, PyObject*) noexcept;
PyCFunction plain(NoArgs f) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

template <class I> struct Type {
    using L = Layout<I>;
    static inline PyMethodDef methods[] = {
        {"update", fastcall(&stream_update<I>), METH_FASTCALL | METH_KEYWORDS,
         docstring<L::update>.data()},
        {"peek", fastcall(&stream_peek<I>), METH_FASTCALL | METH_KEYWORDS,
         docstring<L::peek>.data()},
        {"extend", fastcall(&stream_extend<I>), METH_FASTCALL | METH_KEYWORDS,
         docstring<L::extend>.data()},
        {"copy", plain(&stream_copy<I>), METH_NOARGS, "An independent stream in the same state."},
        {"__copy__", plain(&stream_copy<I>), METH_NOARGS, nullptr},
        {"__deepcopy__", plain(&stream_deepcopy<I>), METH_O, nullptr},
        {"__reduce__", plain(&stream_reduce<I>), METH_NOARGS, nullptr},
        forecast_record<I>(),
        {nullptr, nullptr, 0, nullptr},
    };

    // The other values of the indicator's kin of several values, if any.
    static constexpr std::size_t fields = [] {
        if constexpr (requires { ManyValuedKin<I>::value_field; }) {
            return ManyValuedKin<I>::type::outputs.size();
        } else {
            return std::size_t{0};
        }
    }();
    static constexpr std::size_t attributes =
        3 + L::scalars + (L::takes_seed ? 1 : 0) + (fields > 0 ? fields - 1 : 0);
    static inline std::array<PyGetSetDef, attributes + 1> getset = [] {
        std::array<PyGetSetDef, attributes + 1> list{};
        std::size_t at = 0;
        list[at++] = {"value", &get_value<I>, nullptr,
                      "The last value (None before the first bar; with symbols=N, an array with "
                      "NaN for symbols that have had no bar).",
                      nullptr};
        list[at++] = {"bars", &get_bars<I>, nullptr,
                      "The number of bars seen (with symbols=N, a list of one count per symbol).",
                      nullptr};
        list[at++] = {"symbols", &get_symbols<I>, nullptr,
                      "The number of symbols, None for a stream of one series.", nullptr};
        for (std::size_t j = 0; j < L::scalars; ++j) {
            list[at++] = {I::parameters[L::series + j].name.data(), &get_parameter<I>, nullptr,
                          "A parameter, as the stream was made with it.",
                          reinterpret_cast<void*>(j)};
        }
        if constexpr (L::takes_seed) {
            list[at++] = {"seed", &get_seed<I>, nullptr,
                          "The variance the recursion started from (None until the first "
                          "returns are seen): garch11_variance(returns, ..., seed=stream.seed) "
                          "in tarnwick_arrays gives the stream's values.",
                          nullptr};
        }
        if constexpr (fields > 0) {
            for (std::size_t f = 0; f < fields; ++f) {
                if (f != ManyValuedKin<I>::value_field) {
                    list[at++] = {ManyValuedKin<I>::type::outputs[f].data(), &get_field<I>, nullptr,
                                  "The last bar's value of this name, as the field of this name "
                                  "of the tarnwick_arrays\nfunction of several values gives it "
                                  "(None before the first bar; with symbols=N,\nan array with "
                                  "NaN for symbols that have had no bar).",
                                  reinterpret_cast<void*>(f)};
                }
            }
        }
        list[at] = {nullptr, nullptr, nullptr, nullptr, nullptr};
        return list;
    }();

    static inline PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(&stream_new<I>)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&stream_dealloc<I>)},
        {Py_tp_repr, reinterpret_cast<void*>(&stream_repr<I>)},
        {Py_tp_methods, methods},
        {Py_tp_getset, getset.data()},
        {Py_tp_doc, const_cast<char*>(docstring<L::construction>.data())},
        {0, nullptr},
    };
    static inline PyType_Spec spec = {
        L::qualified_name.text,
        static_cast<int>(sizeof(Stream<I>)),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
        slots,
    };

    // A stream made from `arguments` with `records` loaded, or false.
    static bool restore(PyObject* type, PyObject* arguments, PyObject* symbols, PyObject* bytes,
                        OwnedRef& made) noexcept {
        std::size_t count = 1;
        if (symbols != Py_None) {
            if (!PyLong_Check(symbols)) {
                return false;
            }
            count = PyLong_AsSize_t(symbols);
            if (PyErr_Occurred() != nullptr || count == 0) {
                return false;
            }
        }
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (!PyBytes_Check(bytes) || PyBytes_AsStringAndSize(bytes, &data, &size) < 0) {
            return false;
        }
        constexpr std::size_t record_size = words_per_record<I> * 8;
        if (count > static_cast<std::size_t>(size) / record_size ||
            static_cast<std::size_t>(size) != count * record_size) {
            return false;
        }
        const OwnedRef keywords = OwnedRef::steal(created_or_abort(PyDict_New()));
        if (symbols != Py_None && PyDict_SetItemString(keywords.get(), "symbols", symbols) < 0) {
            return false;
        }
        OwnedRef stream = OwnedRef::steal(PyObject_Call(type, arguments, keywords.get()));
        if (!stream || Py_TYPE(stream.get()) != reinterpret_cast<PyTypeObject*>(type) ||
            !load_records<I>(stream.get(), reinterpret_cast<const unsigned char*>(data))) {
            return false;
        }
        made = std::move(stream);
        return true;
    }
};

template <class... I>
constexpr std::array<PyType_Spec*, sizeof...(I)> specs_of(IndicatorList<I...>) {
    return {&Type<I>::spec...};
}

using Restore = bool (*)(PyObject*, PyObject*, PyObject*, PyObject*, OwnedRef&) noexcept;
template <class... I> constexpr std::array<Restore, sizeof...(I)> restores_of(IndicatorList<I...>) {
    return {&Type<I>::restore...};
}

constexpr auto specs = specs_of(Catalogue{});
constexpr auto restores = restores_of(Catalogue{});

PyObject* count_fork(PyObject* /*module*/, PyObject* /*unused*/) noexcept {
    forks.fetch_add(1, std::memory_order_relaxed);
    Py_RETURN_NONE;
}

PyMethodDef count_fork_record = {"_count_fork", &count_fork, METH_NOARGS, nullptr};

} // namespace

int count_forks() noexcept {
    const OwnedRef os = OwnedRef::steal(PyImport_ImportModule("os"));
    if (!os) {
        return -1;
    }
    if (PyObject_HasAttrString(os.get(), "register_at_fork") == 0) {
        return 0; // no fork on this platform
    }
    const OwnedRef hook = OwnedRef::steal(PyCFunction_New(&count_fork_record, nullptr));
    const OwnedRef register_at_fork =
        OwnedRef::steal(PyObject_GetAttrString(os.get(), "register_at_fork"));
    const OwnedRef arguments = OwnedRef::steal(PyTuple_New(0));
    const OwnedRef keywords = OwnedRef::steal(PyDict_New());
    if (!hook || !register_at_fork || !arguments || !keywords ||
        PyDict_SetItemString(keywords.get(), "after_in_child", hook.get()) < 0) {
        return -1;
    }
    const OwnedRef registered =
        OwnedRef::steal(PyObject_Call(register_at_fork.get(), arguments.get(), keywords.get()));
    return registered ? 0 : -1;
}

int add_types(PyObject* module, PyObject** types) noexcept {
    for (std::size_t i = 0; i < specs.size(); ++i) {
        PyObject* type = PyType_FromModuleAndSpec(module, specs[i], nullptr);
        if (type == nullptr) {
            return -1;
        }
        types[i] = type;
        const char* name = specs[i]->name + std::strlen("tarnwick_stream.");
        if (PyModule_AddObjectRef(module, name, type) < 0) {
            return -1;
        }
    }
    return 0;
}

PyObject* restore(PyObject* const* types, PyObject* args) noexcept {
    PyObject* type = nullptr;
    PyObject* version = nullptr;
    PyObject* arguments = nullptr;
    PyObject* symbols = nullptr;
    PyObject* bytes = nullptr;
    const auto corrupted = [] {
        PyErr_SetString(PyExc_ValueError, "not a pickled tarnwick_stream stream");
        return nullptr;
    };
    if (!PyArg_ParseTuple(args, "OOO!OO", &type, &version, &PyTuple_Type, &arguments, &symbols,
                          &bytes)) {
        PyErr_Clear();
        return corrupted();
    }
    std::size_t kind = 0;
    while (kind < specs.size() && types[kind] != type) {
        ++kind;
    }
    if (kind == specs.size() || !PyLong_CheckExact(version)) {
        return corrupted();
    }
    const long number = PyLong_AsLong(version);
    if (number != pickle_version) {
        PyErr_Clear();
        Text message("unknown tarnwick_stream pickle version ");
        const OwnedRef text = OwnedRef::steal(PyObject_Repr(version));
        const char* repr = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
        message += repr != nullptr ? repr : "?";
        PyErr_Clear();
        return raised(value_error(std::move(message)));
    }
    OwnedRef made;
    if (!restores[kind](type, arguments, symbols, bytes, made)) {
        // A checkpoint of many symbols where numpy is missing (or memory for
        // its records) is not a corrupted one: the constructor's error says
        // what to do.
        if (PyErr_ExceptionMatches(PyExc_ImportError) != 0 ||
            PyErr_ExceptionMatches(PyExc_MemoryError) != 0) {
            return nullptr;
        }
        PyErr_Clear();
        return corrupted();
    }
    return made.release();
}

} // namespace tarnwick::stream
