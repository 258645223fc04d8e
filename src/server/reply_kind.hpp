#pragma once

#include <string_view>

namespace voxapp {

// Whether the reply to a command goes out as a BINARY frame: after one optional leading ';', the
// command begins with "#D,r", "#D,z", "#D,R", "#D,Z" or "#4".
bool is_binary_reply_command(std::string_view text);

}  // namespace voxapp
