#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "cameras/camera_repository.hpp"
#include "cameras/uuid_generator.hpp"

namespace voxapp {

// Every camera the router knows, in memory, in the order they were first saved; a camera is
// never removed. Any thread: one mutex is held for the whole of each store operation, so a
// reader always sees whole entries (new_id does not take it).
class InMemoryCameraStore final : public CameraRepository, public CameraQuery {
public:
    explicit InMemoryCameraStore(std::shared_ptr<UuidGenerator> ids) : ids_(std::move(ids)) {}

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

    template <typename Match>
    const Entry* find(Match match) const;

    const std::shared_ptr<UuidGenerator> ids_;
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
};

}  // namespace voxapp
