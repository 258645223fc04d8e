#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace voxapp {

// Small text files through the C library rather than iostreams: the router's build carries its
// C++ library inside the binary, and one stream there brings the whole locale machinery along
// (about a fifth of the program).

// At most the first `limit` bytes of the file at `path`; nothing (with errno set) when it cannot
// be opened or read.
std::optional<std::string> read_file_text(const std::string& path, std::size_t limit);

// The lines of `text` without their ends ("\n" or "\r\n"); a last line without an end counts.
std::vector<std::string_view> text_lines(std::string_view text);

// Replaces the file at `path` with `text`; false when it cannot be written completely.
bool write_file_text(const std::string& path, std::string_view text);

}  // namespace voxapp
