// libFuzzer harness for the camera discovery answer reader: any datagram from the LAN yields a
// verdict, and a camera's fields are pieces of the datagram without markup in them.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "cameras/sadp_answer.hpp"
#include "core/ipv4_address.hpp"
#include "core/mac_address.hpp"
#include "fuzz_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The daemon reads at most 4095 bytes and stops at the first NUL.
    const std::size_t taken = size > 4095 ? 4095 : size;
    const char* text = reinterpret_cast<const char*>(data);
    const std::string_view datagram(text, strnlen(text, taken));
    const voxapp::SadpAnswer answer = voxapp::parse_sadp_answer(datagram);
    if (answer.kind != voxapp::SadpAnswer::Kind::Camera) {
        check(answer.ip.empty() && answer.mac.empty(), "fields of a dropped answer");
        return 0;
    }
    check(!answer.ip.empty() && !answer.mac.empty(), "empty field accepted");
    check(answer.ip.find('<') == std::string::npos, "markup in the address");
    check(answer.mac.find('<') == std::string::npos, "markup in the MAC");
    check(datagram.find(answer.ip) != std::string_view::npos, "address not from the datagram");
    check(datagram.find(answer.mac) != std::string_view::npos, "MAC not from the datagram");
    (void)voxapp::Ipv4Address::parse(answer.ip);
    (void)voxapp::MacAddress::parse(answer.mac);
    return 0;
}
