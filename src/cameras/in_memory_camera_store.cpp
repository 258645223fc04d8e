#include "cameras/in_memory_camera_store.hpp"

namespace voxapp {

const InMemoryCameraStore::Entry* InMemoryCameraStore::find(const Uuid& id) const {
    const auto found = by_id_.find(id.octets());
    return found == by_id_.end() ? nullptr : &entries_[found->second];
}

const InMemoryCameraStore::Entry* InMemoryCameraStore::find(const MacAddress& mac) const {
    const auto found = by_mac_.find(mac.octets());
    return found == by_mac_.end() ? nullptr : &entries_[found->second];
}

Status InMemoryCameraStore::save(const Camera& camera) {
    const std::lock_guard lock(mutex_);
    const Entry* same_mac = find(camera.mac());
    if (same_mac != nullptr && !(same_mac->summary.id == camera.id())) {
        return Error::fixed("Camera with this MAC already exists");
    }
    Entry updated{camera.summary(), camera.stored_credentials()};
    const auto same_id = by_id_.find(camera.id().octets());
    if (same_id == by_id_.end()) {
        if (entries_.size() >= capacity_) {
            return Error::fixed(kCameraStoreFull.data());
        }
        by_id_.emplace(camera.id().octets(), entries_.size());
        by_mac_.emplace(camera.mac().octets(), entries_.size());
        entries_.push_back(std::move(updated));
        return {};
    }
    Entry& entry = entries_[same_id->second];
    if (!(entry.summary.mac == camera.mac())) {
        by_mac_.erase(entry.summary.mac.octets());
        by_mac_.emplace(camera.mac().octets(), same_id->second);
    }
    entry = std::move(updated);
    return {};
}

Result<Camera> InMemoryCameraStore::find_by_id(const Uuid& id) const {
    const std::lock_guard lock(mutex_);
    const Entry* entry = find(id);
    if (entry == nullptr) {
        return Error::fixed("Camera not found");
    }
    return Camera::restore(entry->summary, entry->credential);
}

Result<Camera> InMemoryCameraStore::find_by_mac(const MacAddress& mac) const {
    const std::lock_guard lock(mutex_);
    const Entry* entry = find(mac);
    if (entry == nullptr) {
        return Error::fixed("Camera not found");
    }
    return Camera::restore(entry->summary, entry->credential);
}

Result<CameraSummary> InMemoryCameraStore::find_summary_by_id(const Uuid& id) const {
    const std::lock_guard lock(mutex_);
    const Entry* entry = find(id);
    if (entry == nullptr) {
        return Error::fixed("Camera not found");
    }
    return entry->summary;
}

Result<CameraSummary> InMemoryCameraStore::find_summary_by_mac(const MacAddress& mac) const {
    const std::lock_guard lock(mutex_);
    const Entry* entry = find(mac);
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
