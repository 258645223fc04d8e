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

    const std::string& url() const { return url_; }
    const std::string& method() const { return method_; }
    const std::string& body() const { return body_; }
    const Headers& headers() const { return headers_; }
    const std::string& credentials() const { return credentials_; }
    const std::optional<std::int64_t>& timeout_ms() const { return timeout_ms_; }

private:
    HttpRequest(std::string url, std::string method)
        : url_(std::move(url)), method_(std::move(method)) {}

    std::string url_;
    std::string method_;
    std::string body_;
    Headers headers_;
    std::string credentials_;
    std::optional<std::int64_t> timeout_ms_;
};

struct HttpResponse {
    std::uint16_t status = 0;
    std::string body;
};

}  // namespace voxapp
