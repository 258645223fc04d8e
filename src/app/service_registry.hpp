#pragma once

#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace voxapp {

// One instance per service type, created on first request by the factory given with it.
// A factory asks for its collaborators first, so they are created (and recorded) before the
// service itself; the registry destroys its services in reverse order of creation. Thread-safe;
// a factory may request other services.
class ServiceRegistry {
public:
    ServiceRegistry() = default;
    ~ServiceRegistry() { clear(); }
    ServiceRegistry(const ServiceRegistry&) = delete;
    ServiceRegistry& operator=(const ServiceRegistry&) = delete;

    template <typename T, typename Factory>
    std::shared_ptr<T> get(Factory&& factory) {
        std::lock_guard lock(mutex_);
        for (const auto& [key, service] : services_) {
            if (key == key_of<T>()) {
                return std::static_pointer_cast<T>(service);
            }
        }
        std::shared_ptr<T> service = std::forward<Factory>(factory)();
        services_.emplace_back(key_of<T>(), service);
        return service;
    }

    // Destroys the services, last created first.
    void clear() {
        std::lock_guard lock(mutex_);
        while (!services_.empty()) {
            services_.pop_back();
        }
    }

private:
    template <typename T>
    static const void* key_of() {
        static const char tag = 0;
        return &tag;
    }

    std::recursive_mutex mutex_;
    std::vector<std::pair<const void*, std::shared_ptr<void>>> services_;
};

}  // namespace voxapp
