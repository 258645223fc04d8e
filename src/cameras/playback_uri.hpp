#pragma once

#include <string>
#include <string_view>

#include "core/ipv4_address.hpp"
#include "core/result.hpp"
#include "core/settings.hpp"

namespace voxapp {

inline constexpr std::string_view kForeignPlaybackHost = "Playback URI names another host";

// `uri` with "user:password@" placed right after its "://", for the RTSP client. The URI comes
// from the camera and the password travels in it in clear, so it is placed only when the URI's
// host is `camera` itself, in dotted decimal, with or without a port. Errors: "Playback URI
// without \"://\"", kForeignPlaybackHost.
Result<std::string> playback_uri_with_credentials(std::string_view uri, const Ipv4Address& camera,
                                                  const CameraCredential& credential);

// The host and port of `uri` (from "://" to the path), at most 64 bytes, for a log line; empty
// without "://".
std::string playback_uri_authority(std::string_view uri);

}  // namespace voxapp
