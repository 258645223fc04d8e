#include "server/tls_client_context.hpp"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <cstdio>
#include <string>

#include "core/tls_library.hpp"

namespace voxapp {
namespace {

constexpr int kMaxChainDepth = 100;

}  // namespace

Result<std::unique_ptr<TlsClientContext>> TlsClientContext::create(const std::string& ca_path,
                                                                   ConsoleWriter console) {
    initialise_tls_library();
    const SSL_METHOD* method = TLS_client_method();
    SSL_CTX* context = method != nullptr ? SSL_CTX_new(method) : nullptr;
    if (context == nullptr) {
        ERR_print_errors_fp(stderr);
        return Error::fixed("Failed to create the SSL context");
    }
    std::unique_ptr<TlsClientContext> created(new TlsClientContext(context, std::move(console)));
    SSL_CTX_set_app_data(context, created.get());
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, &TlsClientContext::verify);
    SSL_CTX_set_default_verify_paths(context);
    SSL_CTX_load_verify_locations(context, ca_path.c_str(), nullptr);
    // A CA file that failed to load must not leave entries behind for the first handshake's
    // error report.
    ERR_clear_error();

    X509_VERIFY_PARAM* parameters = X509_VERIFY_PARAM_new();
    if (parameters != nullptr) {
        X509_VERIFY_PARAM_set_flags(parameters, X509_V_FLAG_CRL_CHECK);
        SSL_CTX_set1_param(context, parameters);
        X509_VERIFY_PARAM_free(parameters);
    }
    return created;
}

TlsClientContext::TlsClientContext(SSL_CTX* context, ConsoleWriter console)
    : context_(context), console_(std::move(console)) {}

TlsClientContext::~TlsClientContext() {
    SSL_CTX_free(context_);
}

SSL* TlsClientContext::new_handle() const {
    return SSL_new(context_);
}

int TlsClientContext::verify(int preverified, X509_STORE_CTX* store) {
    auto* ssl =
        static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    const auto* self =
        ssl != nullptr
            ? static_cast<const TlsClientContext*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)))
            : nullptr;
    if (self == nullptr) {
        return preverified;
    }
    return self->report(preverified, store);
}

int TlsClientContext::report(int preverified, X509_STORE_CTX* store) const {
    char subject[256] = "";
    if (X509* certificate = X509_STORE_CTX_get_current_cert(store); certificate != nullptr) {
        X509_NAME_oneline(X509_get_subject_name(certificate), subject, sizeof subject);
    }
    int code = X509_STORE_CTX_get_error(store);
    const int depth = X509_STORE_CTX_get_error_depth(store);
    if (depth > kMaxChainDepth) {
        code = X509_V_ERR_CERT_CHAIN_TOO_LONG;
        X509_STORE_CTX_set_error(store, code);
        preverified = 0;
    }
    const auto write = [this](const std::string& message) {
        if (console_) {
            console_(message);
        }
    };
    if (preverified != 0) {
        write(" [INFO] depth=" + std::to_string(depth) + ":" + subject);
        return 1;
    }
    write(" [ERROR] verify error:num=" + std::to_string(code) + ":" +
          X509_verify_cert_error_string(code) + ":depth=" + std::to_string(depth) + subject);
    switch (code) {
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
            write(" [ERROR] unable to get issuer cert");
            return 0;
        case X509_V_ERR_UNABLE_TO_GET_CRL:
            write(" [INFO] proceeding after CRL error - permitted");
            return 1;
        default:
            return 0;
    }
}

}  // namespace voxapp
