#include "server/tls_client_context.hpp"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <string>

#include "core/tls_library.hpp"

namespace voxapp {
namespace {

constexpr int kMaxChainDepth = 100;

bool is_address_literal(const std::string& host) {
    unsigned char address[16];
    return inet_pton(AF_INET, host.c_str(), address) == 1 ||
           inet_pton(AF_INET6, host.c_str(), address) == 1;
}

bool certificate_names(X509* certificate, const std::string& host) {
    if (is_address_literal(host)) {
        return X509_check_ip_asc(certificate, host.c_str(), 0) == 1;
    }
    return X509_check_host(certificate, host.data(), host.size(), 0, nullptr) == 1;
}

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
    created->load_own_cas(ca_path);
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
    for (X509* certificate : own_cas_) {
        X509_free(certificate);
    }
    SSL_CTX_free(context_);
}

void TlsClientContext::load_own_cas(const std::string& ca_path) {
    BIO* file = BIO_new_file(ca_path.c_str(), "r");
    if (file == nullptr) {
        return;
    }
    // Other PEM blocks of the file (CRLs) are skipped by the reader.
    while (X509* certificate = PEM_read_bio_X509(file, nullptr, nullptr, nullptr)) {
        own_cas_.push_back(certificate);
    }
    BIO_free(file);
}

SSL* TlsClientContext::new_handle(const std::string& host) const {
    SSL* ssl = SSL_new(context_);
    if (ssl == nullptr) {
        return nullptr;
    }
    // RFC 6066 has no SNI for address literals.
    if (!is_address_literal(host) && SSL_set_tlsext_host_name(ssl, host.c_str()) != 1) {
        SSL_free(ssl);
        return nullptr;
    }
    SSL_set_app_data(ssl, const_cast<std::string*>(&host));
    return ssl;
}

bool TlsClientContext::ends_at_own_ca(X509_STORE_CTX* store) const {
    STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(store);
    const int length = chain != nullptr ? sk_X509_num(chain) : 0;
    if (length == 0) {
        return false;
    }
    X509* top = sk_X509_value(chain, length - 1);
    for (X509* own : own_cas_) {
        if (X509_cmp(top, own) == 0) {
            return true;
        }
    }
    return false;
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
    return self->report(preverified, store, static_cast<const std::string*>(SSL_get_app_data(ssl)));
}

int TlsClientContext::report(int preverified, X509_STORE_CTX* store,
                             const std::string* host) const {
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
        if (depth == 0 && host != nullptr && !ends_at_own_ca(store) &&
            !certificate_names(X509_STORE_CTX_get_current_cert(store), *host)) {
            X509_STORE_CTX_set_error(store, X509_V_ERR_HOSTNAME_MISMATCH);
            write(" [ERROR] server certificate " + std::string(subject) + " is not for host " +
                  *host + " and its chain ends at a system CA, not at " + "the CA file: refused");
            return 0;
        }
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
