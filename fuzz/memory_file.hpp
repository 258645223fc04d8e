#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace voxapp::fuzz {

// An in-memory file with a path, for parsers that take a file name: each run rewrites it.
class MemoryFile {
public:
    MemoryFile() : fd_(memfd_create("voxapp-fuzz", MFD_CLOEXEC)) {
        if (fd_ < 0) {
            std::perror("memfd_create");
            std::abort();
        }
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    ~MemoryFile() { ::close(fd_); }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    // Replaces the content; returns the path to read it through.
    const std::string& hold(std::string_view content) {
        if (::ftruncate(fd_, 0) != 0 || ::pwrite(fd_, content.data(), content.size(), 0) !=
                                            static_cast<ssize_t>(content.size())) {
            std::perror("memory file");
            std::abort();
        }
        return path_;
    }

private:
    int fd_;
    std::string path_;
};

inline void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "invariant violated: %s\n", what);
        std::abort();
    }
}

// Parsers that report on standard output would drown the fuzzer's own output.
inline void silence_standard_output() {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        std::abort();
    }
}

}  // namespace voxapp::fuzz
