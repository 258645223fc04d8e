#include "cameras/sadp_discovery.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "cameras/sadp_answer.hpp"
#include "core/ipv4_address.hpp"

namespace voxapp {

namespace {

constexpr const char* kGroup = "239.255.255.250";
constexpr std::uint16_t kPort = 37020;
constexpr unsigned char kTtl = 4;
constexpr std::size_t kLargestDatagram = 4095;

std::string errno_text(int code) {
    return std::strerror(code);
}

// Releases getifaddrs' list however the walk ends.
struct InterfaceList {
    ifaddrs* head = nullptr;
    ~InterfaceList() {
        if (head != nullptr) {
            freeifaddrs(head);
        }
    }
};

bool is_bridge(const ifaddrs& entry) {
    return entry.ifa_name != nullptr && std::strcmp(entry.ifa_name, SadpDiscovery::kInterface) == 0;
}

bool has_ipv4(const ifaddrs& entry) {
    return entry.ifa_addr != nullptr && entry.ifa_addr->sa_family == AF_INET;
}

in_addr ipv4_of(const sockaddr* address) {
    return reinterpret_cast<const sockaddr_in*>(address)->sin_addr;
}

}  // namespace

Result<std::unique_ptr<SadpDiscovery>> SadpDiscovery::create(std::shared_ptr<Logger> logger,
                                                             std::shared_ptr<CameraService> cameras,
                                                             std::shared_ptr<UuidGenerator> ids) {
    logger->info("Creating WsDiscovery instance");
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        const int code = errno;
        logger->error("Failed to create socket: " + errno_text(code));
        return Error::from_errno(code);
    }
    const int flags = fcntl(fd, F_GETFL, 0);
    (void)fcntl(fd, F_SETFL, (flags < 0 ? 0 : flags) | O_NONBLOCK);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    any.sin_port = 0;
    if (bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) {
        const int code = errno;
        logger->error("Failed to bind socket: " + errno_text(code));
        close(fd);
        return Error::from_errno(code);
    }
    return std::unique_ptr<SadpDiscovery>(
        new SadpDiscovery(std::move(logger), std::move(cameras), std::move(ids), fd));
}

SadpDiscovery::SadpDiscovery(std::shared_ptr<Logger> logger, std::shared_ptr<CameraService> cameras,
                             std::shared_ptr<UuidGenerator> ids, int fd)
    : logger_(std::move(logger)), cameras_(std::move(cameras)), ids_(std::move(ids)), fd_(fd) {}

SadpDiscovery::~SadpDiscovery() {
    unregister();
    close(fd_);
}

void SadpDiscovery::send_to_group(const std::string& datagram) {
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(kPort);
    inet_pton(AF_INET, kGroup, &group.sin_addr);
    // A lost probe is simply sent again at the next firing.
    (void)sendto(fd_, datagram.data(), datagram.size(), MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&group), sizeof group);
}

void SadpDiscovery::probe() {
    (void)setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_TTL, &kTtl, sizeof kTtl);
    auto id = ids_->generate();
    if (!id) {
        // Without an id there is no probe to send; the next firing tries again.
        logger_->error("[SadpDiscovery] Failed to generate probe id: " +
                       (id.error().message().empty() ? errno_text(id.error().code())
                                                     : id.error().message_text()));
        return;
    }
    const std::string datagram = sadp_probe(id->to_string());
    InterfaceList interfaces;
    if (getifaddrs(&interfaces.head) != 0) {
        logger_->error("[SadpDiscovery] getifaddrs failed: " + errno_text(errno));
        logger_->debug("[SadpDiscovery] Sending probe on default interface...");
        send_to_group(datagram);
        return;
    }
    int sent = 0;
    for (const ifaddrs* entry = interfaces.head; entry != nullptr; entry = entry->ifa_next) {
        const unsigned flags = entry->ifa_flags;
        if (!has_ipv4(*entry) || (flags & IFF_LOOPBACK) != 0 || (flags & IFF_MULTICAST) == 0 ||
            (flags & IFF_UP) == 0 || (flags & IFF_RUNNING) == 0 || !is_bridge(*entry)) {
            continue;
        }
        const in_addr local = ipv4_of(entry->ifa_addr);
        if (setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_IF, &local, sizeof local) != 0) {
            logger_->warning(std::string("[SadpDiscovery] Failed to set multicast interface to ") +
                             entry->ifa_name + ": " + errno_text(errno));
            continue;
        }
        logger_->debug(std::string("[SadpDiscovery] Sending probe on ") + entry->ifa_name);
        send_to_group(datagram);
        ++sent;
    }
    if (sent == 0) {
        logger_->warning(
            "[SadpDiscovery] No suitable interfaces found for multicast. Sending on default.");
        send_to_group(datagram);
    }
}

bool SadpDiscovery::in_bridge_subnet(const std::string& ip_text) const {
    InterfaceList interfaces;
    if (getifaddrs(&interfaces.head) != 0) {
        return true;
    }
    for (const ifaddrs* entry = interfaces.head; entry != nullptr; entry = entry->ifa_next) {
        if (!is_bridge(*entry) || !has_ipv4(*entry)) {
            continue;
        }
        // The address is judged as the store will keep it: parsed strictly, in decimal (a
        // lenient parser reads "0250" as octal 168 and lets a public address pass as a LAN one).
        const auto camera = Ipv4Address::parse(ip_text);
        if (entry->ifa_netmask == nullptr || !camera) {
            return false;
        }
        in_addr_t camera_address = 0;
        static_assert(sizeof camera_address == sizeof camera->octets());
        std::memcpy(&camera_address, camera->octets().data(), sizeof camera_address);
        const in_addr_t bridge = ipv4_of(entry->ifa_addr).s_addr;
        const in_addr_t mask = ipv4_of(entry->ifa_netmask).s_addr;
        return ((camera_address ^ bridge) & mask) == 0;
    }
    return false;
}

void SadpDiscovery::on_readable() {
    char buffer[kLargestDatagram + 1];
    const ssize_t received = recv(fd_, buffer, kLargestDatagram, 0);
    if (received <= 0) {
        return;
    }
    buffer[received] = '\0';
    const SadpAnswer answer = parse_sadp_answer(std::string_view(buffer));
    if (answer.kind == SadpAnswer::Kind::Inactive) {
        logger_->debug("[SadpDiscovery] Ignoring inactive camera");
        return;
    }
    if (answer.kind != SadpAnswer::Kind::Camera) {
        return;
    }
    if (!in_bridge_subnet(answer.ip)) {
        logger_->debug("[SadpDiscovery] Ignoring camera in different subnet: " + answer.ip);
        return;
    }
    logger_->debug("[SadpDiscovery] Discovered camera - IP: " + answer.ip + ", MAC: " + answer.mac);
    Status reconciled = cameras_->reconcile_discovered(answer.mac, answer.ip);
    if (!reconciled && reconciled.error().message() == kCameraStoreFull) {
        // A flood of answers with made-up MACs would otherwise write a line each.
        const auto now = std::chrono::steady_clock::now();
        if (!last_refusal_ || now - *last_refusal_ > kRefusalBurstGap) {
            logger_->warning(
                "[SadpDiscovery] Camera store is full; cameras with new MACs are "
                "ignored, the first at " +
                answer.ip);
        }
        last_refusal_ = now;
        return;
    }
    if (!reconciled) {
        logger_->error("[SadpDiscovery] Failed to reconcile camera at " + answer.ip + ": " +
                       reconciled.error().message_text());
    }
}

}  // namespace voxapp
