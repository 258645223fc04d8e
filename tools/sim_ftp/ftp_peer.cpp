#include "sim_ftp/ftp_peer.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>

namespace voxapp::sim {

namespace {

// Waits until `fd` is readable or the peer stops; false on stop or after `limit_ms`.
bool readable(int fd, const std::atomic<bool>& stopping, int limit_ms) {
    for (int waited = 0; waited < limit_ms && !stopping.load(); waited += 100) {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 100) > 0) {
            return true;
        }
    }
    return false;
}

void send_text(int fd, const std::string& text) {
    const std::string line = text + "\r\n";
    (void)::send(fd, line.data(), line.size(), MSG_NOSIGNAL);
}

int listen_on_loopback(std::uint16_t* port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    const int on = 1;
    (void)::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 4) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        return -1;
    }
    *port = ntohs(address.sin_port);
    return fd;
}

bool plain_name(const std::string& name) {
    return !name.empty() && name.find('/') == std::string::npos && name != "." && name != "..";
}

}  // namespace

Result<std::unique_ptr<FtpPeer>> FtpPeer::start(std::string user, std::string password,
                                                std::string home) {
    std::uint16_t port = 0;
    const int fd = listen_on_loopback(&port);
    if (fd < 0) {
        return Error::from_errno(errno);
    }
    std::unique_ptr<FtpPeer> peer(
        new FtpPeer(fd, port, std::move(user), std::move(password), std::move(home)));
    peer->thread_ = std::thread([raw = peer.get()] { raw->serve(); });
    return peer;
}

FtpPeer::FtpPeer(int listen_fd, std::uint16_t port, std::string user, std::string password,
                 std::string home)
    : listen_fd_(listen_fd),
      port_(port),
      user_(std::move(user)),
      password_(std::move(password)),
      home_(std::move(home)) {}

FtpPeer::~FtpPeer() {
    stopping_.store(true);
    if (thread_.joinable()) {
        thread_.join();
    }
    ::close(listen_fd_);
}

std::string FtpPeer::address() const {
    return "127.0.0.1:" + std::to_string(port_);
}

void FtpPeer::plan_cut(const std::string& file, std::uint64_t bytes, Cut how) {
    std::lock_guard lock(mutex_);
    cuts_.push_back(PlannedCut{file, bytes, how});
}

void FtpPeer::serve() {
    while (!stopping_.load()) {
        if (!readable(listen_fd_, stopping_, 100)) {
            continue;
        }
        const int control = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (control >= 0) {
            session(control);
            ::close(control);
        }
    }
}

void FtpPeer::session(int control) {
    send_text(control, "220 voxapp test peer");
    std::string pending;
    std::string user;
    bool logged_in = false;
    std::uint64_t restart_at = 0;
    std::string rename_from;
    int data_listen = -1;
    const auto close_data_listen = [&] {
        if (data_listen >= 0) {
            ::close(data_listen);
            data_listen = -1;
        }
    };
    while (true) {
        const std::size_t end = pending.find("\r\n");
        if (end == std::string::npos) {
            if (!readable(control, stopping_, 30'000)) {
                break;
            }
            char buffer[1024];
            const ssize_t n = ::recv(control, buffer, sizeof buffer, 0);
            if (n <= 0 || pending.size() > 4096) {
                break;
            }
            pending.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        const std::string line = pending.substr(0, end);
        pending.erase(0, end + 2);
        const std::size_t blank = line.find(' ');
        std::string verb = line.substr(0, blank);
        for (char& c : verb) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        const std::string argument = blank == std::string::npos ? "" : line.substr(blank + 1);
        const std::string path = home_ + "/" + argument;

        if (verb == "USER") {
            user = argument;
            send_text(control, "331 Password please");
        } else if (verb == "PASS") {
            logged_in = user == user_ && argument == password_;
            send_text(control, logged_in ? "230 Logged in" : "530 Login incorrect");
        } else if (verb == "QUIT") {
            send_text(control, "221 Bye");
            break;
        } else if (!logged_in) {
            send_text(control, "530 Please log in");
        } else if (verb == "PWD") {
            send_text(control, "257 \"/\"");
        } else if (verb == "CWD" || verb == "TYPE" || verb == "NOOP") {
            send_text(control, "200 OK");
        } else if (verb == "EPSV" || verb == "PASV") {
            close_data_listen();
            std::uint16_t port = 0;
            data_listen = listen_on_loopback(&port);
            if (data_listen < 0) {
                send_text(control, "425 No data connection");
            } else if (verb == "EPSV") {
                send_text(control,
                          "229 Entering Extended Passive Mode (|||" + std::to_string(port) + "|)");
            } else {
                send_text(control, "227 Entering Passive Mode (127,0,0,1," +
                                       std::to_string(port / 256) + "," +
                                       std::to_string(port % 256) + ")");
            }
        } else if (verb == "SIZE" || verb == "MDTM") {
            std::error_code error;
            const auto size = std::filesystem::file_size(path, error);
            if (!plain_name(argument) || error) {
                send_text(control, "550 No such file");
            } else {
                send_text(control, "213 " + (verb == "SIZE" ? std::to_string(size)
                                                            : std::string("20260101000000")));
            }
        } else if (verb == "REST") {
            restart_at = std::strtoull(argument.c_str(), nullptr, 10);
            send_text(control, "350 Restarting at " + std::to_string(restart_at));
        } else if (verb == "STOR" || verb == "APPE") {
            if (!plain_name(argument) || data_listen < 0) {
                send_text(control, "550 Refused");
                continue;
            }
            send_text(control, "150 Ready for data");
            if (!readable(data_listen, stopping_, 5'000)) {
                send_text(control, "425 No data connection");
                close_data_listen();
                continue;
            }
            const int data = ::accept4(data_listen, nullptr, nullptr, SOCK_CLOEXEC);
            close_data_listen();
            uploads_.fetch_add(1);
            std::optional<PlannedCut> cut;
            {
                std::lock_guard lock(mutex_);
                const auto planned =
                    std::find_if(cuts_.begin(), cuts_.end(),
                                 [&](const PlannedCut& c) { return c.file == argument; });
                if (planned != cuts_.end()) {
                    cut = *planned;
                    cuts_.erase(planned);
                }
            }
            std::ofstream file;
            if (verb == "APPE") {
                file.open(path, std::ios::binary | std::ios::app);
            } else {
                std::error_code ignored;
                std::filesystem::resize_file(path, restart_at, ignored);
                file.open(path, std::ios::binary | (restart_at > 0 ? std::ios::in | std::ios::out
                                                                   : std::ios::trunc));
                file.seekp(static_cast<std::streamoff>(restart_at));
            }
            restart_at = 0;
            std::uint64_t stored = 0;
            bool dropped = false;
            while (data >= 0 && readable(data, stopping_, 30'000)) {
                char buffer[16384];
                const ssize_t n = ::recv(data, buffer, sizeof buffer, 0);
                if (n <= 0) {
                    break;
                }
                std::uint64_t keep = static_cast<std::uint64_t>(n);
                if (cut && stored + keep > cut->bytes) {
                    keep = cut->bytes > stored ? cut->bytes - stored : 0;
                }
                file.write(buffer, static_cast<std::streamsize>(keep));
                stored += keep;
                if (cut && stored >= cut->bytes && cut->how == Cut::drop) {
                    dropped = true;
                    break;
                }
            }
            file.close();
            if (data >= 0) {
                ::close(data);
            }
            if (dropped) {
                break;
            }
            send_text(control, cut && stored >= cut->bytes
                                   ? "426 Connection closed; transfer aborted"
                                   : "226 Transfer complete");
        } else if (verb == "RNFR") {
            rename_from = plain_name(argument) && std::filesystem::exists(path) ? path : "";
            send_text(control, rename_from.empty() ? "550 No such file" : "350 Ready for RNTO");
        } else if (verb == "RNTO") {
            std::error_code error;
            if (!rename_from.empty() && plain_name(argument)) {
                std::filesystem::rename(rename_from, path, error);
            }
            send_text(control, rename_from.empty() || !plain_name(argument) || error
                                   ? "553 Rename failed"
                                   : "250 Renamed");
            rename_from.clear();
        } else {
            send_text(control, "502 Not implemented");
        }
    }
    close_data_listen();
}

}  // namespace voxapp::sim
