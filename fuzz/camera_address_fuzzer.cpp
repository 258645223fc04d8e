// libFuzzer harness for the IPv4, MAC and UUID parsers: whatever parses prints back to text
// that parses to the same value. A camera's playback URI takes the credentials only when the
// host it names is the camera's.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "cameras/playback_uri.hpp"
#include "core/ipv4_address.hpp"
#include "core/mac_address.hpp"
#include "core/uuid.hpp"
#include "fuzz_check.hpp"

namespace {

template <typename T>
void round_trip(std::string_view text, const char* what) {
    const auto parsed = T::parse(text);
    if (!parsed) {
        check(!parsed.error().message().empty(), what);
        return;
    }
    const auto again = T::parse(parsed->to_string());
    check(again.ok() && *again == *parsed, what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    round_trip<voxapp::Ipv4Address>(text, "IPv4 address round trip");
    round_trip<voxapp::MacAddress>(text, "MAC address round trip");
    round_trip<voxapp::Uuid>(text, "UUID round trip");

    const auto placed =
        voxapp::playback_uri_with_credentials(text, voxapp::Ipv4Address(10, 0, 0, 5), {"u", "p"});
    if (placed) {
        const std::string_view authority = text.substr(text.find("://") + 3, 8);
        check(authority == "10.0.0.5" && placed->size() == text.size() + 4 &&
                  placed->find("://u:p@10.0.0.5") == text.find("://"),
              "credentials for the camera's own host only");
        const char next = text.size() > text.find("://") + 11 ? text[text.find("://") + 11] : '/';
        check(next == ':' || next == '/' || next == '?' || next == '#',
              "host ends after the address");
    }
    return 0;
}
