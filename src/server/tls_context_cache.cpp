#include "server/tls_context_cache.hpp"

namespace voxapp {

Result<std::shared_ptr<const TlsClientContext>> TlsContextCache::get(const std::string& ca_path) {
    std::lock_guard lock(mutex_);
    std::weak_ptr<const TlsClientContext>& slot = contexts_[ca_path];
    if (auto shared = slot.lock()) {
        return shared;
    }
    auto made = TlsClientContext::create(ca_path, console_);
    if (!made) {
        return made.error();
    }
    std::shared_ptr<const TlsClientContext> shared = std::move(*made);
    slot = shared;
    return shared;
}

}  // namespace voxapp
