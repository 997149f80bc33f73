// SPDX-License-Identifier: MIT
#include "arguments.hpp"

#include "cached.hpp"

#include <utility>

namespace tarnwick {

namespace {

Text display_name(const FunctionDescription& d) {
    Text name(d.function_name);
    name += "()";
    return name;
}

CallError type_error(Text message) noexcept {
    return CallError::pending(PyExc_TypeError, std::move(message));
}

CallError too_many_positional_arguments(const FunctionDescription& d, Py_ssize_t given) noexcept {
    Text message = display_name(d);
    message += " takes ";
    append_count(message, d.positional_count(), "positional argument", "positional arguments");
    message += " but ";
    append_decimal(message, static_cast<unsigned long long>(given));
    message += given == 1 ? " was given" : " were given";
    return type_error(std::move(message));
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
void push_parameter_list(Text& message, std::span<const std::string_view> names) {
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) {
                message += ',';
            }
            message += i + 1 == names.size() ? " and " : " ";
        }
        message += '\'';
        message += names[i];
        message += '\'';
    }
}

CallError missing_required_arguments(const FunctionDescription& d, std::string_view kind,
                                     std::span<const std::string_view> missing) noexcept {
    Text message = display_name(d);
    message += " missing ";
    append_decimal(message, missing.size());
    message += " required ";
    message += kind;
    message += missing.size() == 1 ? " argument: " : " arguments: ";
    push_parameter_list(message, missing);
    return type_error(std::move(message));
}

CallError missing_required_positional_arguments(const FunctionDescription& d,
                                                std::span<PyObject* const> slots) noexcept {
    std::array<std::string_view, 8> missing{};
    std::size_t count = 0;
    for (std::size_t i = 0; i < d.required_count && count < missing.size(); ++i) {
        if (slots[i] == nullptr) {
            missing[count++] = d.parameter_names[i];
        }
    }
    return missing_required_arguments(d, "positional", std::span(missing.data(), count));
}

CallError multiple_values_for_argument(const FunctionDescription& d,
                                       std::string_view parameter) noexcept {
    Text message = display_name(d);
    message += " got multiple values for argument '";
    message += parameter;
    message += '\'';
    return type_error(std::move(message));
}

// UTF-8 text of a str, lone surrogates becoming U+FFFD; null if it has none.
OwnedRef lossy_utf8_str(PyObject* str) noexcept {
    const OwnedRef encoded =
        OwnedRef::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
    if (!encoded) {
        return {};
    }
    return OwnedRef::steal(PyUnicode_DecodeUTF8(PyBytes_AsString(encoded.get()),
                                                PyBytes_Size(encoded.get()), "replace"));
}

// The keyword as the message shows it: its str(), or a placeholder naming its
// type when str() itself fails.
Text keyword_text(PyObject* key) noexcept {
    OwnedRef str = OwnedRef::steal(PyObject_Str(key));
    if (!str) {
        PyErr_WriteUnraisable(key);
        const OwnedRef type_name = OwnedRef::steal(
            PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(key)), name_of_name().get()));
        Py_ssize_t size = 0;
        const char* utf8 = type_name && PyUnicode_Check(type_name.get())
                               ? PyUnicode_AsUTF8AndSize(type_name.get(), &size)
                               : nullptr;
        if (utf8 == nullptr) {
            PyErr_Clear();
            return "<unprintable object>";
        }
        Text text = "<unprintable ";
        text += std::string_view(utf8, static_cast<std::size_t>(size));
        text += " object>";
        return text;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(str.get(), &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        str = lossy_utf8_str(str.get());
        utf8 = str ? PyUnicode_AsUTF8AndSize(str.get(), &size) : nullptr;
        if (utf8 == nullptr) {
            PyErr_Clear();
            return "<unprintable object>";
        }
    }
    return Text(utf8, static_cast<std::size_t>(size));
}

CallError unexpected_keyword_argument(const FunctionDescription& d, PyObject* key) noexcept {
    Text message = display_name(d);
    message += " got an unexpected keyword argument '";
    message += keyword_text(key);
    message += '\'';
    return type_error(std::move(message));
}

} // namespace

CallStatus extract_arguments_fastcall(const FunctionDescription& d, PyObject* const* args,
                                      Py_ssize_t nargs, PyObject* kwnames,
                                      std::span<PyObject*> slots) noexcept {
    const auto positional = static_cast<std::size_t>(nargs);
    const std::size_t parameters = d.parameter_names.size();
    if (args != nullptr) {
        for (std::size_t i = 0; i < positional && i < d.positional_count(); ++i) {
            slots[i] = args[i];
        }
    }
    if (positional > d.positional_count()) {
        return too_many_positional_arguments(d, nargs);
    }
    if (kwnames != nullptr) {
        const Py_ssize_t keywords = PyTuple_Size(kwnames);
        for (Py_ssize_t k = 0; k < keywords; ++k) {
            PyObject* key = PyTuple_GetItem(kwnames, k);
            Py_ssize_t size = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(key, &size);
            if (utf8 == nullptr) {
                PyErr_Clear();
                return unexpected_keyword_argument(d, key);
            }
            const std::string_view text(utf8, static_cast<std::size_t>(size));
            std::size_t j = 0;
            while (j < parameters && d.parameter_names[j] != text) {
                ++j;
            }
            if (j == parameters) {
                return unexpected_keyword_argument(d, key);
            }
            if (slots[j] != nullptr) {
                return multiple_values_for_argument(d, d.parameter_names[j]);
            }
            slots[j] = args[nargs + k];
        }
    }
    for (std::size_t i = positional; i < d.required_count; ++i) {
        if (slots[i] == nullptr) {
            return missing_required_positional_arguments(d, slots);
        }
    }
    return CallStatus::ok();
}

} // namespace tarnwick
