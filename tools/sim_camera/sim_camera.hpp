#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/result.hpp"
#include "core/time_point.hpp"
#include "sim_camera/digest_auth.hpp"

namespace voxapp::sim {

// One recording the simulated camera reports to a content search (times in ns since the epoch).
struct SimRecording {
    TimePoint start = 0;
    TimePoint end = 0;
};

// A write the camera received: every PUT and POST, in arrival order.
struct SimWrite {
    std::string method;
    std::string path;  // e.g. "/ISAPI/Streaming/channels/101"
    std::string body;
};

// An IP camera's HTTP API as the router's driver uses it, on its own thread: HTTP/1.1 with
// keep-alive and digest authentication, serving "/ISAPI/" System/deviceInfo, System/time,
// System/time/timeZone, Streaming/channels/101, ContentMgmt/record/tracks and
// ContentMgmt/search. Writes change what later reads return (the channel settings, the time
// zone, the clock) and are all recorded. Switches make it misbehave for tests.
//
// Every member is safe to call from any thread while the server runs. The server thread polls
// its own descriptors; a LAN-side responder (the discovery answer) is meant to join that loop.
class SimCamera {
public:
    struct Options {
        std::string address = "127.0.0.1";
        std::uint16_t port = 0;  // 0: any free port
        std::string user = "admin";
        std::string password = "camera-pass";
        std::string serial_number = "SIM0000000001";
        std::string mac = "02:00:00:11:22:33";
        // Answer discovery probes sent to the vendor's search group, on the interface that
        // holds `address`.
        bool discovery = false;
    };

    // Binds and starts the server thread. Error: errno of socket, bind or listen.
    static Result<std::unique_ptr<SimCamera>> start(const Options& options);
    ~SimCamera();
    SimCamera(const SimCamera&) = delete;
    SimCamera& operator=(const SimCamera&) = delete;

    std::uint16_t port() const { return port_; }
    const Options& options() const { return options_; }

    // Switches. Forced status: every authenticated request gets this status (0: off); 401 is
    // sent whatever the credentials. Delay: each answer waits this long. Malformed: XML answers
    // are cut off halfway. Drop: connections are closed after the request, without an answer.
    // Oversize: GET answers carry this many bytes of body instead (0: off).
    void set_forced_status(int status) { forced_status_ = status; }
    void set_delay_ms(int delay_ms) { delay_ms_ = delay_ms; }
    void set_malformed_xml(bool on) { malformed_ = on; }
    void set_drop_connections(bool on) { drop_ = on; }
    void set_oversize_body(std::size_t bytes) { oversize_ = bytes; }
    // Hang: a request whose "METHOD /path" equals `request_line` ("*": every request) gets no
    // answer, and its connection none ever again, as from a camera that lost power mid-way
    // ("": off). Hang after: once an authenticated request equal to `request_line` arrived,
    // it and every later request hang (a camera rebooting after a write) until set_hang("").
    void set_hang(const std::string& request_line);
    void hang_after(const std::string& request_line);
    // Requests left unanswered by a hang so far.
    std::size_t hung() const { return hung_; }
    // The host its search results name in their playback URIs (empty: its own address).
    void set_playback_host(const std::string& host);
    // Sends these datagrams from the discovery socket to whoever sent the latest probe, as
    // answers of other hosts would arrive. Error: no probe came yet, or a send failed.
    Status send_discovery_answers(const std::vector<std::string>& datagrams);

    // A new password: requests must prove it from now on.
    void set_password(const std::string& password);
    // Discovery answers: the <Activated> text, the address advertised (empty: `address`), or a
    // whole raw answer sent instead (empty: off).
    void set_activated(const std::string& text);
    void set_advertised_address(const std::string& address);
    void set_raw_discovery_answer(const std::string& datagram);
    // Probes received so far, and the id of the latest.
    std::size_t probes() const { return probes_; }
    std::string last_probe_id() const;

    void set_recordings(std::vector<SimRecording> recordings);
    void set_channel_xml(std::string xml);
    std::string channel_xml() const;
    std::string time_zone() const;
    std::string time_mode() const;
    std::vector<SimWrite> writes() const;
    // Requests answered or dropped so far, 401 challenges included.
    std::size_t requests() const { return requests_; }

    // The settings of channel 101 a fresh camera starts with: 2560x1440 at 25 fps, CBR.
    static std::string default_channel_xml();

private:
    struct Connection;
    struct Request;
    struct Reply {
        int status = 200;
        std::string content_type = "application/xml";
        std::string body;
        bool challenge = false;
    };

    SimCamera(Options options, int listen_fd, int wake_read, int wake_write, std::uint16_t port,
              int discovery_fd);
    void run();
    void answer_probe();
    void accept_all();
    // False when the connection is finished.
    bool serve_input(Connection& connection);
    bool flush_output(Connection& connection);
    // Whether `request_line` hangs; `answered` says it was authenticated (it may start a hang).
    bool hangs(const std::string& request_line, bool answered);
    Reply answer(const Request& request);
    Reply route(const Request& request);
    std::string search_reply(const std::string& request_body);
    std::string local_time_text() const;

    const Options options_;
    const int listen_fd_;
    const int wake_read_;
    const int wake_write_;
    const std::uint16_t port_;
    const int discovery_fd_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};

    std::atomic<int> forced_status_{0};
    std::atomic<int> delay_ms_{0};
    std::atomic<bool> malformed_{false};
    std::atomic<bool> drop_{false};
    std::atomic<std::size_t> oversize_{0};
    std::atomic<std::size_t> requests_{0};
    std::atomic<std::size_t> probes_{0};
    std::atomic<std::size_t> hung_{0};

    mutable std::mutex mutex_;
    DigestAuth auth_;
    std::string activated_ = "true";
    std::string advertised_address_;
    std::string raw_discovery_answer_;
    std::string last_probe_id_;
    std::optional<sockaddr_in> last_prober_;
    std::string hang_;
    std::string hang_after_;
    std::string playback_host_;
    std::vector<SimRecording> recordings_;
    std::string channel_xml_;
    std::string time_zone_ = "CST+0:00:00";
    std::string time_mode_ = "NTP";
    TimePoint clock_offset_ = 0;
    std::vector<SimWrite> writes_;
};

}  // namespace voxapp::sim
