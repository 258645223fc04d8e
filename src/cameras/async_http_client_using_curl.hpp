#pragma once

#include <curl/curl.h>
#include <sys/epoll.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "cameras/async_http_client.hpp"
#include "system/io/event_loop.hpp"
#include "system/io/fd_handler.hpp"

namespace voxapp {

// libcurl's multi interface in its socket-action style, served by the event loop: libcurl names
// the sockets to watch and when to wake it, the client registers those sockets and one timerfd
// with the loop, and after every action it hands finished transfers to their completions.
//
// Threads: the event loop's thread only; libcurl is never called from any other.
// Lifetime: the loop must outlive the client. A completion may send new requests and may even
// destroy the client; pending completions are dropped, uncalled, when the client is destroyed.
class AsyncHttpClientUsingCurl final : public AsyncHttpClient {
public:
    // Larger response bodies fail the request with "Response body exceeds 1048576 bytes".
    static constexpr std::size_t kMaxBodyBytes = 1024 * 1024;

    // Errors: "Failed to initialize curl_multi", "Failed to create timerfd", or the loop's error
    // when the timer cannot be registered.
    static Result<std::unique_ptr<AsyncHttpClientUsingCurl>> create(EventLoop& loop);

    AsyncHttpClientUsingCurl(const AsyncHttpClientUsingCurl&) = delete;
    AsyncHttpClientUsingCurl& operator=(const AsyncHttpClientUsingCurl&) = delete;
    ~AsyncHttpClientUsingCurl() override;

    // Errors: "Failed to initialize cURL", "Failed to add handle to curl_multi". The completion
    // gets "cURL error: <code>" for a failed transfer, "Unknown status code: <code>" for a status
    // outside 100-103, 200-208, 300-308, 400-426 and 500-505.
    Status send(const HttpRequest& request, Completion completion) override;

    // Transfers started and not yet completed.
    std::size_t pending() const { return transfers_.size(); }

private:
    // One socket that libcurl asked to watch.
    class SocketWatch final : public FdHandler {
    public:
        SocketWatch(AsyncHttpClientUsingCurl& client, curl_socket_t socket, int interest)
            : client_(&client), socket_(socket), interest_(interest) {}
        ~SocketWatch() override { unregister(); }

        int fd() const override { return socket_; }
        std::uint32_t events() const override;
        void on_readable() override;
        void on_writable() override;
        void on_error() override;

        void set_interest(int interest) { interest_ = interest; }

    private:
        AsyncHttpClientUsingCurl* client_;
        curl_socket_t socket_;
        int interest_;
    };

    // libcurl's single wake-up timer.
    class TimerWatch final : public FdHandler {
    public:
        TimerWatch(AsyncHttpClientUsingCurl& client, int fd) : client_(&client), fd_(fd) {}
        ~TimerWatch() override { unregister(); }

        int fd() const override { return fd_; }
        std::uint32_t events() const override { return EPOLLIN; }
        void on_readable() override;
        void on_writable() override {}
        void on_error() override {}

    private:
        AsyncHttpClientUsingCurl* client_;
        int fd_;
    };

    struct Transfer {
        Completion completion;
        std::string body;
        curl_slist* headers = nullptr;
        bool body_too_large = false;
    };

    AsyncHttpClientUsingCurl(EventLoop& loop, CURLM* multi, int timer_fd);

    static int on_socket(CURL* easy, curl_socket_t socket, int what, void* client, void*);
    static int on_timer(CURLM* multi, long timeout_ms, void* client);
    static std::size_t on_body(char* data, std::size_t size, std::size_t count, void* transfer);

    void act(curl_socket_t socket, int select_mask);
    void collect_completions();
    void release(CURL* easy);

    EventLoop& loop_;
    CURLM* multi_;
    int timer_fd_;
    TimerWatch timer_watch_;
    std::map<curl_socket_t, std::unique_ptr<SocketWatch>> socket_watches_;
    std::map<CURL*, Transfer> transfers_;
    // Expires with the client, so that a completion that destroyed it is noticed.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace voxapp
