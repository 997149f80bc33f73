// SPDX-License-Identifier: MIT
// Text: the string type for the messages the binding layer builds. It grows in
// C malloc storage and ends the process when memory runs out, like every other
// allocation of the module, so composing a message can never throw a C++
// exception towards the interpreter or need the C++ runtime library.
#pragma once

#include "fatal.hpp"

#include <charconv>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

namespace tarnwick {

class Text {
  public:
    Text() noexcept = default;
    Text(std::string_view text) noexcept { append(text); }
    Text(const char* text) noexcept : Text(std::string_view(text)) {}
    Text(const char* text, std::size_t size) noexcept : Text(std::string_view(text, size)) {}
    Text(Text&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    Text& operator=(Text&& other) noexcept {
        Text old(std::move(*this));
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
        return *this;
    }
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;
    ~Text() { std::free(data_); }

    void append(std::string_view text) noexcept {
        if (text.empty()) {
            return;
        }
        if (text.size() > capacity_ - size_) {
            grow(size_ + text.size());
        }
        std::memcpy(data_ + size_, text.data(), text.size());
        size_ += text.size();
    }
    Text& operator+=(std::string_view text) noexcept {
        append(text);
        return *this;
    }
    Text& operator+=(char c) noexcept {
        append(std::string_view(&c, 1));
        return *this;
    }

    [[nodiscard]] std::string_view view() const noexcept { return {data_, size_}; }
    operator std::string_view() const noexcept { return view(); }

  private:
    void grow(std::size_t needed) noexcept {
        const std::size_t capacity = needed < 2 * capacity_ ? 2 * capacity_ : needed;
        void* grown = std::realloc(data_, capacity);
        if (grown == nullptr) {
            allocation_failed(capacity);
        }
        data_ = static_cast<char*>(grown);
        capacity_ = capacity;
    }

    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

inline void append_decimal(Text& text, unsigned long long value) noexcept {
    char digits[24] = {};
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    text.append(std::string_view(digits, static_cast<std::size_t>(end - digits)));
}

// "1 symbol", "2 symbols": a count and the noun that agrees with it.
inline void append_count(Text& text, unsigned long long count, std::string_view singular,
                         std::string_view plural) noexcept {
    append_decimal(text, count);
    text += ' ';
    text += count == 1 ? singular : plural;
}

} // namespace tarnwick
