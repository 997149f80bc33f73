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
//
// Each concern is a file of its own: layout.hpp (the catalogue as a stream),
// record.hpp, claim.*, object.hpp, construction.*, one_series.hpp,
// many_symbols.*, pickle.hpp, attributes.hpp, forecast.*; this file puts
// them together into the types, and restores a pickle.
#include "stream.hpp"

#include "../binding/call_error.hpp"
#include "../binding/catalogue.hpp"
#include "../binding/fatal.hpp"
#include "../binding/py_ref.hpp"
#include "attributes.hpp"
#include "construction.hpp"
#include "forecast.hpp"
#include "many_symbols.hpp"
#include "one_series.hpp"
#include "pickle.hpp"

#include <Python.h>

#include <array>
#include <utility>

namespace tarnwick::stream {

namespace {

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
    if (from.own != nullptr) {
        to.own = allocate_numbers<I>(from.symbols);
        if (to.own == nullptr) {
            return nullptr;
        }
        std::memcpy(static_cast<void*>(to.own), from.own, sizeof(SymbolNumbers<I>) * from.symbols);
    }
    to.given_per_symbol = from.given_per_symbol;
    to.many = from.many;
    to.ndarray = OwnedRef::borrow(from.ndarray).release();
    to.keys = OwnedRef::borrow(from.keys).release();
    to.places = OwnedRef::borrow(from.places).release();
    const Claim claim(from.busy);
    std::memcpy(static_cast<void*>(to.records), from.records, sizeof(Record<I>) * from.symbols);
    return copy.release();
}

template <class I> PyObject* stream_deepcopy(PyObject* self, PyObject* /*memo*/) noexcept {
    return stream_copy<I>(self, nullptr);
}

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
        4 + L::scalars + (L::takes_seed ? 1 : 0) + (fields > 0 ? fields - 1 : 0);
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
        list[at++] = {"keys", &get_keys<I>, nullptr,
                      "The symbols' keys in order (those of symbols=keys; 0 to N - 1 for "
                      "symbols=N), None for a stream of one series: by= names symbols by them.",
                      nullptr};
        for (std::size_t j = 0; j < L::scalars; ++j) {
            list[at++] = {I::parameters[L::series + j].name.data(), &get_parameter<I>, nullptr,
                          "A parameter, as the stream was made with it: with symbols=, an array of "
                          "one per symbol where it was given so.",
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
        if (PyTuple_Check(symbols)) {
            count = static_cast<std::size_t>(PyTuple_Size(symbols));
        } else if (symbols != Py_None) {
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

constexpr auto specs = specs_of(StreamCatalogue{});
constexpr auto restores = restores_of(StreamCatalogue{});

} // namespace

int add_types(PyObject* module, PyObject** types) noexcept {
    for (std::size_t i = 0; i < specs.size(); ++i) {
        if (add_type(module, specs[i], types[i]) < 0) {
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
    if (number < 1 || number > pickle_version) {
        PyErr_Clear();
        Text message("unknown tarnwick_stream pickle version ");
        const OwnedRef text = OwnedRef::steal(PyObject_Repr(version));
        const char* repr = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
        message += repr != nullptr ? repr : "?";
        PyErr_Clear();
        return raised(value_error(std::move(message)));
    }
    // Keys came with version 2, numbers one per symbol with version 3: in an
    // older record, a tuple of symbols or a parameter that is not a number is
    // damage.
    if (number < 2 && PyTuple_Check(symbols)) {
        return corrupted();
    }
    for (Py_ssize_t j = 0; number < 3 && j < PyTuple_Size(arguments); ++j) {
        PyObject* argument = PyTuple_GetItem(arguments, j);
        if (!PyFloat_CheckExact(argument) && !PyLong_CheckExact(argument)) {
            return corrupted();
        }
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
