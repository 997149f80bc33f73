// SPDX-License-Identifier: MIT
// The one way a fallible step says how it went, in the kernels and in the
// binding alike: a Status<E> is success or an error E; a Result<T, E> is a
// T or an error E. Success is always spelled out (Status<E>::ok()), never an
// empty value that reads like a failure, and neither can be dropped unread.
#pragma once

#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace tarnwick {

template <class E> class [[nodiscard]] Status {
  public:
    [[nodiscard]] static Status ok() noexcept { return Status(); }
    Status(E error) noexcept : error_(std::move(error)) {}

    [[nodiscard]] bool failed() const noexcept { return error_.has_value(); }
    // Only when failed().
    [[nodiscard]] E& error() noexcept { return *error_; }
    [[nodiscard]] const E& error() const noexcept { return *error_; }

  private:
    Status() noexcept = default;

    std::optional<E> error_;
};

template <class T, class E> class [[nodiscard]] Result {
  public:
    Result(T value) noexcept : held_(std::in_place_index<0>, std::move(value)) {}
    Result(E error) noexcept : held_(std::in_place_index<1>, std::move(error)) {}
    // A failed status passes its error on.
    Result(Status<E>&& failed) noexcept
        : held_(std::in_place_index<1>, std::move(failed.error())) {}

    [[nodiscard]] bool failed() const noexcept { return held_.index() == 1; }
    // Only when !failed().
    [[nodiscard]] T& value() noexcept { return *std::get_if<0>(&held_); }
    // Only when failed().
    [[nodiscard]] E& error() noexcept { return *std::get_if<1>(&held_); }

  private:
    std::variant<T, E> held_;
};

} // namespace tarnwick
