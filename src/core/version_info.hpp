#pragma once

#include <string>

namespace voxapp {

struct VersionInfo {
    int major = 0;
    int minor = 0;
    int patch = 0;
    std::string build_time;
    std::string branch;
    std::string commit;  // short commit id of the build
};

// The version record of this build.
VersionInfo build_version_info();

// "1.04.0": major, minor padded to two digits, patch.
std::string version_number_text(const VersionInfo& version);

// "1.04.0 (main@abc1234 - 2026-03-30T11:37:13Z)": minor padded to two digits.
std::string version_text(const VersionInfo& version);

}  // namespace voxapp
