#include "cameras/camera_driver_error.hpp"

namespace voxapp {

const char* to_string(CameraDriverError error) {
    switch (error) {
        case CameraDriverError::Unauthorized:
            return "Unauthorized";
        case CameraDriverError::TransportError:
            return "TransportError";
        case CameraDriverError::DownloaderBusy:
            return "DownloaderBusy";
        case CameraDriverError::DownloadFailed:
            return "DownloadFailed";
        case CameraDriverError::Failed:
            return "Failed";
    }
    return "Failed";
}

}  // namespace voxapp
