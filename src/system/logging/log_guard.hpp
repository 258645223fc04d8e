#pragma once

#include <string>
#include <string_view>

namespace voxapp {

// The last defence of every log line against the outside text it carries (server commands,
// instrument replies, file contents); applied by the sinks, so no caller can forget it.

// `text` with the password of every FTP account command ("#7,<unit>,D,C,1,<user>,<password>",
// the password running to the next ';' or the end) replaced by "***": the log may sit on a USB
// stick.
std::string mask_passwords(std::string_view text);

// Appends `text` to `line` with every control byte (0x00-0x1F and 0x7F) written as "\xNN" (two
// lower-case hex digits), so that an embedded line feed cannot forge a line of its own. Other
// bytes, including those above 0x7F, are kept.
void append_escaped(std::string& line, std::string_view text);

}  // namespace voxapp
