#include "support/tls_test_certificates.hpp"

#include <cstdlib>
#include <stdexcept>

namespace voxapp::test {
namespace {

constexpr const char* kNewKey = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
constexpr const char* kCaExtensions =
    "basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n";

}  // namespace

TlsTestCertificates::TlsTestCertificates() {
    const std::string dir = directory_.path();
    write_file(dir + "/ca.ext", kCaExtensions);

    run(std::string("openssl req -x509 ") + kNewKey + " -keyout " + dir + "/root.key -out " + dir +
        "/root.crt -days 2 -subj '/CN=voxapp test root'" +
        " -addext basicConstraints=critical,CA:TRUE" +
        " -addext keyUsage=critical,keyCertSign,cRLSign");
    root_ca = dir + "/root.crt";

    const TlsIdentity intermediate =
        issue("intermediate", "/CN=voxapp test intermediate", "root", dir + "/ca.ext");
    intermediate_ca = intermediate.certificate;
    server = issue("server", "/CN=voxapp test server", "root");
    revoked_server = issue("revoked", "/CN=voxapp revoked server", "root");
    intermediate_server =
        issue("intermediate-server", "/CN=voxapp test intermediate server", "intermediate");

    write_file(dir + "/index.txt", "");
    write_file(dir + "/crlnumber", "1000\n");
    write_file(dir + "/ca.cnf",
               "[ca]\ndefault_ca = test_ca\n[test_ca]\n"
               "database = " +
                   dir +
                   "/index.txt\n"
                   "crlnumber = " +
                   dir +
                   "/crlnumber\n"
                   "certificate = " +
                   dir +
                   "/root.crt\n"
                   "private_key = " +
                   dir +
                   "/root.key\n"
                   "default_md = sha256\ndefault_crl_days = 2\n");
    run("openssl ca -config " + dir + "/ca.cnf -revoke " + revoked_server.certificate);
    run("openssl ca -config " + dir + "/ca.cnf -gencrl -out " + dir + "/root.crl");
    root_ca_with_crl = dir + "/root-with-crl.pem";
    write_file(root_ca_with_crl, read_file(root_ca) + read_file(dir + "/root.crl"));

    run(std::string("openssl req -x509 ") + kNewKey + " -keyout " + dir + "/public-root.key -out " +
        dir + "/public-root.crt -days 2 -subj '/CN=voxapp test public root'" +
        " -addext basicConstraints=critical,CA:TRUE" +
        " -addext keyUsage=critical,keyCertSign,cRLSign");
    public_ca = dir + "/public-root.crt";
    write_file(dir + "/public-ip.ext", "subjectAltName=IP:127.0.0.1\n");
    write_file(dir + "/public-other.ext", "subjectAltName=DNS:other.invalid\n");
    public_server =
        issue("public-server", "/CN=voxapp public server", "public-root", dir + "/public-ip.ext");
    public_other_server =
        issue("public-other-server", "/CN=127.0.0.1", "public-root", dir + "/public-other.ext");
}

TlsIdentity TlsTestCertificates::issue(const std::string& name, const std::string& subject,
                                       const std::string& issuer, const std::string& extensions) {
    const std::string base = directory_.path() + "/" + name;
    const std::string ca = directory_.path() + "/" + issuer;
    run(std::string("openssl req ") + kNewKey + " -keyout " + base + ".key -out " + base +
        ".csr -subj '" + subject + "'");
    run("openssl x509 -req -in " + base + ".csr -CA " + ca + ".crt -CAkey " + ca +
        ".key -CAcreateserial -days 2 -out " + base + ".crt" +
        (extensions.empty() ? "" : " -extfile " + extensions));
    return {base + ".crt", base + ".key"};
}

void TlsTestCertificates::run(const std::string& command) const {
    const std::string output = directory_.path() + "/openssl.log";
    const std::string line = command + " >" + output + " 2>&1 </dev/null";
    if (std::system(line.c_str()) != 0) {
        throw std::runtime_error("failed: " + command + "\n" + read_file(output));
    }
}

}  // namespace voxapp::test
