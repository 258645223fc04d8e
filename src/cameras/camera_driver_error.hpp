#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace voxapp {

// How a camera operation failed.
enum class CameraDriverError : std::uint8_t {
    Unauthorized = 0,    // the camera answered 401
    TransportError = 1,  // no usable HTTP answer
    DownloaderBusy = 2,
    DownloadFailed = 3,
    Failed = 4,  // anything else
};

const char* to_string(CameraDriverError error);

// A failed camera operation: its kind, and a text for the log.
struct CameraDriverFailure {
    CameraDriverError error = CameraDriverError::Failed;
    std::string detail;
};

// The outcome of a camera operation: a value (std::monostate for operations without one) or a
// failure.
template <typename T>
class CameraResult {
public:
    CameraResult(T value) : outcome_(std::move(value)) {}  // NOLINT(google-explicit-constructor)
    CameraResult(CameraDriverFailure failure)              // NOLINT(google-explicit-constructor)
        : outcome_(std::move(failure)) {}
    CameraResult(CameraDriverError error, std::string detail)
        : outcome_(CameraDriverFailure{error, std::move(detail)}) {}

    bool ok() const { return outcome_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() { return std::get<0>(outcome_); }
    const T& value() const { return std::get<0>(outcome_); }
    T& operator*() { return value(); }
    const T& operator*() const { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    const CameraDriverFailure& failure() const { return std::get<1>(outcome_); }
    CameraDriverError error() const { return failure().error; }

private:
    std::variant<T, CameraDriverFailure> outcome_;
};

using CameraOutcome = CameraResult<std::monostate>;

}  // namespace voxapp
