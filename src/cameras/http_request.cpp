#include "cameras/http_request.hpp"

#include <utility>

namespace voxapp {

Result<HttpRequest> HttpRequest::create(std::string url, std::string method) {
    if (url.empty()) {
        return Error::fixed("URL cannot be empty");
    }
    if (method.empty()) {
        return Error::fixed("Method cannot be empty");
    }
    return HttpRequest(std::move(url), std::move(method));
}

HttpRequest HttpRequest::with_header(const std::string& name, std::string value) const {
    HttpRequest copy = *this;
    copy.headers_[name] = std::move(value);
    return copy;
}

HttpRequest HttpRequest::with_body(std::string body) const {
    HttpRequest copy = *this;
    copy.body_ = std::move(body);
    return copy;
}

HttpRequest HttpRequest::with_credentials(std::string credentials) const {
    HttpRequest copy = *this;
    copy.credentials_ = std::move(credentials);
    return copy;
}

HttpRequest HttpRequest::with_timeout_ms(std::int64_t timeout_ms) const {
    HttpRequest copy = *this;
    copy.timeout_ms_ = timeout_ms;
    return copy;
}

HttpRequest HttpRequest::with_connect_timeout_ms(std::int64_t timeout_ms) const {
    HttpRequest copy = *this;
    copy.connect_timeout_ms_ = timeout_ms;
    return copy;
}

HttpRequest HttpRequest::with_low_speed_limit(std::int64_t bytes_per_second,
                                              std::int64_t seconds) const {
    HttpRequest copy = *this;
    copy.low_speed_limit_ = LowSpeedLimit{bytes_per_second, seconds};
    return copy;
}

}  // namespace voxapp
