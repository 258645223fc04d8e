#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/result.hpp"

namespace voxapp::sim {

// What a router-like tree for one daemon run holds; every path below `directory`, which
// becomes the daemon's VOXAPP_ROOT.
struct RootOptions {
    std::string directory;
    std::string daemon;   // the voxapp binary, copied to root/app/voxapp
    std::string ca_file;  // copied to root/app/cert/ca.crt; empty: a new throw-away PKI is
                          // made in <directory>/sim-pki and its CA installed
    std::string address = "127.0.0.1";
    std::uint16_t port = 8006;
    std::uint32_t serial = 4321;
    std::string zone = "Europe/Berlin";
    std::string min_level = "debug";
    std::string depth = "data";
    int heartbeat_seconds = 60;
    int idle_timeout_seconds = 300;
    bool gps_fix = true;  // write a live fix for the simulated GPS service
};

// The time zones that the tree's timezones.ini lists, as (IANA name, POSIX rule).
const std::vector<std::pair<std::string, std::string>>& root_time_zones();

// Writes the tree: root/app/{voxapp, settings.ini, numberOfDevices (0), timezones.ini,
// cert/ca.crt}, etc/config/{system, ntpclient}, a stub etc/init.d/system that records its calls
// in tmp/init.d-system.calls, tmp/voxapp-gps-fix, var/log. Existing files are replaced, other
// files left alone.
Status build_root(const RootOptions& options);

}  // namespace voxapp::sim
