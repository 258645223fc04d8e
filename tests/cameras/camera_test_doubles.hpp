#pragma once

#include <deque>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "cameras/async_http_client.hpp"
#include "cameras/recording_downloader.hpp"
#include "platform/time_zone_backend.hpp"

namespace voxapp::test {

// An HTTP client that keeps the requests; the test answers them in order.
class ScriptedHttpClient : public AsyncHttpClient {
public:
    Status send(const HttpRequest& request, Completion completion) override {
        sent.push_back(request);
        pending.push_back(std::move(completion));
        return {};
    }
    // Completes the oldest pending request.
    void answer(Result<HttpResponse> reply) {
        Completion completion = std::move(pending.front());
        pending.pop_front();
        completion(std::move(reply));
    }
    void answer(std::uint16_t status, std::string body) {
        answer(HttpResponse{status, std::move(body)});
    }

    std::vector<HttpRequest> sent;
    std::deque<Completion> pending;
};

class FakeRecordingDownloader : public RecordingDownloader {
public:
    void download(const RecordingDownloadRequest& request, Completion completion) override {
        requests.push_back(request);
        completion(result);
    }
    bool is_busy() const override { return busy; }

    bool busy = false;
    Status result;
    std::vector<RecordingDownloadRequest> requests;
};

class FakeTimeZones : public TimeZoneBackend {
public:
    Result<std::string> posix_time_zone(std::string_view name) const override {
        auto found = table.find(std::string(name));
        if (found == table.end()) {
            return Error::owned("Unknown IANA timezone: " + std::string(name));
        }
        return found->second;
    }
    Status set_time_zone(std::string_view) override { return {}; }
    Result<std::string> current_time_zone() override { return std::string("UTC"); }

    std::map<std::string, std::string> table = {
        {"Europe/Helsinki", "EET-2EEST,M3.5.0/3,M10.5.0/4"}};
};

}  // namespace voxapp::test
