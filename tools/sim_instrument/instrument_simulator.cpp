#include "instrument_simulator.hpp"

#include "core/hex_digit.hpp"

#include <fcntl.h>
#include <linux/netlink.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

namespace voxapp::sim {

using voxapp::hex_value;

namespace fs = std::filesystem;

namespace {

void write_text(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// FNV-1a over the bytes of a data command: the test compares it with its own.
std::uint32_t fnv1a(std::uint32_t hash, const char* data, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        hash ^= static_cast<unsigned char>(data[i]);
        hash *= 16777619u;
    }
    return hash;
}

}  // namespace

std::string unescape(const std::string& text) {
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            bytes.push_back(text[i]);
            continue;
        }
        const char next = text[i + 1];
        if (next == '\\') {
            bytes.push_back('\\');
            ++i;
        } else if (next == 'r') {
            bytes.push_back('\r');
            ++i;
        } else if (next == 'n') {
            bytes.push_back('\n');
            ++i;
        } else if (next == 'x' && i + 3 < text.size() && hex_value(text[i + 2]) >= 0 &&
                   hex_value(text[i + 3]) >= 0) {
            bytes.push_back(
                static_cast<char>(hex_value(text[i + 2]) * 16 + hex_value(text[i + 3])));
            i += 3;
        } else {
            bytes.push_back(text[i]);
        }
    }
    return bytes;
}

std::string escape(const std::string& bytes) {
    std::string text;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\') {
            text += "\\\\";
        } else if (byte >= 0x20 && byte < 0x7f) {
            text.push_back(c);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", byte);
            text += hex;
        }
    }
    return text;
}

InstrumentSimulator::InstrumentSimulator(Options options, Report report)
    : options_(std::move(options)), report_(std::move(report)) {}

InstrumentSimulator::~InstrumentSimulator() {
    close_line();
    if (reset_reader_ >= 0) {
        close(reset_reader_);
    }
}

// Each simulated instrument hangs off its own hub port, named after its USB device number.
std::string InstrumentSimulator::usb_port() const {
    return "1-" + std::to_string(std::strtoul(options_.usb_device.c_str(), nullptr, 10));
}

std::string InstrumentSimulator::devpath() const {
    return "/devices/platform/soc/usb1/" + usb_port() + "/" + usb_port() + ":1.0/" + options_.tty +
           "/tty/" + options_.tty;
}

bool InstrumentSimulator::make_line() {
    if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) {
        report_("error openpty: " + std::string(std::strerror(errno)));
        return false;
    }
    termios raw{};
    tcgetattr(slave_, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave_, TCSANOW, &raw);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
    char name[128];
    if (ttyname_r(slave_, name, sizeof name) != 0) {
        report_("error ttyname");
        return false;
    }
    slave_name_ = name;
    return true;
}

void InstrumentSimulator::close_line() {
    if (master_ >= 0) {
        close(master_);
        master_ = -1;
    }
    // The simulator keeps the slave open while plugged so that the master never reads EIO
    // between the daemon's opens.
    if (slave_ >= 0) {
        close(slave_);
        slave_ = -1;
    }
    pending_.clear();
    data_left_ = 0;
}

void InstrumentSimulator::write_sysfs() {
    const fs::path root = options_.root;
    const fs::path usb = root / "sys/devices/platform/soc/usb1" / usb_port();
    const fs::path tty_dir = usb / (usb_port() + ":1.0") / options_.tty / "tty" / options_.tty;
    fs::create_directories(tty_dir / "device");
    char hex[16];
    std::snprintf(hex, sizeof hex, "%04x\n", options_.vendor);
    write_text(usb / "idVendor", hex);
    std::snprintf(hex, sizeof hex, "%04x\n", options_.product);
    write_text(usb / "idProduct", hex);
    write_text(usb / "uevent", "MAJOR=189\nMINOR=3\nDEVNAME=bus/usb/" + options_.usb_bus + "/" +
                                   options_.usb_device + "\nDEVTYPE=usb_device\n");
    const fs::path class_dir = root / "sys/class/tty";
    fs::create_directories(class_dir);
    std::error_code ignored;
    fs::remove(class_dir / options_.tty, ignored);
    fs::create_directory_symlink(fs::relative(tty_dir, class_dir), class_dir / options_.tty);
    fs::create_directories(root / "dev");
    fs::remove(root / "dev" / options_.tty, ignored);
    fs::create_symlink(slave_name_, root / "dev" / options_.tty);
    open_reset_node();
}

void InstrumentSimulator::open_reset_node() {
    // The USB node is a FIFO that this simulator reads: the daemon's reset opens and closes it
    // (its ioctl fails on a FIFO), which shows here as a hang-up.
    const fs::path node =
        fs::path(options_.root) / "dev/bus/usb" / options_.usb_bus / options_.usb_device;
    fs::create_directories(node.parent_path());
    struct stat info {};
    if (stat(node.c_str(), &info) != 0 || !S_ISFIFO(info.st_mode)) {
        std::error_code ignored;
        fs::remove(node, ignored);
        mkfifo(node.c_str(), 0600);
    }
    if (reset_reader_ >= 0) {
        close(reset_reader_);
    }
    reset_reader_ = open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

void InstrumentSimulator::remove_sysfs() {
    const fs::path root = options_.root;
    std::error_code ignored;
    fs::remove(root / "dev" / options_.tty, ignored);
    fs::remove(root / "sys/class/tty" / options_.tty, ignored);
}

bool InstrumentSimulator::send_uevent(const std::string& action) {
    const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    if (fd < 0) {
        report_("error netlink socket: " + std::string(std::strerror(errno)));
        return false;
    }
    sockaddr_nl self{};
    self.nl_family = AF_NETLINK;
    bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof self);
    const std::string path = devpath();
    std::string message = action + "@" + path;
    message.push_back('\0');
    for (const std::string& entry :
         {"ACTION=" + action, "DEVPATH=" + path, std::string("SUBSYSTEM=tty"),
          "DEVNAME=" + options_.tty, std::string("SEQNUM=1")}) {
        message += entry;
        message.push_back('\0');
    }
    sockaddr_nl group{};
    group.nl_family = AF_NETLINK;
    group.nl_groups = 1;
    const bool sent = sendto(fd, message.data(), message.size(), 0,
                             reinterpret_cast<sockaddr*>(&group), sizeof group) >= 0;
    if (!sent) {
        report_("error uevent: " + std::string(std::strerror(errno)));
    }
    close(fd);
    return sent;
}

bool InstrumentSimulator::plug(bool announce) {
    if (master_ < 0 && !make_line()) {
        return false;
    }
    write_sysfs();
    report_("plugged " + options_.tty + " " + slave_name_);
    return !announce || send_uevent("add");
}

void InstrumentSimulator::unplug(bool announce) {
    if (announce) {
        send_uevent("remove");
    }
    remove_sysfs();
    close_line();
    report_("unplugged " + options_.tty);
}

void InstrumentSimulator::vanish() {
    close_line();
    report_("vanished " + options_.tty);
}

void InstrumentSimulator::send(const std::string& bytes) {
    reply(bytes);
}

void InstrumentSimulator::reply(const std::string& text) {
    if (master_ < 0 || text.empty()) {
        return;
    }
    report_("tx " + escape(text));
    const std::size_t piece = split_bytes_ == 0 ? text.size() : split_bytes_;
    for (std::size_t done = 0; done < text.size();) {
        const std::size_t length = std::min(piece, text.size() - done);
        const ssize_t written = write(master_, text.data() + done, length);
        if (written < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                pollfd ready{master_, POLLOUT, 0};
                poll(&ready, 1, 100);
                continue;
            }
            return;
        }
        done += static_cast<std::size_t>(written);
        if (split_pause_ms_ > 0 && done < text.size()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(split_pause_ms_));
        }
    }
}

bool InstrumentSimulator::set_stalled(bool stalled) {
    return slave_ >= 0 && tcflow(slave_, stalled ? TCOOFF : TCOON) == 0;
}

int InstrumentSimulator::unread() const {
    int count = 0;
    if (slave_ < 0 || ioctl(slave_, FIONREAD, &count) != 0) {
        return -1;
    }
    return count;
}

void InstrumentSimulator::poll_once(int timeout_ms) {
    if (chatter_ms_ > 0 && master_ >= 0) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= next_chatter_) {
            reply(chatter_);
            next_chatter_ = now + std::chrono::milliseconds(chatter_ms_);
        }
    }
    pollfd fds[2] = {{master_, POLLIN, 0}, {reset_reader_, POLLIN, 0}};
    if (poll(fds, 2, timeout_ms) <= 0) {
        return;
    }
    if (master_ >= 0 && (fds[0].revents & POLLIN) != 0) {
        char buffer[65536];
        const ssize_t count = read(master_, buffer, sizeof buffer);
        if (count > 0) {
            handle_input(buffer, static_cast<std::size_t>(count));
        }
    }
    if (reset_reader_ >= 0 && (fds[1].revents & (POLLHUP | POLLIN)) != 0) {
        // A writer came and went: the daemon reset the USB device. A real one re-enumerates,
        // which the kernel reports as a removal and an addition of the tty.
        report_("reset");
        open_reset_node();
        if (master_ >= 0 && reenumerate_) {
            unplug(true);
            plug(true);
        }
    }
}

void InstrumentSimulator::handle_input(const char* data, std::size_t length) {
    while (length > 0) {
        if (data_left_ > 0) {
            const std::size_t take = std::min<std::uint64_t>(length, data_left_);
            data_hash_ = fnv1a(data_hash_, data, take);
            data_left_ -= take;
            data += take;
            length -= take;
            if (data_left_ == 0) {
                char hash[16];
                std::snprintf(hash, sizeof hash, "%08x", data_hash_);
                report_("data " + std::to_string(data_length_) + " " + hash);
                if (!silent_) {
                    reply("#9,1," + std::to_string(data_length_) + "," + hash + ";");
                }
            }
            continue;
        }
        pending_.append(data, length);
        length = 0;
        for (;;) {
            const std::size_t start = pending_.find('#');
            if (start == std::string::npos) {
                pending_.clear();
                break;
            }
            pending_.erase(0, start);
            // "#9,<p1>,<length>," then <length> raw bytes, unless it is "#9,1;" or "#9,0;".
            if (pending_.starts_with("#9,") && !pending_.starts_with("#9,1;") &&
                !pending_.starts_with("#9,0;")) {
                const std::size_t first = pending_.find(',', 3);
                const std::size_t second =
                    first == std::string::npos ? first : pending_.find(',', first + 1);
                if (second == std::string::npos) {
                    if (pending_.size() > 64) {
                        pending_.erase(0, 1);
                        continue;
                    }
                    break;
                }
                data_header_ = pending_.substr(0, second + 1);
                data_length_ = std::strtoull(pending_.substr(first + 1, second - first - 1).c_str(),
                                             nullptr, 10);
                data_left_ = data_length_;
                data_hash_ = 2166136261u;
                report_("cmd " + escape(data_header_));
                std::string rest = pending_.substr(second + 1);
                pending_.clear();
                if (data_left_ == 0) {
                    report_("data 0 811c9dc5");
                }
                handle_input(rest.data(), rest.size());
                return;
            }
            const std::size_t end = pending_.find(';');
            if (end == std::string::npos) {
                break;
            }
            const std::string command = pending_.substr(0, end + 1);
            pending_.erase(0, end + 1);
            handle_command(command);
        }
    }
}

void InstrumentSimulator::handle_command(const std::string& command) {
    report_("cmd " + escape(command));
    if (silent_) {
        return;
    }
    reply(answer_to(command));
}

std::string InstrumentSimulator::answer_to(const std::string& command) {
    if (command == "#1,U?,N?;" && !hello_reply_.empty()) {
        return answer_hello_ ? hello_reply_ : std::string();
    }
    if (command.starts_with("#1,") && command.find('?') != std::string::npos) {
        if (!answer_hello_) {
            return {};
        }
        // Each asked field of the identity, in the order asked.
        std::string reply = "#1";
        std::size_t start = 3;
        while (start < command.size()) {
            std::size_t end = command.find_first_of(",;", start);
            end = end == std::string::npos ? command.size() : end;
            const std::string field = command.substr(start, end - start);
            if (field == "U?") {
                reply += ",U" + std::to_string(options_.unit_type);
            } else if (field == "N?") {
                reply += ",N" + std::to_string(options_.serial);
            }
            start = end + 1;
        }
        return reply + ";";
    }
    std::string best;
    const std::string* answer = nullptr;
    for (const auto& [prefix, reply] : rules_) {
        if (command.starts_with(prefix) && prefix.size() >= best.size()) {
            best = prefix;
            answer = &reply;
        }
    }
    if (answer != nullptr) {
        return *answer;
    }
    if (command.starts_with("#1,") && command.find('?') == std::string::npos) {
        return {};  // settings without a question get no answer
    }
    return command.size() > 1 ? std::string("#") + command[1] + ",?;" : std::string();
}

}  // namespace voxapp::sim
