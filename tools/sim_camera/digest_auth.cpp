#include "sim_camera/digest_auth.hpp"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <map>

namespace voxapp::sim {
namespace {

std::string hex(const unsigned char* bytes, std::size_t length) {
    constexpr char digits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < length; ++i) {
        text.push_back(digits[bytes[i] >> 4]);
        text.push_back(digits[bytes[i] & 0x0F]);
    }
    return text;
}

// The comma-separated key=value and key="value" pairs after "Digest ".
std::map<std::string, std::string> parameters(std::string_view text) {
    std::map<std::string, std::string> result;
    std::size_t at = 0;
    while (at < text.size()) {
        while (at < text.size() && (text[at] == ' ' || text[at] == ',')) {
            ++at;
        }
        const std::size_t equals = text.find('=', at);
        if (equals == std::string_view::npos) {
            break;
        }
        std::string key(text.substr(at, equals - at));
        at = equals + 1;
        std::string value;
        if (at < text.size() && text[at] == '"') {
            const std::size_t close = text.find('"', at + 1);
            if (close == std::string_view::npos) {
                break;
            }
            value = text.substr(at + 1, close - at - 1);
            at = close + 1;
        } else {
            const std::size_t comma = text.find(',', at);
            const std::size_t end = comma == std::string_view::npos ? text.size() : comma;
            value = text.substr(at, end - at);
            at = end;
        }
        result[key] = value;
    }
    return result;
}

}  // namespace

std::string md5_hex(std::string_view text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr) != 1) {
        return {};
    }
    return hex(digest, length);
}

DigestAuth::DigestAuth(std::string realm, std::string user, std::string password)
    : realm_(std::move(realm)), user_(std::move(user)), password_(std::move(password)) {
    unsigned char random[16] = {};
    (void)RAND_bytes(random, sizeof random);
    nonce_ = hex(random, sizeof random);
}

std::string DigestAuth::challenge() const {
    return "Digest qop=\"auth\", realm=\"" + realm_ + "\", nonce=\"" + nonce_ +
           "\", stale=\"FALSE\"";
}

bool DigestAuth::verify(std::string_view authorization, std::string_view method) const {
    constexpr std::string_view kScheme = "Digest ";
    if (!authorization.starts_with(kScheme)) {
        return false;
    }
    auto fields = parameters(authorization.substr(kScheme.size()));
    if (fields["username"] != user_ || fields["realm"] != realm_ || fields["nonce"] != nonce_) {
        return false;
    }
    const std::string ha1 = md5_hex(user_ + ":" + realm_ + ":" + password_);
    const std::string ha2 = md5_hex(std::string(method) + ":" + fields["uri"]);
    std::string expected;
    if (fields.count("qop") != 0) {
        expected = md5_hex(ha1 + ":" + nonce_ + ":" + fields["nc"] + ":" + fields["cnonce"] + ":" +
                           fields["qop"] + ":" + ha2);
    } else {
        expected = md5_hex(ha1 + ":" + nonce_ + ":" + ha2);
    }
    return !expected.empty() && fields["response"] == expected;
}

}  // namespace voxapp::sim
