#include "cameras/in_memory_camera_store.hpp"

#include <algorithm>

namespace voxapp {

template <typename Match>
const InMemoryCameraStore::Entry* InMemoryCameraStore::find(Match match) const {
    const auto found = std::find_if(entries_.begin(), entries_.end(), match);
    return found == entries_.end() ? nullptr : &*found;
}

Status InMemoryCameraStore::save(const Camera& camera) {
    const std::lock_guard lock(mutex_);
    const bool mac_taken = find([&](const Entry& entry) {
                               return entry.summary.mac == camera.mac() &&
                                      !(entry.summary.id == camera.id());
                           }) != nullptr;
    if (mac_taken) {
        return Error::fixed("Camera with this MAC already exists");
    }
    Entry updated{camera.summary(), camera.stored_credentials()};
    const auto same_id = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& entry) {
        return entry.summary.id == camera.id();
    });
    if (same_id != entries_.end()) {
        *same_id = std::move(updated);
    } else {
        entries_.push_back(std::move(updated));
    }
    return {};
}

Result<Camera> InMemoryCameraStore::find_by_id(const Uuid& id) const {
    const std::lock_guard lock(mutex_);
    const Entry* entry = find([&](const Entry& e) { return e.summary.id == id; });
    if (entry == nullptr) {
        return Error::fixed("Camera not found");
    }
    return Camera::restore(entry->summary, entry->credential);
}

Result<Camera> InMemoryCameraStore::find_by_mac(const MacAddress& mac) const {
    const std::lock_guard lock(mutex_);
    const Entry* entry = find([&](const Entry& e) { return e.summary.mac == mac; });
    if (entry == nullptr) {
        return Error::fixed("Camera not found");
    }
    return Camera::restore(entry->summary, entry->credential);
}

Result<CameraSummary> InMemoryCameraStore::find_summary_by_id(const Uuid& id) const {
    const std::lock_guard lock(mutex_);
    const Entry* entry = find([&](const Entry& e) { return e.summary.id == id; });
    if (entry == nullptr) {
        return Error::fixed("Camera not found");
    }
    return entry->summary;
}

Result<CameraSummary> InMemoryCameraStore::find_summary_by_mac(const MacAddress& mac) const {
    const std::lock_guard lock(mutex_);
    const Entry* entry = find([&](const Entry& e) { return e.summary.mac == mac; });
    if (entry == nullptr) {
        return Error::fixed("Camera not found");
    }
    return entry->summary;
}

Result<std::vector<CameraSummary>> InMemoryCameraStore::list_all() const {
    const std::lock_guard lock(mutex_);
    std::vector<CameraSummary> all;
    all.reserve(entries_.size());
    for (const Entry& entry : entries_) {
        all.push_back(entry.summary);
    }
    return all;
}

Result<std::vector<CameraSummary>> InMemoryCameraStore::list_by_status(CameraStatus status) const {
    const std::lock_guard lock(mutex_);
    std::vector<CameraSummary> matching;
    for (const Entry& entry : entries_) {
        if (entry.summary.status == status) {
            matching.push_back(entry.summary);
        }
    }
    return matching;
}

}  // namespace voxapp
