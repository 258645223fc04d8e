#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/uci_context.hpp"

struct uci_context;

namespace voxapp {

// A UCI context on OpenWrt's libuci (built only with libuci): the router's own reading, delta
// and commit rules, so that the daemon and the router's tools ("uci", LuCI) agree on every file.
// The configuration directory ("/etc/config"), the delta directory ("/tmp/.uci") and the
// override directory ("/var/run/uci") resolve below VOXAPP_ROOT.
//
// Changes made with `set` stay in this context until `commit`, which writes the package the way
// libuci does (taking along deltas that the "uci" tool saved but did not commit). `revert`
// drops this context's own changes only: deltas saved by someone else stay pending.
class LibUciContext final : public UciContext {
public:
    // Null when libuci cannot allocate a context.
    static std::unique_ptr<LibUciContext> open();
    ~LibUciContext() override;
    LibUciContext(const LibUciContext&) = delete;
    LibUciContext& operator=(const LibUciContext&) = delete;

    Result<UciPointer> lookup(std::string_view path) override;
    Status set(const UciPointer& pointer, std::string_view value) override;
    Status load(std::string_view package) override;
    Status commit(std::string_view package) override;
    Status revert(std::string_view package) override;

private:
    explicit LibUciContext(uci_context* context) : context_(context) {}

    uci_context* context_;
    bool owns_conf2dir_ = false;
};

}  // namespace voxapp
