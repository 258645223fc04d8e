#pragma once

#include <string>

#include "support/temp_dir.hpp"

namespace voxapp::test {

// A certificate and its private key, as PEM file paths.
struct TlsIdentity {
    std::string certificate;
    std::string key;
};

// A throw-away PKI made with the openssl command line in a temporary directory, every
// certificate valid for two days from now:
//
//   root CA ──┬── server                     (not revoked)
//             ├── revoked_server             (listed in the root's CRL)
//             └── intermediate CA ── intermediate_server
//
//   public CA ──┬── public_server            (names IP address 127.0.0.1)
//               └── public_other_server      (names DNS other.invalid only)
//
// The public CA stands for a CA of the system's trust store (a test points SSL_CERT_FILE at it).
//
// The CA files are what a client trusts. Construction throws std::runtime_error (with the
// command's output) when a command fails.
class TlsTestCertificates {
public:
    TlsTestCertificates();

    const std::string& directory() const { return directory_.path(); }

    // The root CA certificate alone: verifying `server` against it finds no CRL.
    std::string root_ca;
    // The root CA certificate followed by its CRL.
    std::string root_ca_with_crl;
    // The intermediate CA certificate alone, without the root that issued it.
    std::string intermediate_ca;

    // The public CA certificate alone.
    std::string public_ca;

    TlsIdentity server;
    TlsIdentity revoked_server;
    TlsIdentity intermediate_server;
    TlsIdentity public_server;
    TlsIdentity public_other_server;

private:
    void run(const std::string& command) const;
    TlsIdentity issue(const std::string& name, const std::string& subject,
                      const std::string& issuer, const std::string& extensions = "");

    TempDir directory_;
};

}  // namespace voxapp::test
