#pragma once

#include <string>
#include <string_view>

namespace voxapp {

// MD5 of the bytes, as 32 upper-case hexadecimal digits.
std::string md5_text_digest(std::string_view text);

// The unit password: the MD5 text digest of a fixed salt, `number` printed as an unsigned
// 32-bit decimal (so -1 reads 4294967295) and `text`.
std::string unit_password(int number, std::string_view text);

}  // namespace voxapp
