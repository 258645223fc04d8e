#include "sim_camera/sim_camera.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <map>

#include "sim_camera/digest_auth.hpp"
#include "sim_camera/sim_camera_parts.hpp"

namespace voxapp::sim {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxHeaderBytes = 64 * 1024;
constexpr std::size_t kMaxBodyBytes = 8 * 1024 * 1024;

const char* reason(int status) {
    switch (status) {
        case 100:
            return "Continue";
        case 200:
            return "OK";
        case 401:
            return "Unauthorized";
        case 404:
            return "Not Found";
        case 500:
            return "Internal Server Error";
        default:
            return "Status";
    }
}

}  // namespace

struct SimCamera::Connection {
    int fd = -1;
    std::string input;
    std::string output;
    // A delayed answer waits here until its time comes.
    std::string delayed;
    Clock::time_point ready_at{};
    bool continue_sent = false;
    bool close_after_output = false;
    // Hung: whatever arrives is read and ignored.
    bool dead = false;
};

namespace {

constexpr const char* kSearchGroup = "239.255.255.250";
constexpr std::uint16_t kSearchPort = 37020;

// A UDP socket on the search port that joined the search group on the interface of `local`.
Result<int> open_discovery_socket(in_addr local) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return Error::from_errno(errno);
    }
    const int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(kSearchPort);
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    ip_mreq membership{};
    inet_pton(AF_INET, kSearchGroup, &membership.imr_multiaddr);
    membership.imr_interface = local;
    if (bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0 ||
        setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
        const int error = errno;
        close(fd);
        return Error::from_errno(error);
    }
    return fd;
}

}  // namespace

Result<std::unique_ptr<SimCamera>> SimCamera::start(const Options& options) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return Error::from_errno(errno);
    }
    const int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(options.port);
    if (inet_pton(AF_INET, options.address.c_str(), &address.sin_addr) != 1) {
        close(fd);
        return Error::fixed("bad listen address");
    }
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 1024) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        const int error = errno;
        close(fd);
        return Error::from_errno(error);
    }
    int wake[2];
    if (pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0) {
        const int error = errno;
        close(fd);
        return Error::from_errno(error);
    }
    int discovery_fd = -1;
    if (options.discovery) {
        auto opened = open_discovery_socket(address.sin_addr);
        if (!opened) {
            close(fd);
            close(wake[0]);
            close(wake[1]);
            return opened.error();
        }
        discovery_fd = *opened;
    }
    std::unique_ptr<SimCamera> camera(
        new SimCamera(options, fd, wake[0], wake[1], ntohs(address.sin_port), discovery_fd));
    camera->thread_ = std::thread([raw = camera.get()] { raw->run(); });
    return camera;
}

SimCamera::SimCamera(Options options, int listen_fd, int wake_read, int wake_write,
                     std::uint16_t port, int discovery_fd)
    : options_(std::move(options)),
      listen_fd_(listen_fd),
      wake_read_(wake_read),
      wake_write_(wake_write),
      port_(port),
      discovery_fd_(discovery_fd),
      auth_(options_.serial_number, options_.user, options_.password),
      channel_xml_(default_channel_xml()) {}

SimCamera::~SimCamera() {
    stopping_ = true;
    const char byte = 0;
    (void)write(wake_write_, &byte, 1);
    if (thread_.joinable()) {
        thread_.join();
    }
    close(listen_fd_);
    if (discovery_fd_ >= 0) {
        close(discovery_fd_);
    }
    close(wake_read_);
    close(wake_write_);
}

void SimCamera::set_password(const std::string& password) {
    std::lock_guard lock(mutex_);
    auth_ = DigestAuth(options_.serial_number, options_.user, password);
}

void SimCamera::set_activated(const std::string& text) {
    std::lock_guard lock(mutex_);
    activated_ = text;
}

void SimCamera::set_advertised_address(const std::string& address) {
    std::lock_guard lock(mutex_);
    advertised_address_ = address;
}

void SimCamera::set_raw_discovery_answer(const std::string& datagram) {
    std::lock_guard lock(mutex_);
    raw_discovery_answer_ = datagram;
}

std::string SimCamera::last_probe_id() const {
    std::lock_guard lock(mutex_);
    return last_probe_id_;
}

void SimCamera::answer_probe() {
    char buffer[4096];
    sockaddr_in sender{};
    socklen_t length = sizeof sender;
    const ssize_t received = recvfrom(discovery_fd_, buffer, sizeof buffer - 1, 0,
                                      reinterpret_cast<sockaddr*>(&sender), &length);
    if (received <= 0) {
        return;
    }
    const std::string probe(buffer, static_cast<std::size_t>(received));
    if (probe.find("<Probe>") == std::string::npos) {
        return;
    }
    std::string answer;
    {
        std::lock_guard lock(mutex_);
        last_probe_id_ = element(probe, "Uuid");
        last_prober_ = sender;
        const std::string address =
            advertised_address_.empty() ? options_.address : advertised_address_;
        answer = !raw_discovery_answer_.empty()
                     ? raw_discovery_answer_
                     : "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ProbeMatch>\n<Uuid>" +
                           last_probe_id_ +
                           "</Uuid>\n<Types>inquiry</Types>\n<DeviceType>139</DeviceType>\n"
                           "<DeviceSN>" +
                           options_.serial_number + "</DeviceSN>\n<MAC>" + options_.mac +
                           "</MAC>\n<IPv4Address>" + address +
                           "</IPv4Address>\n<IPv4SubnetMask>255.255.255.0</IPv4SubnetMask>\n"
                           "<HttpPort>" +
                           std::to_string(port_) + "</HttpPort>\n<Activated>" + activated_ +
                           "</Activated>\n</ProbeMatch>";
    }
    ++probes_;
    (void)sendto(discovery_fd_, answer.data(), answer.size(), MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&sender), length);
}

Status SimCamera::send_discovery_answers(const std::vector<std::string>& datagrams) {
    std::optional<sockaddr_in> prober;
    {
        std::lock_guard lock(mutex_);
        prober = last_prober_;
    }
    if (!prober || discovery_fd_ < 0) {
        return Error::fixed("no probe came yet");
    }
    for (const std::string& datagram : datagrams) {
        if (sendto(discovery_fd_, datagram.data(), datagram.size(), MSG_NOSIGNAL,
                   reinterpret_cast<const sockaddr*>(&*prober), sizeof *prober) < 0) {
            return Error::from_errno(errno);
        }
    }
    return {};
}

void SimCamera::set_hang(const std::string& request_line) {
    std::lock_guard lock(mutex_);
    hang_ = request_line;
    hang_after_.clear();
}

void SimCamera::hang_after(const std::string& request_line) {
    std::lock_guard lock(mutex_);
    hang_after_ = request_line;
}

void SimCamera::set_playback_host(const std::string& host) {
    std::lock_guard lock(mutex_);
    playback_host_ = host;
}

bool SimCamera::hangs(const std::string& request_line, bool answered) {
    std::lock_guard lock(mutex_);
    if (answered && !hang_after_.empty() && request_line == hang_after_) {
        hang_ = "*";
        hang_after_.clear();
    }
    return hang_ == "*" || (!hang_.empty() && request_line == hang_);
}

void SimCamera::set_recordings(std::vector<SimRecording> recordings) {
    std::lock_guard lock(mutex_);
    recordings_ = std::move(recordings);
}

void SimCamera::set_channel_xml(std::string xml) {
    std::lock_guard lock(mutex_);
    channel_xml_ = std::move(xml);
}

std::string SimCamera::channel_xml() const {
    std::lock_guard lock(mutex_);
    return channel_xml_;
}

std::string SimCamera::time_zone() const {
    std::lock_guard lock(mutex_);
    return time_zone_;
}

std::string SimCamera::time_mode() const {
    std::lock_guard lock(mutex_);
    return time_mode_;
}

std::vector<SimWrite> SimCamera::writes() const {
    std::lock_guard lock(mutex_);
    return writes_;
}

std::string SimCamera::default_channel_xml() {
    return std::string(
               "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<StreamingChannel "
               "version=\"2.0\" xmlns=\"") +
           kNamespace +
           "\">\n<id>101</id>\n<channelName>Camera 01</channelName>\n<enabled>true</enabled>\n"
           "<Video>\n<enabled>true</enabled>\n<videoInputChannelID>1</videoInputChannelID>\n"
           "<videoCodecType>H.264</videoCodecType>\n<videoScanType>progressive</videoScanType>\n"
           "<videoResolutionWidth>2560</videoResolutionWidth>\n"
           "<videoResolutionHeight>1440</videoResolutionHeight>\n"
           "<videoQualityControlType>CBR</videoQualityControlType>\n"
           "<constantBitRate>12000</constantBitRate>\n<fixedQuality>100</fixedQuality>\n"
           "<vbrUpperCap>12000</vbrUpperCap>\n<maxFrameRate>2500</maxFrameRate>\n"
           "<keyFrameInterval>2000</keyFrameInterval>\n<GovLength>50</GovLength>\n</Video>\n"
           "</StreamingChannel>\n";
}

void SimCamera::run() {
    std::map<int, Connection> connections;
    std::vector<pollfd> fds;
    while (!stopping_) {
        fds.clear();
        fds.push_back({wake_read_, POLLIN, 0});
        fds.push_back({listen_fd_, POLLIN, 0});
        // poll ignores a negative descriptor, so the slot exists with or without discovery.
        fds.push_back({discovery_fd_, POLLIN, 0});
        const auto now = Clock::now();
        int timeout = -1;
        for (auto& [fd, connection] : connections) {
            short events = 0;
            if (!connection.delayed.empty()) {
                const auto wait =
                    std::chrono::ceil<std::chrono::milliseconds>(connection.ready_at - now).count();
                const int wait_ms = static_cast<int>(std::max<long long>(wait, 0));
                timeout = timeout < 0 ? wait_ms : std::min(timeout, wait_ms);
            } else {
                events |= POLLIN;
            }
            if (!connection.output.empty()) {
                events |= POLLOUT;
            }
            fds.push_back({fd, events, 0});
        }
        if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) {
            return;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            char buffer[64];
            while (read(wake_read_, buffer, sizeof buffer) > 0) {
            }
            if (stopping_) {
                break;
            }
        }
        if ((fds[2].revents & POLLIN) != 0) {
            answer_probe();
        }
        for (std::size_t i = 3; i < fds.size(); ++i) {
            auto found = connections.find(fds[i].fd);
            Connection& connection = found->second;
            bool keep = true;
            if (!connection.delayed.empty() && Clock::now() >= connection.ready_at) {
                connection.output += std::move(connection.delayed);
                connection.delayed.clear();
            }
            if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                keep = serve_input(connection);
            }
            if (keep && !connection.output.empty()) {
                keep = flush_output(connection);
            }
            if (!keep) {
                close(connection.fd);
                connections.erase(found);
            }
        }
        if ((fds[1].revents & POLLIN) != 0) {
            while (true) {
                const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (fd < 0) {
                    break;
                }
                connections[fd].fd = fd;
            }
        }
    }
    for (auto& [fd, connection] : connections) {
        close(fd);
    }
}

bool SimCamera::serve_input(Connection& connection) {
    char buffer[16384];
    while (true) {
        const ssize_t got = read(connection.fd, buffer, sizeof buffer);
        if (got == 0) {
            return false;
        }
        if (got < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                break;
            }
            return false;
        }
        if (connection.dead) {
            continue;
        }
        connection.input.append(buffer, static_cast<std::size_t>(got));
        if (connection.input.size() > kMaxHeaderBytes + kMaxBodyBytes) {
            return false;
        }
    }
    while (connection.delayed.empty()) {
        const std::size_t header_end = connection.input.find("\r\n\r\n");
        if (header_end == std::string::npos) {
            return connection.input.size() <= kMaxHeaderBytes;
        }
        Request request;
        std::size_t line_end = connection.input.find("\r\n");
        const std::string first_line = connection.input.substr(0, line_end);
        const std::size_t space1 = first_line.find(' ');
        const std::size_t space2 = first_line.find(' ', space1 + 1);
        if (space1 == std::string::npos || space2 == std::string::npos) {
            return false;
        }
        request.method = first_line.substr(0, space1);
        request.target = first_line.substr(space1 + 1, space2 - space1 - 1);
        while (line_end < header_end) {
            const std::size_t next = connection.input.find("\r\n", line_end + 2);
            const std::string line = connection.input.substr(line_end + 2, next - line_end - 2);
            const std::size_t colon = line.find(':');
            if (colon != std::string::npos) {
                std::size_t value_start = colon + 1;
                while (value_start < line.size() && line[value_start] == ' ') {
                    ++value_start;
                }
                request.headers[lower(line.substr(0, colon))] = line.substr(value_start);
            }
            line_end = next;
        }
        std::size_t body_length = 0;
        if (auto length = request.headers.find("content-length"); length != request.headers.end()) {
            body_length = std::strtoull(length->second.c_str(), nullptr, 10);
            if (body_length > kMaxBodyBytes) {
                return false;
            }
        }
        const std::size_t total = header_end + 4 + body_length;
        if (connection.input.size() < total) {
            auto expect = request.headers.find("expect");
            if (expect != request.headers.end() && lower(expect->second) == "100-continue" &&
                !connection.continue_sent) {
                connection.output += "HTTP/1.1 100 Continue\r\n\r\n";
                connection.continue_sent = true;
            }
            return true;
        }
        request.body = connection.input.substr(header_end + 4, body_length);
        connection.input.erase(0, total);
        connection.continue_sent = false;
        if (drop_) {
            ++requests_;
            return false;
        }
        const std::string request_line =
            request.method + " " + request.target.substr(0, request.target.find('?'));
        const bool hung_at_once = hangs(request_line, false);
        const Reply reply = hung_at_once ? Reply{} : answer(request);
        if (hung_at_once || hangs(request_line, reply.status != 401)) {
            if (hung_at_once) {
                ++requests_;
            }
            ++hung_;
            connection.dead = true;
            connection.input.clear();
            return true;
        }
        std::string text = "HTTP/1.1 " + std::to_string(reply.status) + " " + reason(reply.status) +
                           "\r\nContent-Type: " + reply.content_type +
                           "\r\nContent-Length: " + std::to_string(reply.body.size()) + "\r\n";
        if (reply.challenge) {
            std::lock_guard lock(mutex_);
            text += "WWW-Authenticate: " + auth_.challenge() + "\r\n";
        }
        auto connection_header = request.headers.find("connection");
        if (connection_header != request.headers.end() &&
            lower(connection_header->second) == "close") {
            connection.close_after_output = true;
        }
        text += "\r\n" + reply.body;
        const int delay = delay_ms_;
        if (delay > 0) {
            connection.delayed = std::move(text);
            connection.ready_at = Clock::now() + std::chrono::milliseconds(delay);
        } else {
            connection.output += text;
        }
    }
    return true;
}

bool SimCamera::flush_output(Connection& connection) {
    while (!connection.output.empty()) {
        const ssize_t sent =
            send(connection.fd, connection.output.data(), connection.output.size(), MSG_NOSIGNAL);
        if (sent < 0) {
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        connection.output.erase(0, static_cast<std::size_t>(sent));
    }
    return !connection.close_after_output;
}

}  // namespace voxapp::sim
