#pragma once

#include <cstdint>
#include <string>

#include "core/time_point.hpp"
#include "server/unit_identity.hpp"

namespace voxapp {

// The unit-type code that starts a recording's file name: the instrument models' three-digit
// codes for device classes 0 to 10, "208" for the router unit (11), empty for anything else.
std::string unit_type_code(std::uint8_t device_class);

// "<code>-<serial>-<start as local %Y%m%d_%H_%M_%S>.MP4": the local file name and the base of
// the remote one.
std::string recording_file_name(const UnitIdentity& unit, TimePoint start);

// The local file of request `id`: "-" and the id inserted before the last four characters of
// `file_name`, so that two requests with the same start never share a file.
std::string local_file_name(const std::string& file_name, std::uint64_t id);

// A video id as it appears in remote names: "VID" + id up to 5 digits, "VI" + 6 digits,
// "V" + 7 digits, the bare number from 8 digits on.
std::string video_id_text(std::uint64_t id);

// The file name without its last four characters (".MP4"), "_", the id's text, ".MP4".
std::string remote_file_name(const std::string& file_name, std::uint64_t video_id);

}  // namespace voxapp
