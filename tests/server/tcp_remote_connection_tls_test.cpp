#include <gtest/gtest.h>

#include "server/tls_client_context.hpp"
#include "tcp_remote_connection_fixture.hpp"

namespace voxapp {
namespace {

using namespace connection_test;

// --- Connecting and certificate verification ----------------------------------------------

TEST_F(TcpRemoteConnectionTest, TrustedChainConnectsAndReportsEachCertificate) {
    TlsTestServer server(pki().server);
    linked(server);

    const std::string port = std::to_string(server.port());
    EXPECT_THAT(logger_->texts(),
                IsSupersetOf(std::vector<std::string>{
                    "Hostname 127.0.0.1 resolved to 127.0.0.1", "Connected to 127.0.0.1:" + port,
                    "Socket set to non-blocking mode", "Establishing OpenSSL connection"}));
    EXPECT_THAT(console_.lines(), ElementsAre(" [INFO] depth=1:/CN=voxapp test root",
                                              " [INFO] depth=0:/CN=voxapp test server"));
    EXPECT_THAT(handler_.calls(), ElementsAre(Call{Call::Kind::started, 0, ""}));
}

TEST_F(TcpRemoteConnectionTest, MissingCrlIsPermitted) {
    TlsTestServer server(pki().server);
    connect_to("127.0.0.1", server.port(), pki().root_ca).start();

    ASSERT_TRUE(server.wait_for_handshakes(1, kBound));
    EXPECT_THAT(
        console_.lines(),
        IsSupersetOf({" [ERROR] verify error:num=3:unable to get certificate CRL:depth=0/CN=voxapp "
                      "test server",
                      " [INFO] proceeding after CRL error - permitted"}));
}

TEST_F(TcpRemoteConnectionTest, UnknownIssuerIsRejectedWithBothLinesAndRetried) {
    TlsTestServer server(pki().intermediate_server);
    TcpRemoteConnection& connection = connect_to("127.0.0.1", server.port(), pki().intermediate_ca);
    connection.start();

    ASSERT_TRUE(server.wait_for_accepted(2, kBound));
    EXPECT_THAT(console_.lines(), IsSupersetOf({" [ERROR] verify error:num=2:unable to get issuer "
                                                "certificate:depth=1/CN=voxapp test intermediate",
                                                " [ERROR] unable to get issuer cert"}));
    EXPECT_TRUE(logger_->contains("SSL_connect failed with SSL_get_error code 1"));
    EXPECT_TRUE(logger_->contains("SSL_connect failed with SSL_get_verify_result code 2"));
    EXPECT_EQ(server.handshakes(), 0u);
    EXPECT_FALSE(connection.is_connected());
}

TEST_F(TcpRemoteConnectionTest, HangingHandshakeIsAbandonedAtTheLimitAndRetried) {
    SilentListener listener;
    TlsConnectionTiming timing = fast_timing();
    timing.second = 10ms;  // the 60-second handshake limit becomes 600 ms
    connect_to("127.0.0.1", listener.port(), pki().root_ca, timing).start();

    ASSERT_TRUE(listener.accept_within(kBound));
    const auto first_attempt = Clock::now();
    ASSERT_TRUE(listener.accept_within(kBound));
    EXPECT_GE(Clock::now() - first_attempt, 590ms);
    EXPECT_TRUE(logger_->contains("SSL_connect failed with SSL_get_error code 2"));
    EXPECT_TRUE(logger_->contains("SSL_connect failed with SSL_get_verify_result code 0"));
}

TEST_F(TcpRemoteConnectionTest, RevokedServerCertificateIsRejected) {
    TlsTestServer server(pki().revoked_server);
    TlsConnectionTiming timing = fast_timing();
    timing.second = 10ms;
    connect_to("127.0.0.1", server.port(), pki().root_ca_with_crl, timing).start();

    ASSERT_TRUE(server.wait_for_accepted(2, kBound));
    EXPECT_THAT(console_.lines(),
                Contains(" [ERROR] verify error:num=23:certificate revoked:depth=0/CN=voxapp "
                         "revoked server"));
    EXPECT_THAT(console_.lines(), Not(Contains(" [ERROR] unable to get issuer cert")));
    EXPECT_TRUE(logger_->contains("SSL_connect failed with SSL_get_verify_result code 23"));
    EXPECT_EQ(server.handshakes(), 0u);
}

// The public CA plays a CA of the system store; the deployment's CA file stays the root CA.
class SystemStoreTest : public TcpRemoteConnectionTest {
protected:
    void SetUp() override { ::setenv("SSL_CERT_FILE", pki().public_ca.c_str(), 1); }
    void TearDown() override { ::unsetenv("SSL_CERT_FILE"); }
};

TEST_F(SystemStoreTest, SystemCaCertificateForAnotherHostIsRefused) {
    TlsTestServer server(pki().public_other_server);
    TlsConnectionTiming timing = fast_timing();
    timing.second = 10ms;
    connect_to("127.0.0.1", server.port(), pki().root_ca_with_crl, timing).start();

    ASSERT_TRUE(server.wait_for_accepted(2, kBound));
    EXPECT_THAT(console_.lines(),
                Contains(" [ERROR] server certificate /CN=127.0.0.1 is not for host 127.0.0.1 "
                         "and its chain ends at a system CA, not at the CA file: refused"));
    EXPECT_TRUE(logger_->contains("SSL_connect failed with SSL_get_verify_result code 62"));
    EXPECT_EQ(server.handshakes(), 0u);
}

TEST_F(SystemStoreTest, SystemCaCertificateNamingTheHostIsAccepted) {
    TlsTestServer server(pki().public_server);
    linked(server);
    EXPECT_THAT(console_.lines(), Contains(" [INFO] depth=0:/CN=voxapp public server"));
}

TEST_F(SystemStoreTest, DeploymentCaCertificateNeedNotNameTheHost) {
    TlsTestServer server(pki().server);  // CN "voxapp test server", no address
    linked(server);
    EXPECT_TRUE(connection_->is_connected());
}

TEST(TlsClientContextTest, HandlesSendTheHostNameButNoAddressAsSni) {
    auto context = TlsClientContext::create("/nonexistent", {});
    ASSERT_TRUE(context.ok());
    const std::string name = "server.example";
    const std::string address = "127.0.0.1";
    SSL* named = (*context)->new_handle(name);
    SSL* numeric = (*context)->new_handle(address);
    ASSERT_NE(named, nullptr);
    ASSERT_NE(numeric, nullptr);
    EXPECT_STREQ(SSL_get_servername(named, TLSEXT_NAMETYPE_host_name), "server.example");
    EXPECT_EQ(SSL_get_servername(numeric, TLSEXT_NAMETYPE_host_name), nullptr);
    SSL_free(named);
    SSL_free(numeric);
}

}  // namespace
}  // namespace voxapp
