#include "support/ftp_rig.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace voxapp::test {

namespace {

constexpr const char* kVsftpd = "/usr/sbin/vsftpd";

bool accepts_connections(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

std::string file_text(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The lines of `table` except those of `user`, then `entry`.
std::string with_entry(const std::string& table, const std::string& user,
                       const std::string& entry) {
    std::istringstream lines(table);
    std::string out;
    for (std::string line; std::getline(lines, line);) {
        if (!line.starts_with(user + ":")) {
            out += line + "\n";
        }
    }
    return out + entry + "\n";
}

}  // namespace

bool vsftpd_available() {
    return ::access(kVsftpd, X_OK) == 0;
}

Result<std::unique_ptr<FtpRig>> FtpRig::start(const std::string& password, std::uint16_t port,
                                              std::uint32_t max_rate) {
    std::unique_ptr<FtpRig> rig(new FtpRig());
    char pattern[] = "/tmp/voxapp-ftp-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        return Error::from_errno(errno);
    }
    rig->dir_ = pattern;
    rig->home_ = rig->dir_ + "/home";
    rig->port_ = port;
    // The session runs as nobody inside the chroot of home.
    ::chmod(rig->dir_.c_str(), 0755);
    std::filesystem::create_directories(rig->home_);
    ::chmod(rig->home_.c_str(), 0777);
    std::filesystem::create_directories(rig->dir_ + "/empty");

    // A SHA-512 crypt hash from the openssl command, so the rig needs no crypt library.
    const std::string password_file = rig->dir_ + "/password";
    std::ofstream(password_file, std::ios::binary) << password << '\n';
    FILE* pipe = ::popen(("openssl passwd -6 -in '" + password_file + "'").c_str(), "r");
    if (pipe == nullptr) {
        return Error::from_errno(errno);
    }
    char line[512] = {};
    const bool read = std::fgets(line, sizeof line, pipe) != nullptr;
    ::pclose(pipe);
    std::filesystem::remove(password_file);
    std::string hash = read ? line : "";
    while (!hash.empty() && (hash.back() == '\n' || hash.back() == '\r')) {
        hash.pop_back();
    }
    if (!hash.starts_with("$6$")) {
        return Error::fixed("openssl passwd failed");
    }
    std::ofstream(rig->dir_ + "/passwd")
        << with_entry(file_text("/etc/passwd"), kUser,
                      std::string(kUser) + ":x:65534:65534::" + rig->home_ + ":/bin/sh");
    std::ofstream(rig->dir_ + "/shadow") << with_entry(
        file_text("/etc/shadow"), kUser, std::string(kUser) + ":" + hash + ":19000:0:99999:7:::");
    std::ofstream(rig->dir_ + "/vsftpd.conf")
        << "listen=YES\nlisten_address=127.0.0.1\nlisten_port=" << port
        << "\nlocal_enable=YES\nwrite_enable=YES\nlocal_umask=022\nchroot_local_user=YES\n"
           "allow_writeable_chroot=YES\nseccomp_sandbox=NO\nanonymous_enable=NO\n"
           "pasv_enable=YES\npasv_min_port="
        << port + 1 << "\npasv_max_port=" << port + 50
        << "\nbackground=NO\nsecure_chroot_dir=" << rig->dir_ << "/empty\n"
        << "xferlog_enable=NO\nvsftpd_log_file=" << rig->dir_ << "/vsftpd.log\n";
    if (max_rate > 0) {
        std::ofstream(rig->dir_ + "/vsftpd.conf", std::ios::app)
            << "local_max_rate=" << max_rate << "\n";
    }
    const Status launched = rig->launch();
    if (!launched) {
        return launched.error();
    }
    return rig;
}

Status FtpRig::launch() {
    const std::string passwd = dir_ + "/passwd";
    const std::string shadow = dir_ + "/shadow";
    const std::string config = dir_ + "/vsftpd.conf";
    const pid_t pid = ::fork();
    if (pid < 0) {
        return Error::from_errno(errno);
    }
    if (pid == 0) {
        // Only this child sees the rig's account files.
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount(passwd.c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr) != 0 ||
            ::mount(shadow.c_str(), "/etc/shadow", nullptr, MS_BIND, nullptr) != 0) {
            ::_exit(120);
        }
        ::execl(kVsftpd, "vsftpd", config.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    pid_ = pid;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (accepts_connections(port_)) {
            return {};
        }
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return Error::owned("vsftpd ended at start, status " + std::to_string(status));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    stop();
    return Error::fixed("vsftpd did not accept connections within 10 s");
}

std::string FtpRig::address() const {
    return "127.0.0.1:" + std::to_string(port_);
}

namespace {

// `pid` and every process below it, parents first.
void collect_tree(pid_t pid, std::vector<pid_t>& out) {
    out.push_back(pid);
    std::error_code ec;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        std::istringstream children(file_text(task.path().string() + "/children"));
        for (pid_t child = 0; children >> child;) {
            collect_tree(child, out);
        }
    }
}

}  // namespace

void FtpRig::stop() {
    if (pid_ <= 0) {
        return;
    }
    // A session is a process pair below the listener, and the one receiving a file goes on
    // writing what its socket still holds unless it is killed too.
    std::vector<pid_t> tree;
    collect_tree(pid_, tree);
    for (const pid_t pid : tree) {
        ::kill(pid, SIGSTOP);
    }
    for (const pid_t pid : tree) {
        ::kill(pid, SIGKILL);
    }
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
}

void FtpRig::put(const std::string& name, const std::string& content) const {
    const std::string path = home_ + "/" + name;
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    // The account's own file, as if an earlier session had left it.
    (void)::chown(path.c_str(), 65534, 65534);
}

Status FtpRig::restart() {
    stop();
    return launch();
}

FtpRig::~FtpRig() {
    stop();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

}  // namespace voxapp::test
