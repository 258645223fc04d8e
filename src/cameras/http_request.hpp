#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "core/result.hpp"

namespace voxapp {

// One HTTP request to a camera. A value: the with_* members return changed copies.
class HttpRequest {
public:
    using Headers = std::map<std::string, std::string, std::less<>>;

    // Errors: "URL cannot be empty", then "Method cannot be empty". No headers, body, credentials
    // or time limit yet.
    static Result<HttpRequest> create(std::string url, std::string method);

    // Sets the header, replacing an earlier value of the same name.
    HttpRequest with_header(const std::string& name, std::string value) const;
    // Sent with "POST" and "PUT" only.
    HttpRequest with_body(std::string body) const;
    // "user:password" for digest authentication; empty for none.
    HttpRequest with_credentials(std::string credentials) const;
    // Limit on the whole transfer, connection included.
    HttpRequest with_timeout_ms(std::int64_t timeout_ms) const;
    // Limit on setting up the connection.
    HttpRequest with_connect_timeout_ms(std::int64_t timeout_ms) const;
    // The transfer fails once it moves fewer than `bytes_per_second` for `seconds` in a row,
    // waiting for the answer included.
    HttpRequest with_low_speed_limit(std::int64_t bytes_per_second, std::int64_t seconds) const;

    const std::string& url() const { return url_; }
    const std::string& method() const { return method_; }
    const std::string& body() const { return body_; }
    const Headers& headers() const { return headers_; }
    const std::string& credentials() const { return credentials_; }
    const std::optional<std::int64_t>& timeout_ms() const { return timeout_ms_; }
    const std::optional<std::int64_t>& connect_timeout_ms() const { return connect_timeout_ms_; }
    struct LowSpeedLimit {
        std::int64_t bytes_per_second = 0;
        std::int64_t seconds = 0;
    };
    const std::optional<LowSpeedLimit>& low_speed_limit() const { return low_speed_limit_; }

private:
    HttpRequest(std::string url, std::string method)
        : url_(std::move(url)), method_(std::move(method)) {}

    std::string url_;
    std::string method_;
    std::string body_;
    Headers headers_;
    std::string credentials_;
    std::optional<std::int64_t> timeout_ms_;
    std::optional<std::int64_t> connect_timeout_ms_;
    std::optional<LowSpeedLimit> low_speed_limit_;
};

struct HttpResponse {
    std::uint16_t status = 0;
    std::string body;
};

}  // namespace voxapp
