#pragma once

#include <memory>
#include <vector>

#include "core/result.hpp"
#include "core/settings.hpp"

namespace voxapp {

// The credential pairs worth trying on a camera, in the order to try them.
class CameraCredentialsProvider {
public:
    virtual ~CameraCredentialsProvider() = default;
    virtual const std::vector<CameraCredential>& candidates() const = 0;
};

// The candidates of the settings, in their order, each distinct pair once.
class InMemoryCameraCredentialsProvider final : public CameraCredentialsProvider {
public:
    static Result<std::unique_ptr<InMemoryCameraCredentialsProvider>> create(
        const std::vector<CameraCredential>& configured);

    const std::vector<CameraCredential>& candidates() const override { return candidates_; }

private:
    explicit InMemoryCameraCredentialsProvider(std::vector<CameraCredential> candidates)
        : candidates_(std::move(candidates)) {}

    const std::vector<CameraCredential> candidates_;
};

}  // namespace voxapp
