#pragma once

#include <functional>

#include "cameras/http_request.hpp"
#include "core/result.hpp"

namespace voxapp {

// Runs HTTP requests without blocking the event loop's thread.
class AsyncHttpClient {
public:
    // Gets the response (any accepted status, 401 and 500 included) or an Error.
    using Completion = std::function<void(Result<HttpResponse>)>;

    virtual ~AsyncHttpClient() = default;

    // Starts the request. On success the completion is called exactly once, later, on the event
    // loop's thread; it may send further requests. On failure it is never called. Destroying the
    // client drops the completions of requests still running without calling them.
    virtual Status send(const HttpRequest& request, Completion completion) = 0;
};

}  // namespace voxapp
