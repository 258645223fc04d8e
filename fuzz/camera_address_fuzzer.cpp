// libFuzzer harness for the IPv4, MAC and UUID parsers: whatever parses prints back to text
// that parses to the same value.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

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
    return 0;
}
