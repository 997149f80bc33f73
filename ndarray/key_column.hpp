// SPDX-License-Identifier: MIT
// A column of keys (the symbols of a long table's rows) read where it lies,
// with no Python object made per row: a numpy array of str or of native
// integers, a numpy array of str objects, or an Arrow column of text
// (string, large_string, string_view) with no nulls, taken through the
// Arrow PyCapsule interface (pyarrow, polars). Its rows are numbered by
// distinct key, in the order the keys first come: each row's bytes hashed
// once, and bytes compared only where two hashes meet.
#pragma once

#include "../binding/buffer_export.hpp"
#include "../binding/py_ref.hpp"

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>

namespace tarnwick::arrays {

struct FreeMemory {
    void operator()(void* p) const noexcept { std::free(p); }
};

// A native integer's value, of the buffer's format character and width;
// false for any other format. An unsigned value beyond int64's is -1.
[[nodiscard]] bool read_integer(const char* at, char format, Py_ssize_t width,
                                long long& value) noexcept;

// The distinct keys of a call's rows, numbered 0, 1, ... as they first
// come; open addressing on 64-bit hashes, the table at most a quarter full.
class DistinctKeys {
  public:
    static constexpr std::size_t block = 16;
    // The numbers of `count` (at most `block`) keys, of rows `rows` (in
    // order), into `into`; false when the memory for a new key cannot be had.
    [[nodiscard]] bool number_block(const std::string_view* keys, const std::size_t* rows,
                                    std::size_t count, std::size_t* into) noexcept;
    [[nodiscard]] std::size_t count() const noexcept { return count_; }
    [[nodiscard]] std::size_t first(std::size_t d) const noexcept { return entries_[d].first; }
    [[nodiscard]] std::string_view bytes(std::size_t d) const noexcept {
        return {entries_[d].data, entries_[d].size};
    }

  private:
    struct Key {
        std::uint64_t hash;
        std::uint64_t first; // the first bytes
        std::uint64_t last;  // the last bytes
    };
    struct Entry {
        Key key;
        const char* data;
        std::size_t size;
        std::size_t first;
    };
    [[nodiscard]] static Key key_of(std::string_view bytes) noexcept;
    // The number of `bytes` (`key` its words), or SIZE_MAX when not yet met.
    [[nodiscard]] std::size_t find(const Key& key, std::string_view bytes) const noexcept;
    // The number of `bytes`, new, first met at row `row`; SIZE_MAX when the
    // memory for it cannot be had.
    [[nodiscard]] std::size_t add(const Key& key, std::string_view bytes, std::size_t row) noexcept;
    [[nodiscard]] bool grow() noexcept;

    std::unique_ptr<std::uint64_t[], FreeMemory> slots_; // a hash's tag | 1 + a key's number
    std::unique_ptr<Entry[], FreeMemory> entries_;
    std::size_t mask_ = 0;
    std::size_t count_ = 0;
};

class KeyColumn {
  public:
    enum class Kinds { text, text_or_integers };
    enum class Read { yes, no, failed };

    KeyColumn() noexcept = default;
    KeyColumn(const KeyColumn&) = delete;
    KeyColumn& operator=(const KeyColumn&) = delete;
    ~KeyColumn();

    // Whether `column` is a column of keys of `kinds` read in place; `no`
    // with no error set when it is not (nulls in it, another type), for the
    // caller's other route; `failed` with the error set.
    [[nodiscard]] Read read(PyObject* column, PyObject* ndarray, Kinds kinds) noexcept;
    [[nodiscard]] std::size_t rows() const noexcept { return rows_; }
    // Each row's key's number into `number` (rows() of them, std::size_t
    // or std::int64_t): `no` for objects not all str, `failed` with the
    // error set when the memory cannot be had (MemoryError) or an Arrow
    // array's offsets or views point outside its data (ValueError).
    template <class Number>
    [[nodiscard]] Read number(DistinctKeys& distinct, Number* number) const noexcept;
    // Distinct key `d` as tolist() or to_pylist() gives it (a str or an
    // int), or null with the error set.
    [[nodiscard]] OwnedRef key(const DistinctKeys& distinct, std::size_t d) const noexcept;

  private:
    struct Chunks;
    [[nodiscard]] Read read_numpy(PyObject* column, Kinds kinds) noexcept;
    [[nodiscard]] Read read_arrow(PyObject* column) noexcept;

    enum class Kind { fixed, objects, arrow } kind_ = Kind::fixed;
    BufferExport buffer_;
    const char* base_ = nullptr;
    Py_ssize_t stride_ = 0;
    std::size_t width_ = 0;
    char format_ = '\0'; // 'w' for str (UCS-4), else an integer's format character
    std::size_t rows_ = 0;
    Chunks* chunks_ = nullptr;
};

} // namespace tarnwick::arrays
