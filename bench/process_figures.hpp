#pragma once

// Figures of a running process taken from /proc, shared by the whole-daemon benchmarks.

#include <dirent.h>
#include <sys/types.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "support/temp_dir.hpp"

namespace voxapp::test {

// The number after `key` in a /proc text ("Key:   123 kB"), or nullopt.
inline std::optional<long long> proc_field(const std::string& text, const std::string& key) {
    const std::size_t at = text.find("\n" + key);
    const std::size_t start = text.starts_with(key) ? 0 : at;
    if (start == std::string::npos) {
        return std::nullopt;
    }
    const std::size_t value = text.find(':', start);
    if (value == std::string::npos) {
        return std::nullopt;
    }
    return std::atoll(text.c_str() + value + 1);
}

// Private_Dirty of the whole process in KiB (/proc/PID/smaps_rollup): the memory the process
// alone has written, which no other process shares and the kernel cannot drop.
inline long long private_dirty_kib(pid_t pid) {
    const auto value =
        proc_field(read_file("/proc/" + std::to_string(pid) + "/smaps_rollup"), "Private_Dirty");
    return value.value_or(-1);
}

// Voluntary plus involuntary context switches of every thread of the process: each time one of
// its threads was put to sleep or preempted, so each wake-up of an idle thread counts once.
inline long long context_switches(pid_t pid) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* directory = opendir(tasks.c_str());
    if (directory == nullptr) {
        return -1;
    }
    long long total = 0;
    while (const dirent* entry = readdir(directory)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        const std::string status = read_file(tasks + "/" + entry->d_name + "/status");
        total += proc_field(status, "voluntary_ctxt_switches").value_or(0) +
                 proc_field(status, "nonvoluntary_ctxt_switches").value_or(0);
    }
    closedir(directory);
    return total;
}

}  // namespace voxapp::test
