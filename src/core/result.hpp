#pragma once

#include <cassert>
#include <optional>
#include <type_traits>
#include <utility>

#include "core/error.hpp"

namespace voxapp {

// Either a value or an Error. There is no default constructor: a Result always says which.
template <typename T>
class [[nodiscard]] Result {
public:
    Result(const T& value) : value_(value) {}          // NOLINT(google-explicit-constructor)
    Result(T&& value) : value_(std::move(value)) {}    // NOLINT(google-explicit-constructor)
    Result(Error error) : error_(std::move(error)) {}  // NOLINT(google-explicit-constructor)

    bool ok() const { return value_.has_value(); }
    explicit operator bool() const { return ok(); }

    T& value() & {
        assert(ok());
        return *value_;
    }
    const T& value() const& {
        assert(ok());
        return *value_;
    }
    T&& value() && {
        assert(ok());
        return std::move(*value_);
    }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T&& operator*() && { return std::move(*this).value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    const Error& error() const {
        assert(!ok());
        return *error_;
    }

private:
    std::optional<T> value_;
    std::optional<Error> error_;
};

// Success without a value, or an Error.
template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Error error) : error_(std::move(error)) {}  // NOLINT(google-explicit-constructor)

    bool ok() const { return !error_.has_value(); }
    explicit operator bool() const { return ok(); }
    const Error& error() const {
        assert(!ok());
        return *error_;
    }

private:
    std::optional<Error> error_;
};

using Status = Result<void>;

}  // namespace voxapp
