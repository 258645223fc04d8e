#include "core/tls_library.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>

namespace voxapp {

void initialise_tls_library() {
    // OpenSSL runs these once per process by itself; repeated calls are cheap no-ops.
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr);
}

}  // namespace voxapp
