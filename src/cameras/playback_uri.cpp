#include "cameras/playback_uri.hpp"

#include <algorithm>

namespace voxapp {
namespace {

constexpr std::size_t kLoggedAuthority = 64;

// The text from "://" to the first '/', '?' or '#' after it; `scheme` is npos without "://".
std::string_view authority_of(std::string_view uri, std::size_t& scheme) {
    scheme = uri.find("://");
    if (scheme == std::string_view::npos) {
        return {};
    }
    const std::size_t start = scheme + 3;
    const std::size_t end = std::min(uri.find_first_of("/?#", start), uri.size());
    return uri.substr(start, end - start);
}

bool is_port(std::string_view text) {
    return !text.empty() && text.size() <= 5 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

Result<std::string> playback_uri_with_credentials(std::string_view uri, const Ipv4Address& camera,
                                                  const CameraCredential& credential) {
    std::size_t scheme = 0;
    const std::string_view authority = authority_of(uri, scheme);
    if (scheme == std::string_view::npos) {
        return Error::fixed("Playback URI without \"://\"");
    }
    // User information of the URI's own ("x@host") fails here too: the '@' lands in the host or
    // in the port.
    const std::size_t colon = authority.find(':');
    const std::string_view host = authority.substr(0, colon);
    const bool port_ok = colon == std::string_view::npos || is_port(authority.substr(colon + 1));
    if (host != camera.to_string() || !port_ok) {
        return Error::fixed(kForeignPlaybackHost.data());
    }
    std::string placed(uri);
    placed.insert(scheme + 3, credential.user_name + ":" + credential.password + "@");
    return placed;
}

std::string playback_uri_authority(std::string_view uri) {
    std::size_t scheme = 0;
    return std::string(authority_of(uri, scheme).substr(0, kLoggedAuthority));
}

}  // namespace voxapp
