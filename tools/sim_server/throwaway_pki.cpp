#include "sim_server/throwaway_pki.hpp"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

namespace voxapp::sim {

namespace {

namespace fs = std::filesystem;

constexpr long kValiditySeconds = 2L * 24 * 3600;
// A little slack for a clock that runs behind the one that made the certificates.
constexpr long kBackdateSeconds = 300;
constexpr long kRenewBeforeSeconds = 3600;

struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertificateFree {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
struct CrlFree {
    void operator()(X509_CRL* crl) const { X509_CRL_free(crl); }
};
struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct TimeFree {
    void operator()(ASN1_TIME* time) const { ASN1_TIME_free(time); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Certificate = std::unique_ptr<X509, CertificateFree>;
using Crl = std::unique_ptr<X509_CRL, CrlFree>;
using Bio = std::unique_ptr<BIO, BioFree>;
using Time = std::unique_ptr<ASN1_TIME, TimeFree>;

Error openssl_error(const char* what) {
    std::string text = what;
    if (const unsigned long code = ERR_get_error(); code != 0) {
        char reason[256];
        ERR_error_string_n(code, reason, sizeof reason);
        text += ": ";
        text += reason;
    }
    ERR_clear_error();
    return Error::owned(std::move(text));
}

bool add_extension(X509* certificate, X509* issuer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    if (extension == nullptr) {
        return false;
    }
    const bool added = X509_add_ext(certificate, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return added;
}

// A certificate for `key` named `common_name`, signed by `issuer_key` (self-signed when
// `issuer` is null). `extensions` are (nid, value) pairs.
Result<Certificate> make_certificate(
    EVP_PKEY* key, const char* common_name, long serial, X509* issuer, EVP_PKEY* issuer_key,
    std::initializer_list<std::pair<int, const char*>> extensions) {
    Certificate certificate(X509_new());
    if (!certificate) {
        return openssl_error("X509_new");
    }
    X509* cert = certificate.get();
    X509_set_version(cert, X509_VERSION_3);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert), -kBackdateSeconds);
    X509_gmtime_adj(X509_getm_notAfter(cert), kValiditySeconds);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("voxapp simulator"), -1, -1,
                               0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(common_name), -1, -1, 0);
    X509* signer = issuer != nullptr ? issuer : cert;
    X509_set_issuer_name(cert, X509_get_subject_name(signer));
    for (const auto& [nid, value] : extensions) {
        if (!add_extension(cert, signer, nid, value)) {
            return openssl_error("certificate extension");
        }
    }
    if (X509_sign(cert, issuer_key, EVP_sha256()) == 0) {
        return openssl_error("X509_sign");
    }
    return certificate;
}

// An empty revocation list of `ca`, current for as long as the certificates.
Result<Crl> make_empty_crl(X509* ca, EVP_PKEY* ca_key) {
    Crl crl(X509_CRL_new());
    Time last_update(ASN1_TIME_adj(nullptr, std::time(nullptr), 0, -kBackdateSeconds));
    Time next_update(ASN1_TIME_adj(nullptr, std::time(nullptr), 0, kValiditySeconds));
    if (!crl || !last_update || !next_update) {
        return openssl_error("X509_CRL_new");
    }
    X509_CRL_set_version(crl.get(), 1);
    X509_CRL_set_issuer_name(crl.get(), X509_get_subject_name(ca));
    X509_CRL_set1_lastUpdate(crl.get(), last_update.get());
    X509_CRL_set1_nextUpdate(crl.get(), next_update.get());
    if (X509_CRL_sign(crl.get(), ca_key, EVP_sha256()) == 0) {
        return openssl_error("X509_CRL_sign");
    }
    return crl;
}

template <typename Write>
Result<std::string> to_pem(Write write) {
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || !write(bio.get())) {
        return openssl_error("PEM write");
    }
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(length));
}

std::string read_whole_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

Status write_whole_file(const fs::path& path, const std::string& content, fs::perms perms) {
    std::error_code error;
    if (path.has_parent_path()) {
        fs::create_directories(path.parent_path(), error);
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    out.close();
    if (!out) {
        return Error::owned("cannot write " + path.string());
    }
    fs::permissions(path, perms, error);
    return {};
}

// Whether the PEM certificate parses and stays valid for at least another hour.
bool certificate_is_current(const std::string& pem) {
    Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    Certificate certificate(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    if (!certificate) {
        ERR_clear_error();
        return false;
    }
    std::time_t soon = std::time(nullptr) + kRenewBeforeSeconds;
    return X509_cmp_time(X509_get0_notAfter(certificate.get()), &soon) > 0;
}

}  // namespace

Result<ThrowawayPki> ThrowawayPki::create() {
    Key ca_key(EVP_EC_gen("P-256"));
    Key server_key(EVP_EC_gen("P-256"));
    if (!ca_key || !server_key) {
        return openssl_error("EVP_EC_gen");
    }
    const long serial = static_cast<long>(std::time(nullptr));
    auto ca = make_certificate(ca_key.get(), "voxapp simulator CA", serial, nullptr, ca_key.get(),
                               {{NID_basic_constraints, "critical,CA:TRUE"},
                                {NID_key_usage, "critical,keyCertSign,cRLSign"},
                                {NID_subject_key_identifier, "hash"}});
    if (!ca) {
        return ca.error();
    }
    auto server =
        make_certificate(server_key.get(), "localhost", serial + 1, ca->get(), ca_key.get(),
                         {{NID_basic_constraints, "critical,CA:FALSE"},
                          {NID_key_usage, "critical,digitalSignature"},
                          {NID_ext_key_usage, "serverAuth"},
                          {NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1,IP:::1"},
                          {NID_authority_key_identifier, "keyid"}});
    if (!server) {
        return server.error();
    }
    auto crl = make_empty_crl(ca->get(), ca_key.get());
    if (!crl) {
        return crl.error();
    }

    auto ca_pem = to_pem([&](BIO* bio) { return PEM_write_bio_X509(bio, ca->get()) == 1; });
    auto crl_pem = to_pem([&](BIO* bio) { return PEM_write_bio_X509_CRL(bio, crl->get()) == 1; });
    auto server_pem = to_pem([&](BIO* bio) { return PEM_write_bio_X509(bio, server->get()) == 1; });
    auto key_pem = to_pem([&](BIO* bio) {
        return PEM_write_bio_PrivateKey(bio, server_key.get(), nullptr, nullptr, 0, nullptr,
                                        nullptr) == 1;
    });
    if (!ca_pem || !crl_pem || !server_pem || !key_pem) {
        return openssl_error("PEM encoding");
    }
    ThrowawayPki pki;
    pki.ca_file_pem_ = *ca_pem + *crl_pem;
    pki.server_certificate_pem_ = std::move(*server_pem);
    pki.server_key_pem_ = std::move(*key_pem);
    return pki;
}

Result<ThrowawayPki> ThrowawayPki::load_or_create(const std::string& directory) {
    const fs::path dir(directory);
    std::error_code error;
    if (fs::is_regular_file(dir / "ca.crt", error) &&
        fs::is_regular_file(dir / "server.crt", error) &&
        fs::is_regular_file(dir / "server.key", error)) {
        ThrowawayPki kept;
        kept.ca_file_pem_ = read_whole_file(dir / "ca.crt");
        kept.server_certificate_pem_ = read_whole_file(dir / "server.crt");
        kept.server_key_pem_ = read_whole_file(dir / "server.key");
        if (certificate_is_current(kept.ca_file_pem_) &&
            certificate_is_current(kept.server_certificate_pem_)) {
            return kept;
        }
    }
    auto made = create();
    if (!made) {
        return made.error();
    }
    if (Status written = made->write_to(directory); !written) {
        return written.error();
    }
    return made;
}

Status ThrowawayPki::write_ca_file(const std::string& path) const {
    return write_whole_file(path, ca_file_pem_,
                            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                fs::perms::others_read);
}

Status ThrowawayPki::write_to(const std::string& directory) const {
    const fs::path dir(directory);
    if (Status ca = write_ca_file((dir / "ca.crt").string()); !ca) {
        return ca;
    }
    if (Status certificate = write_whole_file(dir / "server.crt", server_certificate_pem_,
                                              fs::perms::owner_read | fs::perms::owner_write);
        !certificate) {
        return certificate;
    }
    return write_whole_file(dir / "server.key", server_key_pem_,
                            fs::perms::owner_read | fs::perms::owner_write);
}

}  // namespace voxapp::sim
