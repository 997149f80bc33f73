// SPDX-License-Identifier: MIT
// Text: the string type for messages built by the binding layer. Its storage
// comes from the same allocator as the series, so running out of memory while
// composing a message ends the process like any other failed allocation instead
// of throwing a C++ exception towards the interpreter.
#pragma once

#include "fatal.hpp"

#include <charconv>
#include <cstdlib>
#include <string>
#include <string_view>

namespace tarnwick {

template <class T> struct AbortingAllocator {
    using value_type = T;
    AbortingAllocator() noexcept = default;
    template <class U> AbortingAllocator(const AbortingAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) noexcept {
        return static_cast<T*>(allocate_or_abort(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t) noexcept { std::free(p); }
    friend bool operator==(const AbortingAllocator&, const AbortingAllocator&) noexcept {
        return true;
    }
};

using Text = std::basic_string<char, std::char_traits<char>, AbortingAllocator<char>>;

inline void append_decimal(Text& text, unsigned long long value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    text.append(digits, end);
}

} // namespace tarnwick
