#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "core/result.hpp"
#include "server/tls_client_context.hpp"

namespace voxapp {

// Hands out one TLS client context per CA file, so that the server connections with the same
// trust settings share one certificate store: loading the system's trust store costs close to a
// megabyte, which every device's connection would otherwise pay again. A context lives as long as
// a connection holds it; the next connection after the last one went loads the files afresh (so
// a CA file replaced meanwhile is read then).
//
// Threads: get may be called from any thread.
class TlsContextCache {
public:
    // `console` receives the certificate reports of every context made here.
    explicit TlsContextCache(ConsoleWriter console) : console_(std::move(console)) {}

    // The context for `ca_path`, made when no connection holds one. Error: as
    // TlsClientContext::create.
    Result<std::shared_ptr<const TlsClientContext>> get(const std::string& ca_path);

private:
    ConsoleWriter console_;
    std::mutex mutex_;
    std::map<std::string, std::weak_ptr<const TlsClientContext>> contexts_;
};

}  // namespace voxapp
