#include "cameras/async_http_client_using_curl.hpp"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "sim_camera/sim_camera.hpp"
#include "support/network_namespace.hpp"
#include "system/io/io_test_support.hpp"

namespace voxapp {
namespace {

class AsyncHttpClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        VOXAPP_ENTER_PRIVATE_NETWORK();
        auto started = sim::SimCamera::start({});
        ASSERT_TRUE(started.ok()) << started.error().code();
        camera = std::move(*started);
        auto created = AsyncHttpClientUsingCurl::create(loop);
        ASSERT_TRUE(created.ok()) << created.error().message();
        client = std::move(*created);
    }

    std::string url(const std::string& resource) const {
        return "http://127.0.0.1:" + std::to_string(camera->port()) + "/ISAPI/" + resource;
    }
    HttpRequest request(const std::string& resource, const char* method = "GET") const {
        return HttpRequest::create(url(resource), method)->with_credentials("admin:camera-pass");
    }
    // Sends and runs the loop until the completion came.
    Result<HttpResponse> run(const HttpRequest& request) {
        std::optional<Result<HttpResponse>> outcome;
        EXPECT_TRUE(
            client
                ->send(request,
                       [&](Result<HttpResponse> reply) { outcome.emplace(std::move(reply)); })
                .ok());
        EXPECT_TRUE(test::poll_until(loop, [&] { return outcome.has_value(); }));
        if (!outcome) {
            return Error::fixed("no completion");
        }
        return std::move(*outcome);
    }
    std::string error_of(const HttpRequest& request) {
        auto reply = run(request);
        return reply ? "status " + std::to_string(reply->status) : reply.error().message_text();
    }

    EventLoop loop = *EventLoop::create();
    std::unique_ptr<sim::SimCamera> camera;
    std::unique_ptr<AsyncHttpClientUsingCurl> client;
};

TEST_F(AsyncHttpClientTest, GetsTheBodyThroughDigestAuthentication) {
    auto reply = run(request("System/deviceInfo"));
    ASSERT_TRUE(reply.ok()) << reply.error().message();
    EXPECT_EQ(reply->status, 200);
    EXPECT_NE(reply->body.find("<serialNumber>SIM0000000001</serialNumber>"), std::string::npos);
    EXPECT_EQ(camera->requests(), 2u);  // the challenge, then the answer
    EXPECT_EQ(client->pending(), 0u);
}

TEST_F(AsyncHttpClientTest, StatusesOutsideTheKnownRangesAreErrors) {
    EXPECT_EQ(error_of(request("Nothing/here")), "status 404");
    EXPECT_EQ(error_of(request("System/deviceInfo").with_credentials("admin:wrong")), "status 401");
    camera->set_forced_status(418);
    EXPECT_EQ(error_of(request("System/deviceInfo")), "status 418");
    camera->set_forced_status(299);
    EXPECT_EQ(error_of(request("System/deviceInfo")), "Unknown status code: 299");
    camera->set_forced_status(505);
    EXPECT_EQ(error_of(request("System/deviceInfo")), "status 505");
    camera->set_forced_status(506);
    EXPECT_EQ(error_of(request("System/deviceInfo")), "Unknown status code: 506");
}

TEST_F(AsyncHttpClientTest, TransportFailuresCarryCurlsCode) {
    const int closed = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(closed, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(getsockname(closed, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string refused =
        "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/ISAPI/System/time";
    EXPECT_EQ(error_of(*HttpRequest::create(refused, "GET")), "cURL error: 7");
    close(closed);

    camera->set_drop_connections(true);
    EXPECT_EQ(error_of(request("System/time")), "cURL error: 52");
    camera->set_drop_connections(false);

    camera->set_delay_ms(3000);
    EXPECT_EQ(error_of(request("System/time").with_timeout_ms(200)), "cURL error: 28");
}

TEST_F(AsyncHttpClientTest, AHugeBodyFailsTheRequestInsteadOfFillingMemory) {
    camera->set_oversize_body(AsyncHttpClientUsingCurl::kMaxBodyBytes);
    auto fits = run(request("System/time"));
    ASSERT_TRUE(fits.ok()) << fits.error().message();
    EXPECT_EQ(fits->body.size(), AsyncHttpClientUsingCurl::kMaxBodyBytes);
    camera->set_oversize_body(AsyncHttpClientUsingCurl::kMaxBodyBytes + 1);
    EXPECT_EQ(error_of(request("System/time")), "Response body exceeds 1048576 bytes");
}

TEST_F(AsyncHttpClientTest, SendsBodiesAndHeadersAndTurnsUnknownMethodsIntoGets) {
    const std::string large(5000, 'x');
    for (const std::string& body : {std::string("<a>small</a>"), "<a>" + large + "</a>"}) {
        auto reply = run(request("ContentMgmt/record/tracks", "PUT")
                             .with_body(body)
                             .with_header("Content-Type", "application/xml"));
        ASSERT_TRUE(reply.ok()) << reply.error().message();
        EXPECT_EQ(reply->status, 200);
        ASSERT_FALSE(camera->writes().empty());
        EXPECT_EQ(camera->writes().back().method, "PUT");
        EXPECT_EQ(camera->writes().back().body, body);
    }
    auto post = run(request("ContentMgmt/search", "POST").with_body("<searchID>7</searchID>"));
    ASSERT_TRUE(post.ok());
    EXPECT_NE(post->body.find("<searchID>7</searchID>"), std::string::npos);
    auto patch = run(request("System/deviceInfo", "PATCH"));
    ASSERT_TRUE(patch.ok());
    EXPECT_EQ(patch->status, 200);
    EXPECT_EQ(camera->writes().size(), 3u);
}

TEST_F(AsyncHttpClientTest, TwoHundredParallelRequestsCompleteOnceEach) {
    constexpr int kRequests = 200;
    std::vector<int> calls(kRequests, 0);
    std::vector<int> statuses(kRequests, 0);
    for (int i = 0; i < kRequests; ++i) {
        ASSERT_TRUE(client
                        ->send(request(i % 2 == 0 ? "System/time" : "System/deviceInfo"),
                               [&, i](Result<HttpResponse> reply) {
                                   ++calls[i];
                                   statuses[i] = reply ? reply->status : -1;
                               })
                        .ok());
    }
    EXPECT_EQ(client->pending(), static_cast<std::size_t>(kRequests));
    ASSERT_TRUE(test::poll_until(
        loop, [&] { return client->pending() == 0; }, std::chrono::seconds(60)));
    // Nothing more arrives afterwards.
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(loop.poll(20).ok());
    }
    for (int i = 0; i < kRequests; ++i) {
        EXPECT_EQ(calls[i], 1) << i;
        EXPECT_EQ(statuses[i], 200) << i;
    }
}

TEST_F(AsyncHttpClientTest, ACompletionMayStartTheNextRequest) {
    int completed = 0;
    std::function<void(Result<HttpResponse>)> next = [&](Result<HttpResponse> reply) {
        EXPECT_TRUE(reply.ok());
        if (++completed < 3) {
            EXPECT_TRUE(client->send(request("System/time"), next).ok());
        }
    };
    ASSERT_TRUE(client->send(request("System/time"), next).ok());
    ASSERT_TRUE(test::poll_until(loop, [&] { return completed == 3 && client->pending() == 0; }));
}

TEST_F(AsyncHttpClientTest, DestroyingTheClientDropsPendingCompletions) {
    camera->set_delay_ms(300);
    int calls = 0;
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(
            client->send(request("System/time"), [&](Result<HttpResponse>) { ++calls; }).ok());
    }
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(loop.poll(20).ok());
    }
    client.reset();
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(800);
    while (std::chrono::steady_clock::now() < until) {
        ASSERT_TRUE(loop.poll(20).ok());
    }
    EXPECT_EQ(calls, 0);
}

TEST_F(AsyncHttpClientTest, ACompletionMayDestroyTheClient) {
    int calls = 0;
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(client
                        ->send(request("System/time"),
                               [&](Result<HttpResponse>) {
                                   ++calls;
                                   client.reset();
                               })
                        .ok());
    }
    ASSERT_TRUE(test::poll_until(loop, [&] { return client == nullptr; }));
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(loop.poll(20).ok());
    }
    EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace voxapp
