#pragma once

#include <string>
#include <string_view>

namespace voxapp::sim {

// HTTP digest authentication (MD5, qop "auth" or none) as a camera checks it.
class DigestAuth {
public:
    DigestAuth(std::string realm, std::string user, std::string password);

    // The WWW-Authenticate value of a 401 answer.
    std::string challenge() const;
    // Whether an Authorization header value proves the user's password for this method and
    // request target, against the nonce this object issued.
    bool verify(std::string_view authorization, std::string_view method) const;

private:
    std::string realm_;
    std::string user_;
    std::string password_;
    std::string nonce_;
};

// Lower-case hex MD5 of the text.
std::string md5_hex(std::string_view text);

}  // namespace voxapp::sim
