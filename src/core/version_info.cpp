#include "core/version_info.hpp"

#include <cstdio>

#include "build_commit.hpp"

namespace voxapp {

namespace {
constexpr const char* kVersion = "1.04.0";
constexpr const char* kBuildTime = "2026-03-30T11:37:13Z";
constexpr const char* kBranch = "main";
}  // namespace

VersionInfo build_version_info() {
    VersionInfo version;
    // A field that fails to scan keeps 0.
    std::sscanf(kVersion, "%d.%d.%d", &version.major, &version.minor, &version.patch);
    version.build_time = kBuildTime;
    version.branch = kBranch;
    version.commit = VOXAPP_BUILD_COMMIT;
    return version;
}

std::string version_number_text(const VersionInfo& version) {
    char numbers[48];
    std::snprintf(numbers, sizeof numbers, "%d.%02d.%d", version.major, version.minor,
                  version.patch);
    return numbers;
}

std::string version_text(const VersionInfo& version) {
    return version_number_text(version) + " (" + version.branch + "@" + version.commit + " - " +
           version.build_time + ")";
}

}  // namespace voxapp
