#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "cameras/camera_repository.hpp"
#include "cameras/uuid_generator.hpp"

namespace voxapp {

// Every camera the router knows, in memory, in the order they were first saved; a camera is
// never removed. Any LAN host can answer discovery with a MAC of its choice, so the store holds
// at most `capacity` cameras; lookups by id and MAC take logarithmic time. Any thread: one
// mutex is held for the whole of each store operation, so a reader always sees whole entries
// (new_id does not take it).
class InMemoryCameraStore final : public CameraRepository, public CameraQuery {
public:
    static constexpr std::size_t kCapacity = 64;

    explicit InMemoryCameraStore(std::shared_ptr<UuidGenerator> ids,
                                 std::size_t capacity = kCapacity)
        : ids_(std::move(ids)), capacity_(capacity) {}

    Status save(const Camera& camera) override;
    Result<Uuid> new_id() override { return ids_->generate(); }
    Result<Camera> find_by_id(const Uuid& id) const override;
    Result<Camera> find_by_mac(const MacAddress& mac) const override;

    Result<CameraSummary> find_summary_by_id(const Uuid& id) const override;
    Result<CameraSummary> find_summary_by_mac(const MacAddress& mac) const override;
    Result<std::vector<CameraSummary>> list_all() const override;
    Result<std::vector<CameraSummary>> list_by_status(CameraStatus status) const override;

private:
    struct Entry {
        CameraSummary summary;
        std::optional<CameraCredential> credential;
    };

    const Entry* find(const Uuid& id) const;
    const Entry* find(const MacAddress& mac) const;

    const std::shared_ptr<UuidGenerator> ids_;
    const std::size_t capacity_;
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
    // Positions in entries_, which only ever grows.
    std::map<Uuid::Octets, std::size_t> by_id_;
    std::map<MacAddress::Octets, std::size_t> by_mac_;
};

}  // namespace voxapp
