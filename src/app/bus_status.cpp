#include "app/bus_status.hpp"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include "core/version_info.hpp"
#include "server/device_link.hpp"

namespace voxapp {

namespace {

constexpr std::int64_t kNanosPerSecond = 1'000'000'000;

std::string time_text(TimePoint time) {
    return time == 0 ? std::string() : format_time_point(time, "%Y-%m-%d %H:%M:%S");
}

std::int64_t file_size(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? static_cast<std::int64_t>(info.st_size) : 0;
}

void write_daemon(BusMessageWriter& out, const BusStatusSources& sources,
                  std::int64_t monotonic_now_ns) {
    out.open_table("daemon");
    if (sources.settings != nullptr) {
        out.add_string("version", version_text(sources.settings->version));
    }
    out.add_string("started", time_text(sources.started_at));
    out.add_int("uptime", (monotonic_now_ns - sources.started_monotonic_ns) / kNanosPerSecond);
    out.add_string("device_name", sources.device_name ? sources.device_name() : std::string());
    out.close_table();
}

void write_devices(BusMessageWriter& out, const BusStatusSources& sources) {
    if (!sources.devices) {
        return;
    }
    out.open_array("links");
    sources.devices->visit_devices([&](const DeviceManager::DeviceView& device) {
        out.open_table("");
        out.add_int("serial", device.serial);
        out.add_int("class", device.device_class);
        if (sources.settings != nullptr) {
            const ServerEndpoint endpoint =
                DeviceLink::endpoint_for(device.device_class, *sources.settings);
            out.add_string("server", endpoint.host + ":" + std::to_string(endpoint.port));
        }
        const std::optional<LinkStatus> link =
            device.link != nullptr ? device.link->link_status() : std::nullopt;
        out.add_bool("connected", link && link->connected);
        out.add_string("since", link ? time_text(link->connected_since) : std::string());
        out.add_int("replies_queued", link ? static_cast<std::int64_t>(link->replies_queued) : 0);
        out.add_string("last_error", link ? link->last_error : std::string());
        out.close_table();
    });
    out.close_array();

    out.open_array("instruments");
    sources.devices->visit_devices([&](const DeviceManager::DeviceView& device) {
        if (device.instrument == nullptr) {
            return;
        }
        out.open_table("");
        out.add_string("tty", device.tty_path);
        out.add_int("serial", device.serial);
        out.add_int("unit_type", device.unit_type);
        out.add_int("commands_queued", static_cast<std::int64_t>(device.instrument->queued()));
        out.add_int("failures_in_a_row", device.instrument->failures_in_a_row());
        out.add_string("last_reset", time_text(device.instrument->last_reset()));
        out.close_table();
    });
    out.close_array();
}

void write_cameras(BusMessageWriter& out, const BusStatusSources& sources) {
    if (!sources.cameras) {
        return;
    }
    out.open_array("cameras");
    if (auto cameras = sources.cameras->list_all()) {
        for (const CameraSummary& camera : *cameras) {
            out.open_table("");
            out.add_string("id", camera.id.to_string());
            out.add_string("address", camera.ip.to_string());
            out.add_string("mac", camera.mac.to_string());
            out.add_string("status", camera_status_name(camera.status));
            out.close_table();
        }
    }
    out.close_array();
}

void write_recordings(BusMessageWriter& out, const BusStatusSources& sources) {
    if (!sources.recordings) {
        return;
    }
    const TransferRecordingService::TransferStatus status = sources.recordings->transfer_status();
    out.open_table("recordings");
    out.add_int("queued", static_cast<std::int64_t>(status.downloads_queued));
    out.add_int("uploads_queued", static_cast<std::int64_t>(status.uploads_queued));
    if (status.download) {
        out.open_table("download");
        out.add_string("camera", status.download->camera.to_string());
        out.add_string("start", time_text(status.download->range.start()));
        out.add_string("end", time_text(status.download->range.end()));
        out.add_int("attempt", status.download->attempt);
        out.add_int("bytes", file_size(status.download->local_path));
        out.close_table();
    }
    if (status.upload) {
        out.open_table("upload");
        out.add_string("file", status.upload->remote_name);
        out.add_string("start", time_text(status.upload->recording_start));
        out.add_int("attempt", status.upload->attempt);
        out.add_int("size", file_size(status.upload->local_path));
        out.close_table();
    }
    out.add_string("last_result", status.last_result);
    out.close_table();

    const std::string directory = sources.recordings->storage_directory();
    out.open_table("storage");
    out.add_string("directory", directory);
    struct statvfs space {};
    if (statvfs(directory.c_str(), &space) == 0) {
        out.add_int("free_bytes", static_cast<std::int64_t>(space.f_bavail) *
                                      static_cast<std::int64_t>(space.f_frsize));
    }
    out.close_table();
}

void write_gps(BusMessageWriter& out, const BusStatusSources& sources, TimePoint now) {
    if (!sources.gps) {
        return;
    }
    out.open_table("gps");
    const Result<GpsFix> fix = sources.gps->get_fix();
    out.add_bool("fix", fix.ok());
    if (fix.ok()) {
        out.add_int("age", (now - fix->fix_time) / kNanosPerSecond);
    } else {
        out.add_string("error", std::string(fix.error().message()));
    }
    out.close_table();
}

}  // namespace

const char* camera_status_name(CameraStatus status) {
    switch (status) {
        case CameraStatus::Discovered:
            return "discovered";
        case CameraStatus::Online:
            return "online";
        case CameraStatus::Offline:
            return "offline";
        case CameraStatus::InvalidCredentials:
            return "invalid_credentials";
    }
    return "unknown";
}

void write_bus_status(BusMessageWriter& out, const BusStatusSources& sources, TimePoint now,
                      std::int64_t monotonic_now_ns) {
    write_daemon(out, sources, monotonic_now_ns);
    write_devices(out, sources);
    write_cameras(out, sources);
    write_recordings(out, sources);
    write_gps(out, sources, now);
}

}  // namespace voxapp
