#pragma once

#include <openssl/types.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "core/result.hpp"

namespace voxapp {

// Where certificate verification reports go: one console message (with its leading blank, without
// the time stamp or line feed) per call.
using ConsoleWriter = std::function<void(std::string_view message)>;

// The TLS client settings of one server connection: the server's chain must verify against the
// system's default trust store or the CA file (which may also carry CRLs), and the server's own
// certificate is checked against its issuer's CRL. A missing CRL is tolerated; there is no
// host-name check and no server name indication.
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

    // A fresh handle for one link, owned by the caller (SSL_free), or null.
    SSL* new_handle() const;

private:
    TlsClientContext(SSL_CTX* context, ConsoleWriter console);

    static int verify(int preverified, X509_STORE_CTX* store);
    int report(int preverified, X509_STORE_CTX* store) const;

    SSL_CTX* context_;
    ConsoleWriter console_;
};

}  // namespace voxapp
