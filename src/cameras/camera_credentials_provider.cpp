#include "cameras/camera_credentials_provider.hpp"

#include <algorithm>

namespace voxapp {

Result<std::unique_ptr<InMemoryCameraCredentialsProvider>> InMemoryCameraCredentialsProvider::create(
    const std::vector<CameraCredential>& configured) {
    std::vector<CameraCredential> distinct;
    for (const CameraCredential& candidate : configured) {
        if (std::find(distinct.begin(), distinct.end(), candidate) == distinct.end()) {
            distinct.push_back(candidate);
        }
    }
    return std::unique_ptr<InMemoryCameraCredentialsProvider>(
        new InMemoryCameraCredentialsProvider(std::move(distinct)));
}

}  // namespace voxapp
