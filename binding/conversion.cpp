// SPDX-License-Identifier: MIT
#include "conversion.hpp"

#include "cached.hpp"
#include "fatal.hpp"
#include "py_ref.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <type_traits>
#include <utility>

namespace tarnwick {

namespace {

// A length reported by __len__ is only a hint: trusting a huge or false one
// would reserve memory the iteration never fills, or abort the process.
constexpr Py_ssize_t max_untrusted_reservation = 4096;

bool is_str(PyObject* object) noexcept {
    return (PyType_GetFlags(Py_TYPE(object)) & Py_TPFLAGS_UNICODE_SUBCLASS) != 0;
}

// The general route: the object's own iteration, each item through float().
CallStatus read_by_iteration(PyObject* object, FloatSeries& series,
                             InPlaceSeries& in_place) noexcept {
    Py_ssize_t hint = PyObject_Size(object);
    if (hint < 0) {
        PyErr_Clear();
        hint = 0;
    }
    std::size_t failed_bytes = 0;
    if (!series.try_reserve(static_cast<std::size_t>(std::min(hint, max_untrusted_reservation)),
                            failed_bytes)) {
        return in_place.out_of_memory(failed_bytes);
    }
    const OwnedRef iterator = OwnedRef::steal(PyObject_GetIter(object));
    if (!iterator) {
        return CallError::fetch();
    }
    while (const OwnedRef item = OwnedRef::steal(PyIter_Next(iterator.get()))) {
        const double value = PyFloat_AsDouble(item.get());
        if (value == -1.0 && PyErr_Occurred() != nullptr) {
            return CallError::fetch();
        }
        if (!series.try_push_back(value, failed_bytes)) {
            return in_place.out_of_memory(failed_bytes);
        }
    }
    if (PyErr_Occurred() != nullptr) {
        return CallError::fetch();
    }
    return CallStatus::ok();
}

// Exact lists and tuples, by index, as their iterators read them. An exact
// float or int converts without running any Python code; any other item may
// (its __float__ may grow or shrink the list), so it is held while it
// converts and the length is read again after it.
template <Py_ssize_t (*Size)(PyObject*), PyObject* (*GetItem)(PyObject*, Py_ssize_t)>
CallStatus read_by_index(PyObject* object, FloatSeries& series, InPlaceSeries& in_place) noexcept {
    Py_ssize_t size = Size(object);
    std::size_t failed_bytes = 0;
    if (!series.try_reserve(static_cast<std::size_t>(size), failed_bytes)) {
        return in_place.out_of_memory(failed_bytes);
    }
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* item = GetItem(object, i);
        if (PyFloat_CheckExact(item) || PyLong_CheckExact(item)) {
            const double value = PyFloat_AsDouble(item);
            if (value == -1.0 && PyErr_Occurred() != nullptr) {
                return CallError::fetch(); // an int too large for a double
            }
            if (!series.try_push_back(value, failed_bytes)) {
                return in_place.out_of_memory(failed_bytes);
            }
            continue;
        }
        in_place.before_python_code();
        const OwnedRef held = OwnedRef::borrow(item);
        const double value = PyFloat_AsDouble(item);
        if (value == -1.0 && PyErr_Occurred() != nullptr) {
            return CallError::fetch();
        }
        if (!series.try_push_back(value, failed_bytes)) {
            return in_place.out_of_memory(failed_bytes);
        }
        size = Size(object);
    }
    return CallStatus::ok();
}

// Types whose iteration yields, item by item, exactly the values of their
// one-dimensional buffer. They are recognised by identity, never by name: a
// type can call itself anything, and a subclass may iterate otherwise (a
// masked array yields a masked constant where its buffer holds a number).
// numpy.ndarray and array.array are the types that those modules, once
// imported by the caller, hold under those names; if the caller has not
// imported the module, none of its objects can be here.
struct ModuleType {
    const char* module;
    const char* name;
    // A static type lives as long as the process, so once found it is known
    // by address alone. A heap type (array.array from 3.12 on) may be freed
    // and its address reused, so it is looked up every time.
    std::atomic<PyTypeObject*> known{nullptr};
};

constinit ModuleType buffer_module_types[] = {{"numpy", "ndarray"}, {"array", "array"}};

// Whether `type` is the very type the module, if imported, holds as `name`.
bool is_module_type(PyTypeObject* type, ModuleType& candidate) noexcept {
    const OwnedRef module_name = OwnedRef::steal(PyUnicode_FromString(candidate.module));
    const OwnedRef module =
        OwnedRef::steal(module_name ? PyImport_GetModule(module_name.get()) : nullptr);
    const OwnedRef held =
        OwnedRef::steal(module ? PyObject_GetAttrString(module.get(), candidate.name) : nullptr);
    PyErr_Clear();
    if (held.get() != reinterpret_cast<PyObject*>(type)) {
        return false;
    }
    if ((PyType_GetFlags(type) & Py_TPFLAGS_HEAPTYPE) == 0) {
        candidate.known.store(type, std::memory_order_relaxed);
    }
    return true;
}

// The byte orders a buffer of `type` may name in its format for its items to
// be read from memory, or nothing if they must be read by iteration. numpy
// iterates any byte order as its values; the built-in types iterate only
// native formats (a memoryview of '>d' refuses to iterate, and so must fail
// as its iteration does).
std::optional<ByteOrders> iterates_as_its_buffer(PyTypeObject* type,
                                                 InPlaceSeries& in_place) noexcept {
    if (type == &PyBytes_Type || type == &PyByteArray_Type || type == &PyMemoryView_Type) {
        return ByteOrders::native;
    }
    const auto orders = [](const ModuleType& candidate) {
        return &candidate == &buffer_module_types[0] ? ByteOrders::any : ByteOrders::native;
    };
    for (ModuleType& candidate : buffer_module_types) {
        if (candidate.known.load(std::memory_order_relaxed) == type) {
            return orders(candidate);
        }
    }
    // The module found in sys.modules may be anything the caller put there,
    // and looking an attribute up on it may run its code.
    in_place.before_python_code();
    for (ModuleType& candidate : buffer_module_types) {
        if (is_module_type(type, candidate)) {
            return orders(candidate);
        }
    }
    return std::nullopt;
}

// One item of type T, stored in the machine's byte order or (Swapped) the
// other one, as a double: the value float() gives that item.
template <class T, bool Swapped> double item_as_double(const char* p) noexcept {
    if constexpr (std::is_same_v<T, bool>) {
        // Any non-zero byte iterates as True.
        unsigned char byte;
        std::memcpy(&byte, p, 1);
        return byte != 0 ? 1.0 : 0.0;
    } else {
        unsigned char bytes[sizeof(T)];
        std::memcpy(bytes, p, sizeof bytes);
        if constexpr (Swapped) {
            std::reverse(bytes, bytes + sizeof bytes);
        }
        T value;
        std::memcpy(&value, bytes, sizeof value);
        return static_cast<double>(value);
    }
}

enum class ItemKind : unsigned char { signed_integer, unsigned_integer, floating, boolean };

template <class T> constexpr ItemKind kind_of() noexcept {
    if constexpr (std::is_same_v<T, bool>) {
        return ItemKind::boolean;
    } else if constexpr (std::is_floating_point_v<T>) {
        return ItemKind::floating;
    } else if constexpr (std::is_signed_v<T>) {
        return ItemKind::signed_integer;
    } else {
        return ItemKind::unsigned_integer;
    }
}

struct ItemType {
    ItemKind kind;
    std::size_t size;
    ItemReader native;
    ItemReader swapped;
};

template <class T> constexpr ItemType item_type() noexcept {
    return {kind_of<T>(), sizeof(T), &item_as_double<T, false>, &item_as_double<T, true>};
}

// The item types a buffer can hold that iterate as Python floats, ints or
// bools of the same value, so that each C conversion to double equals
// float(item).
constexpr ItemType item_types[] = {
    item_type<double>(),        item_type<float>(),         item_type<std::int8_t>(),
    item_type<std::uint8_t>(),  item_type<std::int16_t>(),  item_type<std::uint16_t>(),
    item_type<std::int32_t>(),  item_type<std::uint32_t>(), item_type<std::int64_t>(),
    item_type<std::uint64_t>(), item_type<bool>(),
};

struct ItemCode {
    char code;
    ItemKind kind;
    std::size_t native_size;   // with no prefix or '@': the C type's size
    std::size_t standard_size; // with '=', '<', '>' or '!'; 0 where there is none
};

constexpr ItemCode item_codes[] = {
    {'d', ItemKind::floating, sizeof(double), 8},
    {'f', ItemKind::floating, sizeof(float), 4},
    {'b', ItemKind::signed_integer, sizeof(signed char), 1},
    {'B', ItemKind::unsigned_integer, sizeof(unsigned char), 1},
    {'h', ItemKind::signed_integer, sizeof(short), 2},
    {'H', ItemKind::unsigned_integer, sizeof(unsigned short), 2},
    {'i', ItemKind::signed_integer, sizeof(int), 4},
    {'I', ItemKind::unsigned_integer, sizeof(unsigned int), 4},
    {'l', ItemKind::signed_integer, sizeof(long), 4},
    {'L', ItemKind::unsigned_integer, sizeof(unsigned long), 4},
    {'q', ItemKind::signed_integer, sizeof(long long), 8},
    {'Q', ItemKind::unsigned_integer, sizeof(unsigned long long), 8},
    {'n', ItemKind::signed_integer, sizeof(Py_ssize_t), 0},
    {'N', ItemKind::unsigned_integer, sizeof(std::size_t), 0},
    {'?', ItemKind::boolean, sizeof(bool), 1},
};

} // namespace

ItemReader item_reader(const Py_buffer& view, ByteOrders orders) noexcept {
    const char* format = view.format != nullptr ? view.format : "B";
    bool standard = false;
    bool swapped = false;
    switch (format[0]) {
    case '@':
        ++format;
        break;
    case '=':
    case '<':
    case '>':
    case '!':
        if (orders != ByteOrders::any) {
            return nullptr;
        }
        standard = true;
        swapped =
            format[0] != '=' && (format[0] == '<') != (std::endian::native == std::endian::little);
        ++format;
        break;
    default:
        break;
    }
    if (format[0] == '\0' || format[1] != '\0') {
        return nullptr;
    }
    const auto itemsize = static_cast<std::size_t>(view.itemsize);
    for (const ItemCode& item : item_codes) {
        const std::size_t size = standard ? item.standard_size : item.native_size;
        if (item.code != format[0] || size != itemsize) {
            continue;
        }
        for (const ItemType& type : item_types) {
            if (type.kind == item.kind && type.size == size) {
                return swapped ? type.swapped : type.native;
            }
        }
    }
    return nullptr;
}

bool reads_doubles(ItemReader reader) noexcept {
    return reader == &item_as_double<double, false>;
}

namespace {

// Reads the values of a one-dimensional buffer of a known type into
// `argument`, or returns nothing if the object should take the general route
// (other dimensions and formats give the same errors or values there as
// iteration does). Native doubles are read in place, anything else is
// converted into the argument's own series.
std::optional<CallStatus> read_buffer(PyObject* object, SeriesArgument& argument,
                                      InPlaceSeries& in_place) noexcept {
    if (!PyObject_CheckBuffer(object)) {
        return std::nullopt;
    }
    const std::optional<ByteOrders> orders = iterates_as_its_buffer(Py_TYPE(object), in_place);
    BufferExport& buffer = argument.buffer();
    if (!orders || !buffer.try_acquire(object, PyBUF_RECORDS_RO)) {
        return std::nullopt;
    }
    const Py_buffer& view = buffer.view();
    const ItemReader reader = view.ndim == 1 ? item_reader(view, *orders) : nullptr;
    if (reader == nullptr) {
        buffer.release();
        return std::nullopt;
    }
    const auto n = static_cast<std::size_t>(view.shape[0]);
    const Py_ssize_t stride = view.strides[0];
    const char* base = static_cast<const char*>(view.buf);
    const bool doubles_in_place = reads_doubles(reader) &&
                                  stride == static_cast<Py_ssize_t>(sizeof(double)) &&
                                  reinterpret_cast<std::uintptr_t>(base) % alignof(double) == 0;
    if (doubles_in_place) {
        argument.read_in_place({reinterpret_cast<const double*>(base), n});
        return CallStatus::ok();
    }
    FloatSeries& series = argument.owned();
    std::size_t failed_bytes = 0;
    if (!series.try_reserve(n, failed_bytes)) {
        buffer.release();
        return CallStatus(in_place.out_of_memory(failed_bytes));
    }
    (void)series.try_resize_uninitialized(n); // reserved above
    for (std::size_t i = 0; i < n; ++i) {
        series[i] = reader(base + static_cast<Py_ssize_t>(i) * stride);
    }
    buffer.release();
    return CallStatus::ok();
}

} // namespace

CallStatus extract_float_series_into(SeriesArgument& argument, PyObject* object,
                                     std::string_view parameter, InPlaceSeries& in_place) noexcept {
    CallStatus status = CallStatus::ok();
    if (is_str(object)) {
        status = CallError::pending(PyExc_TypeError, "Can't extract `str` to `Vec`");
    } else if (!PySequence_Check(object)) {
        in_place.before_python_code();
        const OwnedRef sequence = sequence_abc();
        status = sequence ? cast_error(object, sequence.get()) : CallError::fetch();
    } else if (PyList_CheckExact(object)) {
        status = read_by_index<PyList_Size, PyList_GetItem>(object, argument.owned(), in_place);
    } else if (PyTuple_CheckExact(object)) {
        status = read_by_index<PyTuple_Size, PyTuple_GetItem>(object, argument.owned(), in_place);
    } else if (std::optional<CallStatus> read = read_buffer(object, argument, in_place)) {
        status = std::move(*read);
    } else {
        in_place.before_python_code();
        status = read_by_iteration(object, argument.owned(), in_place);
    }
    if (status.failed()) {
        return argument_extraction_error(parameter, std::move(status.error()));
    }
    return CallStatus::ok();
}

CallResult<double> extract_float(PyObject* object, std::string_view parameter,
                                 InPlaceSeries& in_place) noexcept {
    if (!PyFloat_CheckExact(object) && !PyLong_CheckExact(object)) {
        in_place.before_python_code();
    }
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred() != nullptr) {
        return argument_extraction_error(parameter, CallError::fetch());
    }
    return value;
}

CallResult<std::uint64_t> extract_index(PyObject* object, std::string_view parameter,
                                        InPlaceSeries& in_place) noexcept {
    if (!PyLong_CheckExact(object)) {
        in_place.before_python_code();
    }
    unsigned long long value = 0;
    if ((PyType_GetFlags(Py_TYPE(object)) & Py_TPFLAGS_LONG_SUBCLASS) != 0) {
        value = PyLong_AsUnsignedLongLong(object);
    } else {
        const OwnedRef index = OwnedRef::steal(PyNumber_Index(object));
        if (!index) {
            return argument_extraction_error(parameter, CallError::fetch());
        }
        value = PyLong_AsUnsignedLongLong(index.get());
    }
    // All ones is also a valid count; only a pending exception makes it an error.
    if (value == ~0ULL && PyErr_Occurred() != nullptr) {
        return argument_extraction_error(parameter, CallError::fetch());
    }
    return std::uint64_t{value};
}

} // namespace tarnwick
