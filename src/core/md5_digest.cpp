#include "core/md5_digest.hpp"

#include <openssl/evp.h>

#include <cstdio>

namespace voxapp {

std::string md5_text_digest(std::string_view text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr) != 1) {
        length = 0;
    }
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(2 * length);
    for (unsigned int i = 0; i < length; ++i) {
        out.push_back(kHex[digest[i] >> 4]);
        out.push_back(kHex[digest[i] & 0x0F]);
    }
    return out;
}

std::string unit_password(int number, std::string_view text) {
    static constexpr std::string_view kSalt = "Qorlent=#7Hd+pk^*wTuvM48X";
    char digits[16];
    std::snprintf(digits, sizeof digits, "%u", static_cast<unsigned int>(number));
    std::string input;
    input.reserve(kSalt.size() + 10 + text.size());
    input.append(kSalt).append(digits).append(text);
    return md5_text_digest(input);
}

}  // namespace voxapp
