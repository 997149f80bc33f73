// SPDX-License-Identifier: MIT
// Argument matching: which fast-call argument goes to which parameter, and the
// TypeError messages when they do not fit. The function's text signature is
// made from the same description at compile time.
//
// Every parameter may be given by position or by keyword, except the last
// `keyword_only_count`, which are optional and given only by keyword; the
// first `required_count` are required. Slots borrow from the caller's
// argument array, which outlives the call, so binding takes no references.
#pragma once

#include "call_error.hpp"

#include <Python.h>

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

namespace tarnwick {

struct FunctionDescription {
    std::string_view function_name;
    std::span<const std::string_view> parameter_names;
    std::size_t required_count;
    std::size_t keyword_only_count = 0;
    // Text shown after the signature in the docstring; none for tarnwick.
    std::string_view documentation = {};
    // A method: the signature names the object it is called on first.
    bool method = false;
    // The defaults the signature shows for the first keyword-only
    // parameters, as Python text; None for the rest.
    std::span<const std::string_view> keyword_defaults = {};

    [[nodiscard]] constexpr std::size_t positional_count() const noexcept {
        return parameter_names.size() - keyword_only_count;
    }
    [[nodiscard]] constexpr std::string_view keyword_default(std::size_t i) const noexcept {
        const std::size_t k = i - positional_count();
        return k < keyword_defaults.size() ? keyword_defaults[k] : "None";
    }
};

// Binds the arguments: fills `slots` (one per parameter, all null on entry)
// or returns the error: too many positional arguments, then an unknown or repeated keyword
// (in keyword order), then missing required arguments.
[[nodiscard]] CallStatus extract_arguments_fastcall(const FunctionDescription& description,
                                                    PyObject* const* args, Py_ssize_t nargs,
                                                    PyObject* kwnames,
                                                    std::span<PyObject*> slots) noexcept;

namespace detail {

consteval std::size_t text_signature_length(const FunctionDescription& d) {
    std::size_t length =
        d.function_name.size() + std::string_view("()\n--\n\n").size() + d.documentation.size();
    if (d.method) {
        length += std::string_view("$self").size() + (d.parameter_names.empty() ? 0 : 2);
    }
    for (std::size_t i = 0; i < d.parameter_names.size(); ++i) {
        length += d.parameter_names[i].size() + (i == 0 ? 0 : 2);
        if (i >= d.positional_count()) {
            length += 1 + d.keyword_default(i).size();
        }
    }
    if (d.keyword_only_count > 0) {
        length += std::string_view("*, ").size();
    }
    return length;
}

template <const FunctionDescription& D> consteval auto make_text_signature() {
    std::array<char, text_signature_length(D) + 1> text{};
    std::size_t at = 0;
    const auto put = [&](std::string_view part) {
        for (const char c : part) {
            text[at++] = c;
        }
    };
    put(D.function_name);
    put("(");
    if (D.method) {
        put(D.parameter_names.empty() ? "$self" : "$self, ");
    }
    for (std::size_t i = 0; i < D.parameter_names.size(); ++i) {
        put(i == 0 ? "" : ", ");
        const bool keyword_only = i >= D.positional_count();
        put(i == D.positional_count() ? "*, " : "");
        put(D.parameter_names[i]);
        if (keyword_only) {
            put("=");
            put(D.keyword_default(i));
        }
    }
    put(")\n--\n\n");
    put(D.documentation);
    return text;
}

} // namespace detail

// The docstring that makes the interpreter report the parameter list as the
// function's __text_signature__, followed by its documentation, if any:
// "name(a, b, c, d)\n--\n\n", or "name(a, b, *, e=None)\n--\n\n..." with one
// keyword-only parameter (shown with its default, None unless given).
template <const FunctionDescription& D>
inline constexpr auto docstring = detail::make_text_signature<D>();

} // namespace tarnwick
