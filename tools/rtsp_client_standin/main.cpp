// A stand-in for the router's RTSP client "openRTSP", installed by tests at its fixed path
// below VOXAPP_ROOT. It takes the client's options in the daemon's order
//   -4 -w W -h H -f F -b 1048576 -p 554 -d SECONDS -t URL
// and, instead of playing the stream, follows a plan kept in files beside itself (PROGRAM is
// the path it was started as):
//   PROGRAM.url      the exact URL expected (user:password@ and ?starttime= included); a
//                    different URL exits 91 without output
//   PROGRAM.content  the bytes written to standard output on success
//   PROGRAM.content.SECONDS  the same for runs with "-d SECONDS", in place of PROGRAM.content
//   PROGRAM.hold     while it exists (at most two minutes), a run waits before writing
//   PROGRAM.pids     appended: the process id of each run
//   PROGRAM.exits    exit codes, one per line, used by the successive runs (the last one
//                    repeats; missing: 0); a run with a non-zero code writes half the content
//   PROGRAM.calls    appended: one line per run, "-d SECONDS URL" with bytes outside printable
//                    ASCII and '\' written as \xHH
//   PROGRAM.count    the number of runs so far
// Malformed options exit 92. Used by the recording tests; a real client is not needed on a PC.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string read_all(const std::string& path, bool* found = nullptr) {
    std::ifstream file(path, std::ios::binary);
    if (found != nullptr) {
        *found = static_cast<bool>(file);
    }
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string escaped(const std::string& text) {
    std::string out;
    for (const unsigned char c : text) {
        if (c < 0x20 || c > 0x7e || c == '\\') {
            char code[8];
            std::snprintf(code, sizeof code, "\\x%02x", c);
            out += code;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}

bool is_number(const char* text) {
    if (*text == '\0') {
        return false;
    }
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') {
            return false;
        }
    }
    return true;
}

void write_all(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(1, bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> fixed = {"-4",      "-w", "",    "-h", "", "-f", "", "-b",
                                            "1048576", "-p", "554", "-d", "", "-t", ""};
    if (argc != static_cast<int>(fixed.size()) + 1) {
        return 92;
    }
    for (std::size_t i = 0; i < fixed.size(); ++i) {
        const char* arg = argv[i + 1];
        const bool numeric_slot = i == 2 || i == 4 || i == 6 || i == 12;
        if (numeric_slot ? !is_number(arg) : (i != 14 && fixed[i] != arg)) {
            return 92;
        }
    }
    const std::string program = argv[0];
    const std::string duration = argv[13];
    const std::string url = argv[15];

    const int run = std::atoi(read_all(program + ".count").c_str()) + 1;
    std::ofstream(program + ".count", std::ios::trunc) << run << '\n';
    std::ofstream(program + ".calls", std::ios::app)
        << "-d " << duration << ' ' << escaped(url) << '\n';

    bool expected = false;
    const std::string expected_url = read_all(program + ".url", &expected);
    if (expected && expected_url != url) {
        return 91;
    }
    std::vector<int> exits;
    std::istringstream lines(read_all(program + ".exits"));
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty()) {
            exits.push_back(std::atoi(line.c_str()));
        }
    }
    const int code = exits.empty() ? 0 : exits[std::min<std::size_t>(run, exits.size()) - 1];
    std::ofstream(program + ".pids", std::ios::app) << ::getpid() << '\n';
    for (int waited = 0; waited < 6000 && ::access((program + ".hold").c_str(), F_OK) == 0;
         ++waited) {
        ::usleep(20'000);
    }
    bool by_duration = false;
    std::string content = read_all(program + ".content." + duration, &by_duration);
    if (!by_duration) {
        content = read_all(program + ".content");
    }
    write_all(code == 0 ? content : content.substr(0, content.size() / 2));
    return code;
}
