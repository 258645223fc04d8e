#include "cameras/async_http_client_using_curl.hpp"

#include <sys/timerfd.h>
#include <unistd.h>

#include <mutex>
#include <utility>

#include "system/io/timer.hpp"

namespace voxapp {
namespace {

bool accepted_status(long status) {
    return (status >= 100 && status <= 103) || (status >= 200 && status <= 208) ||
           (status >= 300 && status <= 308) || (status >= 400 && status <= 426) ||
           (status >= 500 && status <= 505);
}

void initialise_curl_once() {
    // curl_global_init is not safe against a concurrent first use; do it once, up front.
    static std::once_flag once;
    std::call_once(once, [] { (void)curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

Result<std::unique_ptr<AsyncHttpClientUsingCurl>> AsyncHttpClientUsingCurl::create(
    EventLoop& loop) {
    initialise_curl_once();
    CURLM* multi = curl_multi_init();
    if (multi == nullptr) {
        return Error::fixed("Failed to initialize curl_multi");
    }
    const int timer_fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (timer_fd < 0) {
        curl_multi_cleanup(multi);
        return Error::fixed("Failed to create timerfd");
    }
    std::unique_ptr<AsyncHttpClientUsingCurl> client(
        new AsyncHttpClientUsingCurl(loop, multi, timer_fd));
    curl_multi_setopt(multi, CURLMOPT_SOCKETFUNCTION, &AsyncHttpClientUsingCurl::on_socket);
    curl_multi_setopt(multi, CURLMOPT_SOCKETDATA, client.get());
    curl_multi_setopt(multi, CURLMOPT_TIMERFUNCTION, &AsyncHttpClientUsingCurl::on_timer);
    curl_multi_setopt(multi, CURLMOPT_TIMERDATA, client.get());
    if (auto added = loop.add(client->timer_watch_); !added) {
        return added.error();
    }
    return client;
}

AsyncHttpClientUsingCurl::AsyncHttpClientUsingCurl(EventLoop& loop, CURLM* multi, int timer_fd)
    : loop_(loop), multi_(multi), timer_fd_(timer_fd), timer_watch_(*this, timer_fd) {}

AsyncHttpClientUsingCurl::~AsyncHttpClientUsingCurl() {
    alive_.reset();
    // Nothing may reach this object any more, not even libcurl's clean-up below.
    curl_multi_setopt(multi_, CURLMOPT_SOCKETFUNCTION, nullptr);
    curl_multi_setopt(multi_, CURLMOPT_TIMERFUNCTION, nullptr);
    for (auto& [easy, transfer] : transfers_) {
        curl_multi_remove_handle(multi_, easy);
        curl_easy_cleanup(easy);
        curl_slist_free_all(transfer.headers);
    }
    transfers_.clear();
    socket_watches_.clear();
    curl_multi_cleanup(multi_);
    // The timer watch is a member: it leaves the loop before the descriptor closes.
    loop_.remove(timer_watch_).ok();
    close(timer_fd_);
}

Status AsyncHttpClientUsingCurl::send(const HttpRequest& request, Completion completion) {
    CURL* easy = curl_easy_init();
    if (easy == nullptr) {
        return Error::fixed("Failed to initialize cURL");
    }
    curl_easy_setopt(easy, CURLOPT_URL, request.url().c_str());
    // Limits are signalled through the multi handle's timer, never by SIGALRM: the daemon has
    // threads of its own.
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    if (request.timeout_ms()) {
        curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(*request.timeout_ms()));
    }
    if (request.connect_timeout_ms()) {
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                         static_cast<long>(*request.connect_timeout_ms()));
    }
    if (const auto& low_speed = request.low_speed_limit()) {
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT,
                         static_cast<long>(low_speed->bytes_per_second));
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, static_cast<long>(low_speed->seconds));
    }
    curl_slist* headers = nullptr;
    for (const auto& [name, value] : request.headers()) {
        const std::string line = name + ": " + value;
        curl_slist* longer = curl_slist_append(headers, line.c_str());
        if (longer == nullptr) {
            curl_slist_free_all(headers);
            curl_easy_cleanup(easy);
            return Error::fixed("Failed to initialize cURL");
        }
        headers = longer;
    }
    if (headers != nullptr) {
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    }
    if (!request.credentials().empty()) {
        curl_easy_setopt(easy, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_DIGEST));
        curl_easy_setopt(easy, CURLOPT_USERPWD, request.credentials().c_str());
    }
    if (request.method() == "POST") {
        curl_easy_setopt(easy, CURLOPT_POST, 1L);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(request.body().size()));
        curl_easy_setopt(easy, CURLOPT_COPYPOSTFIELDS, request.body().c_str());
    } else if (request.method() == "PUT") {
        curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, "PUT");
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(request.body().size()));
        curl_easy_setopt(easy, CURLOPT_COPYPOSTFIELDS, request.body().c_str());
    } else if (request.method() == "DELETE") {
        curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, "DELETE");
    }
    Transfer& transfer = transfers_[easy];
    transfer.completion = std::move(completion);
    transfer.headers = headers;
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &AsyncHttpClientUsingCurl::on_body);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
    if (curl_multi_add_handle(multi_, easy) != CURLM_OK) {
        curl_slist_free_all(headers);
        transfers_.erase(easy);
        curl_easy_cleanup(easy);
        return Error::fixed("Failed to add handle to curl_multi");
    }
    return {};
}

std::size_t AsyncHttpClientUsingCurl::on_body(char* data, std::size_t size, std::size_t count,
                                              void* transfer_pointer) {
    auto& transfer = *static_cast<Transfer*>(transfer_pointer);
    const std::size_t bytes = size * count;
    // A camera must not be able to fill the router's memory with an endless answer.
    if (bytes > kMaxBodyBytes - transfer.body.size()) {
        transfer.body_too_large = true;
        return 0;
    }
    transfer.body.append(data, bytes);
    return bytes;
}

int AsyncHttpClientUsingCurl::on_socket(CURL*, curl_socket_t socket, int what, void* client_pointer,
                                        void*) {
    auto& client = *static_cast<AsyncHttpClientUsingCurl*>(client_pointer);
    const auto found = client.socket_watches_.find(socket);
    if (what == CURL_POLL_REMOVE) {
        if (found != client.socket_watches_.end()) {
            // Destroying the watch takes it out of the loop, also mid-dispatch.
            client.socket_watches_.erase(found);
        }
        return 0;
    }
    if (found == client.socket_watches_.end()) {
        auto watch = std::make_unique<SocketWatch>(client, socket, what);
        // A socket the loop refuses stays unwatched; the request's time limits, kept by libcurl's
        // timer, end its transfer. (Requests without limits are the caller's to avoid.)
        if (client.loop_.add(*watch).ok()) {
            client.socket_watches_.emplace(socket, std::move(watch));
        }
        return 0;
    }
    found->second->set_interest(what);
    (void)client.loop_.modify(*found->second);
    return 0;
}

int AsyncHttpClientUsingCurl::on_timer(CURLM*, long timeout_ms, void* client_pointer) {
    auto& client = *static_cast<AsyncHttpClientUsingCurl*>(client_pointer);
    (void)arm_timer_one_shot(client.timer_fd_, timeout_ms);
    return 0;
}

void AsyncHttpClientUsingCurl::act(curl_socket_t socket, int select_mask) {
    int running = 0;
    curl_multi_socket_action(multi_, socket, select_mask, &running);
    collect_completions();
}

void AsyncHttpClientUsingCurl::collect_completions() {
    const std::weak_ptr<bool> alive = alive_;
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
        if (message->msg != CURLMSG_DONE) {
            continue;
        }
        CURL* easy = message->easy_handle;
        const CURLcode code = message->data.result;
        long status = 0;
        curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
        const auto found = transfers_.find(easy);
        if (found == transfers_.end()) {
            continue;
        }
        Transfer& transfer = found->second;
        Result<HttpResponse> outcome = Error::fixed("");
        if (code == CURLE_WRITE_ERROR && transfer.body_too_large) {
            outcome =
                Error::owned("Response body exceeds " + std::to_string(kMaxBodyBytes) + " bytes");
        } else if (code != CURLE_OK) {
            outcome = Error::owned("cURL error: " + std::to_string(static_cast<int>(code)));
        } else if (!accepted_status(status)) {
            outcome = Error::owned("Unknown status code: " + std::to_string(status));
        } else {
            outcome = HttpResponse{static_cast<std::uint16_t>(status), std::move(transfer.body)};
        }
        // The completion may send (growing the map) or destroy the client; it runs from a local.
        Completion completion = std::move(transfer.completion);
        completion(std::move(outcome));
        if (alive.expired()) {
            return;
        }
        release(easy);
    }
}

void AsyncHttpClientUsingCurl::release(CURL* easy) {
    const auto found = transfers_.find(easy);
    if (found == transfers_.end()) {
        return;
    }
    curl_slist_free_all(found->second.headers);
    transfers_.erase(found);
    curl_multi_remove_handle(multi_, easy);
    curl_easy_cleanup(easy);
}

std::uint32_t AsyncHttpClientUsingCurl::SocketWatch::events() const {
    switch (interest_) {
        case CURL_POLL_IN:
            return EPOLLIN;
        case CURL_POLL_OUT:
            return EPOLLOUT;
        case CURL_POLL_INOUT:
            return EPOLLIN | EPOLLOUT;
        default:
            return 0;
    }
}

// Each of these may end with this watch destroyed (libcurl removing the socket), so the call is
// the last thing they do.
void AsyncHttpClientUsingCurl::SocketWatch::on_readable() {
    client_->act(socket_, CURL_CSELECT_IN);
}

void AsyncHttpClientUsingCurl::SocketWatch::on_writable() {
    client_->act(socket_, CURL_CSELECT_OUT);
}

void AsyncHttpClientUsingCurl::SocketWatch::on_error() {
    client_->act(socket_, CURL_CSELECT_ERR);
}

void AsyncHttpClientUsingCurl::TimerWatch::on_readable() {
    std::uint64_t expiries = 0;
    if (read(fd_, &expiries, sizeof expiries) == sizeof expiries) {
        client_->act(CURL_SOCKET_TIMEOUT, 0);
    }
}

}  // namespace voxapp
