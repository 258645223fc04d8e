#pragma once

#include <string>
#include <string_view>

namespace voxapp {

// What a camera's discovery answer says about it. Each field is the text of the first
// occurrence of its tag anywhere in the datagram; nothing else of the answer is trusted.
struct SadpAnswer {
    enum class Kind {
        Camera,      // ip and mac are set, neither empty
        Inactive,    // <Activated> is exactly "false"
        Incomplete,  // an address is missing or empty
    };
    Kind kind = Kind::Incomplete;
    std::string ip;
    std::string mac;
};

// `datagram` is the text up to its first NUL.
SadpAnswer parse_sadp_answer(std::string_view datagram);

// The discovery probe datagram carrying `uuid` (its text form).
std::string sadp_probe(std::string_view uuid);

}  // namespace voxapp
