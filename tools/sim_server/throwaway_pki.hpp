#pragma once

#include <string>

#include "core/result.hpp"

namespace voxapp::sim {

// A certificate authority made for one run and the server identity it signed, both valid for
// two days from their making, in PEM. The CA file that a client trusts holds the CA certificate
// followed by an empty CRL signed by it, so that a client checking revocation finds the list.
class ThrowawayPki {
public:
    // A new CA (P-256) and a server certificate for "localhost", 127.0.0.1 and ::1.
    static Result<ThrowawayPki> create();
    // The PKI kept in `directory` (ca.crt, server.crt, server.key) when all three are there and
    // the certificates stay valid for another hour; otherwise a new one, written there (the
    // directory is created as needed).
    static Result<ThrowawayPki> load_or_create(const std::string& directory);

    // The CA certificate and its CRL, as a client's CA file.
    const std::string& ca_file_pem() const { return ca_file_pem_; }
    const std::string& server_certificate_pem() const { return server_certificate_pem_; }
    const std::string& server_key_pem() const { return server_key_pem_; }

    // Writes ca_file_pem to `path`, creating its parent directories.
    Status write_ca_file(const std::string& path) const;

private:
    ThrowawayPki() = default;
    Status write_to(const std::string& directory) const;

    std::string ca_file_pem_;
    std::string server_certificate_pem_;
    std::string server_key_pem_;
};

}  // namespace voxapp::sim
