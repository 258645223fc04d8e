#pragma once

#include <string_view>

namespace voxapp {

// A console message on standard output: the UTC time "%Y-%m-%d %H:%M:%S", the message (which
// brings its own leading blank) and a line feed, written whole and flushed.
void print_console_message(std::string_view message);

}  // namespace voxapp
