#pragma once

#include <openssl/types.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/result.hpp"

namespace voxapp {

// Where certificate verification reports go: one console message (with its leading blank, without
// the time stamp or line feed) per call.
using ConsoleWriter = std::function<void(std::string_view message)>;

// The TLS client settings of one server connection: the server's chain must verify against the
// system's default trust store or the CA file (which may also carry CRLs), and the server's own
// certificate is checked against its issuer's CRL. A missing CRL is tolerated. A chain that ends
// at a CA of the CA file (the deployment's own) is trusted for whatever host it serves; one that
// ends at a CA of the system store must also name the host the link was made to (DNS name or IP
// address), or anyone holding a publicly issued certificate could pose as the server. Handles
// send the host name as SNI (an address literal is not sent).
//
// Every certificate the verification looks at is reported through the console writer, from
// inside the handshake of whichever thread runs it. The context is read-only after create and
// may be used from any thread.
class TlsClientContext {
public:
    // A CA file that cannot be loaded is ignored (only the default trust store is used then).
    // Fails only when the TLS library cannot make a client context; the library's error queue is
    // printed to standard error.
    static Result<std::unique_ptr<TlsClientContext>> create(const std::string& ca_path,
                                                            ConsoleWriter console);
    ~TlsClientContext();
    TlsClientContext(const TlsClientContext&) = delete;
    TlsClientContext& operator=(const TlsClientContext&) = delete;

    // A fresh handle for one link to `host`, owned by the caller (SSL_free), or null. `host`
    // must outlive the handle: the certificate check reads it.
    SSL* new_handle(const std::string& host) const;

private:
    TlsClientContext(SSL_CTX* context, ConsoleWriter console);

    static int verify(int preverified, X509_STORE_CTX* store);
    int report(int preverified, X509_STORE_CTX* store, const std::string* host) const;
    bool ends_at_own_ca(X509_STORE_CTX* store) const;
    void load_own_cas(const std::string& ca_path);

    SSL_CTX* context_;
    ConsoleWriter console_;
    std::vector<X509*> own_cas_;  // the certificates of the CA file
};

}  // namespace voxapp
