#include "cameras/http_request.hpp"

#include <gtest/gtest.h>

namespace voxapp {
namespace {

TEST(HttpRequestTest, NeedsUrlThenMethod) {
    EXPECT_EQ(HttpRequest::create("", "").error().message(), "URL cannot be empty");
    EXPECT_EQ(HttpRequest::create("http://x/", "").error().message(), "Method cannot be empty");
    auto request = HttpRequest::create("http://x/", "GET");
    ASSERT_TRUE(request.ok());
    EXPECT_TRUE(request->headers().empty());
    EXPECT_TRUE(request->credentials().empty());
    EXPECT_FALSE(request->timeout_ms().has_value());
}

TEST(HttpRequestTest, ALaterHeaderOfTheSameNameWins) {
    const HttpRequest request = HttpRequest::create("http://x/", "GET")
                                    ->with_header("Accept", "text/plain")
                                    .with_header("Accept", "application/xml");
    ASSERT_EQ(request.headers().size(), 1u);
    EXPECT_EQ(request.headers().at("Accept"), "application/xml");
}

}  // namespace
}  // namespace voxapp
