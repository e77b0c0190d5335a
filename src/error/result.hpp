// Value-or-error, the return type of every fallible operation below the
// Python boundary. Errors are plain values here; nothing is thrown for them.
#pragma once

#include <concepts>
#include <type_traits>
#include <utility>
#include <variant>

#include "error/io_error.hpp"

namespace halvorn {

// Wraps an error so that it can be told apart from a value of the same type
// (the terminal's results carry text on both sides).
template <class E>
struct Failure {
    E error;
};

template <class E>
Failure<std::decay_t<E>> fail(E&& error) {
    return {std::forward<E>(error)};
}

template <class T, class E = IoError>
class [[nodiscard]] Result {
public:
    Result(T value) : storage_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
    Result(Failure<E> failure) : storage_(std::in_place_index<1>, std::move(failure.error)) {}

    // An error (or an IoError kind) converts implicitly, unless it could also
    // be taken for a value, where fail() must say which side is meant.
    template <class U>
    requires(std::constructible_from<E, U> && !std::constructible_from<T, U> &&
             !std::same_as<std::remove_cvref_t<U>, Failure<E>>) Result(U&& error)  // NOLINT
        : storage_(std::in_place_index<1>, E(std::forward<U>(error))) {}

    bool ok() const { return storage_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(storage_); }
    const T& value() const& { return std::get<0>(storage_); }
    T&& value() && { return std::get<0>(std::move(storage_)); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T&& operator*() && { return std::move(*this).value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    const E& error() const& { return std::get<1>(storage_); }
    // Hands the error over, for errors that own something (a terminal's
    // text, which may be as long as its line).
    E&& error() && { return std::get<1>(std::move(storage_)); }

private:
    std::variant<T, E> storage_;
};

// Success carries nothing; the error slot holds an unused kind until a
// failure fills it.
template <>
class [[nodiscard]] Result<void, IoError> {
public:
    Result() = default;
    Result(Failure<IoError> failure) : error_(failure.error), failed_(true) {}
    Result(IoError error) : error_(error), failed_(true) {}      // NOLINT
    Result(IoError::Kind kind) : error_(kind), failed_(true) {}  // NOLINT

    bool ok() const { return !failed_; }
    explicit operator bool() const { return ok(); }
    const IoError& error() const { return error_; }

private:
    IoError error_{IoError::InodeNotFound};
    bool failed_ = false;
};

using Status = Result<void>;

}  // namespace halvorn
