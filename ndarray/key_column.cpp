// SPDX-License-Identifier: MIT
#include "key_column.hpp"

#include <algorithm>
#include <bit>
#include <cctype>
#include <cstring>
#include <new>
#include <utility>

namespace tarnwick::arrays {

namespace {

// The Arrow C data interface's structures, as Arrow defines them.
struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    std::int64_t flags;
    std::int64_t n_children;
    ArrowSchema** children;
    ArrowSchema* dictionary;
    void (*release)(ArrowSchema*);
    void* private_data;
};

struct ArrowArray {
    std::int64_t length;
    std::int64_t null_count;
    std::int64_t offset;
    std::int64_t n_buffers;
    std::int64_t n_children;
    const void** buffers;
    ArrowArray** children;
    ArrowArray* dictionary;
    void (*release)(ArrowArray*);
    void* private_data;
};

struct ArrowArrayStream {
    int (*get_schema)(ArrowArrayStream*, ArrowSchema*);
    int (*get_next)(ArrowArrayStream*, ArrowArray*);
    const char* (*get_last_error)(ArrowArrayStream*);
    void (*release)(ArrowArrayStream*);
    void* private_data;
};

// A value of type T at `at`, which need not be aligned for T: Arrow asks
// producers to align their buffers but does not require it.
template <class T> T load(const void* at) noexcept {
    T value{};
    std::memcpy(&value, at, sizeof value);
    return value;
}

std::uint64_t word(const char* at) noexcept {
    return load<std::uint64_t>(at);
}

void prefetch(const void* at) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(at);
#else
    (void)at;
#endif
}

std::uint64_t half_word(const char* at) noexcept {
    return load<std::uint32_t>(at);
}

} // namespace

// Fixed-size loads only (no call to copy a key's last few bytes): the first
// and the last eight bytes, overlapping, hold every byte of a key of up to
// 16, and of a shorter key the first and last four, or its first, middle
// and last byte; a longer key's middle words are mixed in as well.
DistinctKeys::Key DistinctKeys::key_of(std::string_view bytes) noexcept {
    constexpr std::uint64_t odd = 0x9E3779B97F4A7C15ULL;
    const char* at = bytes.data();
    const std::size_t n = bytes.size();
    Key key{0, 0, 0};
    if (n >= 8) {
        key.first = word(at);
        key.last = word(at + n - 8);
    } else if (n >= 4) {
        key.first = half_word(at) << 32 | half_word(at + n - 4);
    } else if (n > 0) {
        key.first = std::uint64_t{static_cast<unsigned char>(at[0])} << 16 |
                    std::uint64_t{static_cast<unsigned char>(at[n >> 1])} << 8 |
                    static_cast<unsigned char>(at[n - 1]);
    }
    const auto mix = [&](std::uint64_t hash, std::uint64_t w) {
        hash = (hash ^ w) * odd;
        return hash ^ (hash >> 29);
    };
    std::uint64_t hash = mix(mix(std::uint64_t{n} * odd, key.first), key.last);
    for (std::size_t i = 8; i + 8 < n; i += 8) {
        hash = mix(hash, word(at + i));
    }
    // The low bits pick the slot: every bit of the key is mixed into them.
    hash = (hash ^ (hash >> 32)) * 0xD6E8FEB86659FD93ULL;
    key.hash = hash ^ (hash >> 32);
    return key;
}

namespace {

// The Arrow text formats read: string, large_string, string_view.
char text_format(const char* format) noexcept {
    if (format == nullptr) {
        return '\0';
    }
    if (std::strcmp(format, "u") == 0 || std::strcmp(format, "U") == 0) {
        return format[0];
    }
    return std::strcmp(format, "vu") == 0 ? 'v' : '\0';
}

} // namespace

bool read_integer(const char* at, char format, Py_ssize_t width, long long& value) noexcept {
    const bool is_signed = std::strchr("bhilq", format) != nullptr;
    if (!is_signed && std::strchr("BHILQ", format) == nullptr) {
        return false;
    }
    std::uint64_t bits = 0;
    switch (width) {
    case 1: {
        std::uint8_t v = 0;
        std::memcpy(&v, at, 1);
        bits = is_signed ? static_cast<std::uint64_t>(static_cast<std::int8_t>(v)) : v;
        break;
    }
    case 2: {
        std::uint16_t v = 0;
        std::memcpy(&v, at, 2);
        bits = is_signed ? static_cast<std::uint64_t>(static_cast<std::int16_t>(v)) : v;
        break;
    }
    case 4: {
        std::uint32_t v = 0;
        std::memcpy(&v, at, 4);
        bits = is_signed ? static_cast<std::uint64_t>(static_cast<std::int32_t>(v)) : v;
        break;
    }
    case 8:
        std::memcpy(&bits, at, 8);
        if (!is_signed && bits > static_cast<std::uint64_t>(INT64_MAX)) {
            bits = UINT64_MAX; // beyond any place: an unknown key, -1
        }
        break;
    default:
        return false;
    }
    value = static_cast<long long>(bits);
    return true;
}

namespace {

// A slot holds a key's number plus one (0 when free) in its low half and the
// high half of the key's hash in its high half: a probe passes over other
// keys' slots on the slot's own line, without reading their entries.
constexpr unsigned tag_shift = 32;
constexpr std::uint64_t number_mask = (std::uint64_t{1} << tag_shift) - 1;

std::uint64_t tag_of(std::uint64_t hash) noexcept {
    return hash & ~number_mask;
}

} // namespace

std::size_t DistinctKeys::find(const Key& key, std::string_view bytes) const noexcept {
    const std::uint64_t tag = tag_of(key.hash);
    for (std::size_t slot = static_cast<std::size_t>(key.hash) & mask_; mask_ != 0;
         slot = (slot + 1) & mask_) {
        const std::uint64_t held = slots_[slot];
        if ((held & number_mask) == 0) {
            break;
        }
        if (tag_of(held) != tag) {
            continue;
        }
        // Up to 16 bytes, the words are the key; past them, its bytes.
        const auto d = static_cast<std::size_t>(held & number_mask) - 1;
        const Entry& e = entries_[d];
        if (e.key.first == key.first && e.key.last == key.last && e.size == bytes.size() &&
            (e.size <= 16 || std::memcmp(e.data, bytes.data(), bytes.size()) == 0)) {
            return d;
        }
    }
    return SIZE_MAX;
}

bool DistinctKeys::number_block(const std::string_view* keys, const std::size_t* rows,
                                std::size_t count, std::size_t* into) noexcept {
    // The rows' slots, then the entries of the slots whose tags match, fetched
    // for the whole block before any is looked at: shuffled rows' lookups
    // overlap, not wait on each other.
    Key of[block];
    for (std::size_t q = 0; q < count; ++q) {
        of[q] = key_of(keys[q]);
        if (mask_ != 0) {
            prefetch(&slots_[static_cast<std::size_t>(of[q].hash) & mask_]);
        }
    }
    for (std::size_t q = 0; q < count && mask_ != 0; ++q) {
        const std::uint64_t tag = tag_of(of[q].hash);
        for (std::size_t slot = static_cast<std::size_t>(of[q].hash) & mask_;;
             slot = (slot + 1) & mask_) {
            const std::uint64_t held = slots_[slot];
            if ((held & number_mask) == 0) {
                break;
            }
            if (tag_of(held) == tag) {
                prefetch(&entries_[(held & number_mask) - 1]);
                break;
            }
        }
    }
    for (std::size_t q = 0; q < count; ++q) {
        into[q] = find(of[q], keys[q]);
        if (into[q] == SIZE_MAX && (into[q] = add(of[q], keys[q], rows[q])) == SIZE_MAX) {
            return false;
        }
    }
    return true;
}

std::size_t DistinctKeys::add(const Key& key, std::string_view bytes, std::size_t row) noexcept {
    // At most a quarter full, so that a probe seldom goes past its first line;
    // and numbers that fit their half of a slot.
    if ((4 * count_ >= mask_ && !grow()) || count_ + 1 >= number_mask) {
        return SIZE_MAX;
    }
    std::size_t slot = static_cast<std::size_t>(key.hash) & mask_;
    while (slots_[slot] != 0) {
        slot = (slot + 1) & mask_;
    }
    entries_[count_] = {key, bytes.data(), bytes.size(), row};
    slots_[slot] = tag_of(key.hash) | ++count_;
    return count_ - 1;
}

// Four times the room, the keys so far placed again.
bool DistinctKeys::grow() noexcept {
    const std::size_t size = mask_ == 0 ? 64 : 4 * (mask_ + 1);
    if (size > SIZE_MAX / sizeof(Entry)) {
        return false;
    }
    std::unique_ptr<std::uint64_t[], FreeMemory> slots(
        static_cast<std::uint64_t*>(std::calloc(size, sizeof(std::uint64_t))));
    std::unique_ptr<Entry[], FreeMemory> entries(
        static_cast<Entry*>(std::malloc(sizeof(Entry) * (size / 4))));
    if (!slots || !entries) {
        return false;
    }
    for (std::size_t d = 0; d < count_; ++d) {
        entries[d] = entries_[d];
        std::size_t slot = static_cast<std::size_t>(entries[d].key.hash) & (size - 1);
        while (slots[slot] != 0) {
            slot = (slot + 1) & (size - 1);
        }
        slots[slot] = tag_of(entries[d].key.hash) | (d + 1);
    }
    slots_ = std::move(slots);
    entries_ = std::move(entries);
    mask_ = size - 1;
    return true;
}

// The Arrow chunks of a column of text, each released with the column.
struct KeyColumn::Chunks {
    char format = '\0'; // 'u', 'U' or 'v' (string_view)
    ArrowArray* arrays = nullptr;
    std::size_t count = 0;
    std::size_t room = 0;

    Chunks() noexcept = default;
    Chunks(const Chunks&) = delete;
    Chunks& operator=(const Chunks&) = delete;
    ~Chunks() {
        for (std::size_t c = 0; c < count; ++c) {
            if (arrays[c].release != nullptr) {
                arrays[c].release(&arrays[c]);
            }
        }
        std::free(arrays);
    }
    // Takes `array` (moved out of its producer) when it has no nulls; false
    // when it has some or lacks a buffer its format reads, or when the
    // memory cannot be had: released then.
    bool take(ArrowArray& array) noexcept {
        if ((array.null_count != 0 && array.length > 0) || array.n_buffers < 3) {
            array.release(&array);
            return false;
        }
        if (count == room) {
            const std::size_t more = room == 0 ? 8 : 2 * room;
            auto* grown = static_cast<ArrowArray*>(std::realloc(arrays, sizeof(ArrowArray) * more));
            if (grown == nullptr) {
                array.release(&array);
                return false;
            }
            arrays = grown;
            room = more;
        }
        arrays[count++] = array;
        array.release = nullptr;
        return true;
    }
    // The rows of chunk `a`, with what bounds them read once: the first and
    // last offsets, between which its data lies, or its views' data buffers
    // and their sizes (the array's last buffer).
    class Rows {
      public:
        Rows(char format, const ArrowArray& a) noexcept
            : format_(format), data_(static_cast<const char*>(a.buffers[2])),
              buffers_(a.buffers + 2), data_buffers_(a.n_buffers - 3),
              sizes_(static_cast<const char*>(a.buffers[a.n_buffers - 1])) {
            // Read a value at a time, as they need not be aligned.
            const std::size_t width = format == 'u' ? 4 : format == 'U' ? 8 : 16;
            at_ =
                static_cast<const char*>(a.buffers[1]) + width * static_cast<std::size_t>(a.offset);
            if (format != 'v') {
                low_ = offset(0);
                high_ = offset(static_cast<std::size_t>(a.length));
            }
        }
        // The bytes of row `i` into `bytes`; false when they would lie
        // outside the chunk's data (offsets out of order, a view's buffer or
        // place past the sizes the array gives), which a valid array never
        // has.
        [[nodiscard]] bool row(std::size_t i, std::string_view& bytes) const noexcept {
            if (format_ != 'v') {
                const std::int64_t start = offset(i);
                const std::int64_t end = offset(i + 1);
                if (low_ < 0 || low_ > start || start > end || end > high_) {
                    return false;
                }
                // Within the address space, as the data is.
                bytes = {data_ + static_cast<std::ptrdiff_t>(start),
                         static_cast<std::size_t>(end - start)};
                return true;
            }
            // A view: its length, then the bytes themselves when 12 or
            // fewer, else their prefix, the data buffer's index and the
            // offset there.
            const char* at = view(i);
            const auto size = load<std::int32_t>(at);
            if (size < 0) {
                return false;
            }
            if (size <= 12) {
                bytes = {at + 4, static_cast<std::size_t>(size)};
                return true;
            }
            const auto buffer = load<std::int32_t>(at + 8);
            const auto offset = load<std::int32_t>(at + 12);
            if (buffer < 0 || buffer >= data_buffers_ || offset < 0 ||
                std::int64_t{offset} + size > load<std::int64_t>(sizes_ + 8 * buffer)) {
                return false;
            }
            bytes = {static_cast<const char*>(buffers_[buffer]) + offset,
                     static_cast<std::size_t>(size)};
            return true;
        }

        // Row `i`'s string view, of a chunk of them.
        [[nodiscard]] const char* view(std::size_t i) const noexcept { return at_ + 16 * i; }

      private:
        [[nodiscard]] std::int64_t offset(std::size_t i) const noexcept {
            return format_ == 'u' ? std::int64_t{load<std::int32_t>(at_ + 4 * i)}
                                  : load<std::int64_t>(at_ + 8 * i);
        }

        char format_;
        const char* at_ = nullptr; // the chunk's first offset or view
        const char* data_;
        const void* const* buffers_;
        std::int64_t data_buffers_;
        const char* sizes_;
        std::int64_t low_ = 0;
        std::int64_t high_ = 0;
    };
};

KeyColumn::~KeyColumn() {
    if (chunks_ != nullptr) {
        chunks_->~Chunks();
        std::free(chunks_);
    }
}

KeyColumn::Read KeyColumn::read(PyObject* column, PyObject* ndarray, Kinds kinds) noexcept {
    if (ndarray != nullptr && Py_TYPE(column) == reinterpret_cast<PyTypeObject*>(ndarray)) {
        return read_numpy(column, kinds);
    }
    if (PyList_Check(column) || PyTuple_Check(column)) {
        return Read::no;
    }
    // A column of Python objects (a pandas Series of dtype object) is read
    // as the numpy array of them it holds: its Arrow export would encode
    // every one.
    const OwnedRef dtype = OwnedRef::steal(PyObject_GetAttrString(column, "dtype"));
    const int objects =
        dtype ? PyObject_RichCompareBool(dtype.get(),
                                         reinterpret_cast<PyObject*>(&PyBaseObject_Type), Py_EQ)
              : 0;
    PyErr_Clear();
    if (objects != 1) {
        if (const Read arrow = read_arrow(column); arrow != Read::no) {
            return arrow;
        }
    }
    // A pandas Series, or an Arrow or polars column of integers, as the
    // numpy array it gives.
    if (ndarray == nullptr || PyObject_HasAttrString(column, "to_numpy") != 1) {
        PyErr_Clear();
        return Read::no;
    }
    const OwnedRef values = OwnedRef::steal(PyObject_CallMethod(column, "to_numpy", nullptr));
    if (!values || Py_TYPE(values.get()) != reinterpret_cast<PyTypeObject*>(ndarray)) {
        PyErr_Clear();
        return Read::no;
    }
    return read_numpy(values.get(), kinds);
}

KeyColumn::Read KeyColumn::read_numpy(PyObject* column, Kinds kinds) noexcept {
    if (!buffer_.try_acquire(column, PyBUF_RECORDS_RO)) {
        return Read::no;
    }
    const Py_buffer& view = buffer_.view();
    const char* format = view.format != nullptr ? view.format : "B";
    if (format[0] == '@' || format[0] == '=') {
        ++format;
    }
    char* kind = const_cast<char*>(format);
    const unsigned long count = std::isdigit(static_cast<unsigned char>(format[0])) != 0
                                    ? std::strtoul(format, &kind, 10)
                                    : 1;
    const bool text = kind[0] == 'w' && view.itemsize == static_cast<Py_ssize_t>(4 * count);
    const bool objects = kind == format && kind[0] == 'O';
    const bool integer = kinds == Kinds::text_or_integers && kind == format && kind[0] != '\0' &&
                         std::strchr("bhilqBHILQ", kind[0]) != nullptr && view.itemsize <= 8 &&
                         (view.itemsize & (view.itemsize - 1)) == 0;
    if (view.ndim != 1 || (!text && !integer && !objects) || kind[0] == '\0' || kind[1] != '\0') {
        return Read::no;
    }
    kind_ = objects ? Kind::objects : Kind::fixed;
    base_ = static_cast<const char*>(view.buf);
    stride_ = view.strides[0];
    width_ = static_cast<std::size_t>(view.itemsize);
    format_ = kind[0];
    rows_ = static_cast<std::size_t>(view.shape[0]);
    return Read::yes;
}

KeyColumn::Read KeyColumn::read_arrow(PyObject* column) noexcept {
    const bool stream = PyObject_HasAttrString(column, "__arrow_c_stream__") == 1;
    if (!stream && PyObject_HasAttrString(column, "__arrow_c_array__") != 1) {
        PyErr_Clear();
        return Read::no;
    }
    void* memory = std::malloc(sizeof(Chunks));
    if (memory == nullptr) {
        PyErr_NoMemory();
        return Read::failed;
    }
    chunks_ = new (memory) Chunks();
    kind_ = Kind::arrow;
    // An export that fails, or of another type, leaves the column to the
    // caller's route.
    const auto other = [] {
        PyErr_Clear();
        return Read::no;
    };
    const OwnedRef made = OwnedRef::steal(
        PyObject_CallMethod(column, stream ? "__arrow_c_stream__" : "__arrow_c_array__", nullptr));
    if (!made) {
        return other();
    }
    ArrowSchema schema{};
    if (stream) {
        auto* given =
            static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(made.get(), "arrow_array_stream"));
        if (given == nullptr || given->release == nullptr) {
            return other();
        }
        ArrowArrayStream taken = *given;
        given->release = nullptr;
        const auto done = [&](Read read) {
            if (schema.release != nullptr) {
                schema.release(&schema);
            }
            taken.release(&taken);
            return read;
        };
        if (taken.get_schema(&taken, &schema) != 0 ||
            (chunks_->format = text_format(schema.format)) == '\0') {
            return done(other());
        }
        for (;;) {
            ArrowArray array{};
            if (taken.get_next(&taken, &array) != 0) {
                return done(other());
            }
            if (array.release == nullptr) {
                break;
            }
            if (!chunks_->take(array)) {
                return done(other());
            }
        }
        (void)done(Read::yes);
    } else {
        PyObject* schema_capsule = nullptr;
        PyObject* array_capsule = nullptr;
        if (!PyArg_ParseTuple(made.get(), "OO", &schema_capsule, &array_capsule)) {
            return other();
        }
        const auto* given_schema =
            static_cast<ArrowSchema*>(PyCapsule_GetPointer(schema_capsule, "arrow_schema"));
        auto* given = static_cast<ArrowArray*>(PyCapsule_GetPointer(array_capsule, "arrow_array"));
        if (given_schema == nullptr || given == nullptr || given->release == nullptr ||
            (chunks_->format = text_format(given_schema->format)) == '\0') {
            return other();
        }
        ArrowArray array = *given;
        given->release = nullptr;
        if (!chunks_->take(array)) {
            return other();
        }
    }
    for (std::size_t c = 0; c < chunks_->count; ++c) {
        rows_ += static_cast<std::size_t>(chunks_->arrays[c].length);
    }
    return Read::yes;
}

namespace {

// The first `k` bytes of `word` as it lies in memory, the others zero.
template <class Word> Word first_bytes(Word word, std::size_t k) noexcept {
    if (k >= sizeof(Word)) {
        return word;
    }
    const Word kept = std::endian::native == std::endian::little
                          ? static_cast<Word>((Word{1} << (8 * k)) - 1)
                          : static_cast<Word>(~(static_cast<Word>(~Word{0}) >> (8 * k)));
    return word & kept;
}

// The keys of string views of 12 bytes or fewer, which a view holds whole,
// as polars' symbols mostly are: the view's words, the bytes past the key
// masked off, are the key, so a lookup compares them in its slot, hashing
// no bytes and reading no entry. A key is numbered through DistinctKeys the
// first time (which keeps every key's bytes and first row) and held here.
class ShortViews {
  public:
    ShortViews() noexcept = default;
    ShortViews(const ShortViews&) = delete;
    ShortViews& operator=(const ShortViews&) = delete;

    // The key of the view at `view` when it holds its bytes.
    struct Key {
        std::uint64_t head; // bytes 0-7
        std::uint64_t tail; // bytes 8-11, the length at bit 32
    };
    static bool key_of(const char* view, Key& key) noexcept {
        const auto length = load<std::int32_t>(view);
        if (length < 0 || length > 12) {
            return false;
        }
        const auto n = static_cast<std::size_t>(length);
        key.head = first_bytes(load<std::uint64_t>(view + 4), n);
        const std::uint64_t rest = first_bytes(load<std::uint32_t>(view + 12), n > 8 ? n - 8 : 0);
        key.tail = rest | std::uint64_t{n} << 32;
        return true;
    }
    // The number of `key`, or SIZE_MAX when it is not held.
    [[nodiscard]] std::size_t find(const Key& key) const noexcept {
        for (std::size_t slot = index(key); mask_ != 0; slot = (slot + 1) & mask_) {
            const Slot& s = slots_[slot];
            if (s.tail == 0) {
                break;
            }
            if (s.head == key.head && (s.tail & key_bits) == key.tail) {
                return static_cast<std::size_t>(s.tail >> number_shift) - 1;
            }
        }
        return SIZE_MAX;
    }
    // Holds `key` as number `d`; a key that cannot be held (no memory, or
    // a number past the slot's room) is found through DistinctKeys instead.
    void hold(const Key& key, std::size_t d) noexcept {
        if (d + 1 >= (std::uint64_t{1} << (64 - number_shift)) ||
            (2 * (count_ + 1) > mask_ && !grow())) {
            return;
        }
        std::size_t slot = index(key);
        while (slots_[slot].tail != 0) {
            slot = (slot + 1) & mask_;
        }
        slots_[slot] = {key.head, key.tail | std::uint64_t{d + 1} << number_shift};
        ++count_;
    }

  private:
    struct Slot {
        std::uint64_t head;
        std::uint64_t tail; // the key's tail, its number plus one from bit 36; 0 when free
    };
    static constexpr unsigned number_shift = 36;
    static constexpr std::uint64_t key_bits = (std::uint64_t{1} << number_shift) - 1;

    [[nodiscard]] std::size_t index(const Key& key) const noexcept {
        // The product's high bits, which every bit of the key moves: keys
        // alike but for their last byte (symbols numbered in order) differ
        // there, where the low bits would hold them in one cluster.
        const std::uint64_t mixed =
            (key.head * 0x9E3779B97F4A7C15ULL ^ key.tail) * 0xD6E8FEB86659FD93ULL;
        return static_cast<std::size_t>(mixed >> shift_);
    }
    bool grow() noexcept {
        const std::size_t size = mask_ == 0 ? 1024 : 2 * (mask_ + 1);
        std::unique_ptr<Slot[], FreeMemory> slots(
            size <= SIZE_MAX / sizeof(Slot) ? static_cast<Slot*>(std::calloc(size, sizeof(Slot)))
                                            : nullptr);
        if (!slots) {
            return false;
        }
        const std::size_t old_size = mask_ == 0 ? 0 : mask_ + 1;
        std::swap(slots_, slots);
        mask_ = size - 1;
        shift_ = 64 - static_cast<unsigned>(std::countr_zero(size));
        for (std::size_t i = 0; i < old_size; ++i) {
            if (slots[i].tail != 0) {
                std::size_t slot = index({slots[i].head, slots[i].tail & key_bits});
                while (slots_[slot].tail != 0) {
                    slot = (slot + 1) & mask_;
                }
                slots_[slot] = slots[i];
            }
        }
        return true;
    }

    std::unique_ptr<Slot[], FreeMemory> slots_;
    std::size_t mask_ = 0;
    unsigned shift_ = 63;
    std::size_t count_ = 0;
};

} // namespace

template <class Number>
KeyColumn::Read KeyColumn::number(DistinctKeys& distinct, Number* number) const noexcept {
    // A block of rows to number, each with the rows after it that repeat its
    // key (told without hashing: a sorted table's rows mostly do), which
    // take its number. A repeat costs a comparison only: a run's end is
    // written when the next key comes.
    std::string_view block[DistinctKeys::block];
    std::size_t rows[DistinctKeys::block];
    std::size_t ends[DistinctKeys::block];
    std::size_t found[DistinctKeys::block];
    // A short string view's key, held once numbered; `tail` 0 for others.
    ShortViews::Key shorts_met[DistinctKeys::block];
    ShortViews shorts;
    std::size_t held = 0;
    // Whether the last key met is the block's last, not yet numbered; else
    // its number is `last`, for its run from row `open_from` on.
    bool pending = false;
    Number last = 0;
    std::size_t open_from = 0;
    const auto flush = [&] {
        if (held == 0) {
            return true;
        }
        if (!distinct.number_block(block, rows, held, found)) {
            return false;
        }
        for (std::size_t q = 0; q < held; ++q) {
            std::fill(number + rows[q], number + ends[q], static_cast<Number>(found[q]));
            if (shorts_met[q].tail != 0 && shorts.find(shorts_met[q]) == SIZE_MAX) {
                shorts.hold(shorts_met[q], found[q]);
            }
        }
        last = static_cast<Number>(found[held - 1]);
        open_from = ends[held - 1];
        pending = false;
        held = 0;
        return true;
    };
    // The run of the last key met ends before `row`.
    const auto close = [&](std::size_t row) {
        if (pending) {
            ends[held - 1] = row;
        } else {
            std::fill(number + open_from, number + row, last);
        }
    };
    const auto put = [&](std::string_view bytes, std::size_t row, ShortViews::Key key) {
        close(row);
        shorts_met[held] = key;
        block[held] = bytes;
        rows[held] = row;
        ends[held++] = row + 1;
        pending = true;
        return held < DistinctKeys::block || flush();
    };
    const auto no_memory = [] {
        PyErr_SetString(PyExc_MemoryError, "cannot allocate the rows of 'by'");
        return Read::failed;
    };
    const auto finish = [&] {
        close(rows_);
        return flush() ? Read::yes : no_memory();
    };
    const auto malformed = [] {
        PyErr_SetString(PyExc_ValueError,
                        "the Arrow array of keys places a string outside its data buffers");
        return Read::failed;
    };
    if (kind_ == Kind::arrow) {
        std::size_t first = 0; // the chunk's first row
        std::size_t unrepeated = 0;
        for (std::size_t c = 0; c < chunks_->count; ++c) {
            const ArrowArray& a = chunks_->arrays[c];
            const auto length = static_cast<std::size_t>(a.length);
            if (chunks_->format != 'v') {
                const Chunks::Rows rows_of(chunks_->format, a);
                for (std::size_t i = 0; i < length; ++i) {
                    std::string_view bytes;
                    if (!rows_of.row(i, bytes)) {
                        return malformed();
                    }
                    if (!put(bytes, first + i, {})) {
                        return no_memory();
                    }
                }
                first += length;
                continue;
            }
            const Chunks::Rows rows_of(chunks_->format, a);
            for (std::size_t i = 0; i < length;) {
                const std::size_t row = first + i;
                ShortViews::Key key{};
                std::size_t d = SIZE_MAX;
                // Short keys are looked up (and held) once keys come back
                // apart from their runs: in a sorted table each key met is
                // new, and its lookup would only miss.
                if (2 * distinct.count() + 64 < ++unrepeated &&
                    ShortViews::key_of(rows_of.view(i), key) &&
                    (d = shorts.find(key)) != SIZE_MAX) {
                    close(row);
                    number[row] = last = static_cast<Number>(d);
                    open_from = row + 1;
                    pending = false;
                } else if (std::string_view bytes; !rows_of.row(i, bytes)) {
                    return malformed();
                } else if (!put(bytes, row, key)) {
                    return no_memory();
                }
                // Two string views alike are one string: the same bytes
                // inline, or the same place in the same buffer.
                const char* head = rows_of.view(i);
                while (++i < length && std::memcmp(rows_of.view(i), head, 16) == 0) {
                }
            }
            first += length;
        }
        return finish();
    }
    PyObject* previous = nullptr;
    for (std::size_t r = 0; r < rows_; ++r) {
        const char* at = base_ + static_cast<Py_ssize_t>(r) * stride_;
        std::string_view bytes(at, width_);
        if (kind_ == Kind::objects) {
            // Objects are keys here only when every one is a str with its
            // UTF-8 (kept by the str once made); any other (None, a number)
            // takes the caller's route, with its messages.
            PyObject* item = nullptr;
            std::memcpy(&item, at, sizeof item);
            if (item != nullptr && item == previous) {
                continue; // the very same str
            }
            previous = item;
            Py_ssize_t size = 0;
            const char* utf8 = item != nullptr && PyUnicode_Check(item)
                                   ? PyUnicode_AsUTF8AndSize(item, &size)
                                   : nullptr;
            if (utf8 == nullptr) {
                PyErr_Clear();
                return Read::no;
            }
            bytes = {utf8, static_cast<std::size_t>(size)};
        }
        if (!put(bytes, r, {})) {
            return no_memory();
        }
    }
    return finish();
}

template KeyColumn::Read KeyColumn::number(DistinctKeys&, std::size_t*) const noexcept;
template KeyColumn::Read KeyColumn::number(DistinctKeys&, std::int64_t*) const noexcept;

OwnedRef KeyColumn::key(const DistinctKeys& distinct, std::size_t d) const noexcept {
    const std::string_view bytes = distinct.bytes(d);
    if (kind_ == Kind::objects) {
        PyObject* item = nullptr;
        std::memcpy(&item, base_ + static_cast<Py_ssize_t>(distinct.first(d)) * stride_,
                    sizeof item);
        return OwnedRef::borrow(item);
    }
    if (kind_ == Kind::arrow) {
        return OwnedRef::steal(
            PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), nullptr));
    }
    if (format_ == 'w') {
        // numpy's str without its padding of trailing NUL characters.
        static constexpr char nothing[4] = {};
        std::size_t length = width_;
        while (length >= 4 && std::memcmp(bytes.data() + length - 4, nothing, 4) == 0) {
            length -= 4;
        }
        // The host's order, a byte order mark kept as a character.
        int order = std::endian::native == std::endian::little ? -1 : 1;
        return OwnedRef::steal(
            PyUnicode_DecodeUTF32(bytes.data(), static_cast<Py_ssize_t>(length), nullptr, &order));
    }
    if (width_ == 8 && std::strchr("LQ", format_) != nullptr) {
        std::uint64_t bits = 0;
        std::memcpy(&bits, bytes.data(), 8);
        return OwnedRef::steal(PyLong_FromUnsignedLongLong(bits));
    }
    long long value = 0;
    (void)read_integer(bytes.data(), format_, static_cast<Py_ssize_t>(width_), value);
    return OwnedRef::steal(PyLong_FromLongLong(value));
}

} // namespace tarnwick::arrays
