#pragma once

#include <cstdint>
#include <string_view>

namespace voxapp {

// The size that `curl -I` reported for an FTP file: the decimal number (leading blanks
// skipped) after the first ':' of the first line holding "Content-Length:". No such line, no
// digits, or a number beyond 64 bits gives 0, which makes the caller upload from the start.
std::uint64_t parse_content_length(std::string_view headers);

}  // namespace voxapp
