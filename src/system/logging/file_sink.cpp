#include "system/logging/file_sink.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "core/directories.hpp"

namespace voxapp {

FileSink::FileSink(std::string log_path, std::string usb_relative_log_path, LoggingDepth depth,
                   LogLevel min_level, std::FILE* errors, LogRotation rotation)
    : Sink(depth, min_level),
      log_path_(std::move(log_path)),
      usb_relative_log_path_(std::move(usb_relative_log_path)),
      errors_(errors),
      rotation_(rotation) {
    std::string note;
    {
        std::lock_guard lock(mutex_);
        note = switch_to_internal();
    }
    if (!note.empty()) {
        info(note);
    }
}

FileSink::~FileSink() {
    if (file_ != nullptr) {
        std::fclose(file_);
    }
}

void FileSink::on_storage_mounted(const MountedStorage& storage) {
    if (storage.kind != StorageKind::USB) {
        return;
    }
    std::string note;
    {
        std::lock_guard lock(mutex_);
        if (!external_mount_point_.empty()) {
            return;
        }
        note = switch_to_external(storage.mount_point);
    }
    if (!note.empty()) {
        info(note);
    }
}

void FileSink::on_storage_unmounted(const MountedStorage& storage,
                                    const UsbMountPoints& usb_mount_points) {
    if (storage.kind != StorageKind::USB || storage.mount_point != external_mount_point()) {
        return;
    }
    auto remaining = usb_mount_points ? usb_mount_points() : Result<std::vector<std::string>>({});
    std::string note;
    {
        std::lock_guard lock(mutex_);
        if (remaining && !remaining->empty()) {
            note = switch_to_external(remaining->front());
        } else {
            note = switch_to_internal();
        }
    }
    if (!note.empty()) {
        info(note);
    }
}

std::string FileSink::external_mount_point() const {
    std::lock_guard lock(mutex_);
    return external_mount_point_;
}

void FileSink::flush() {
    std::lock_guard lock(mutex_);
    if (file_ != nullptr) {
        std::fflush(file_);
    }
}

void FileSink::write_line(std::string_view line) {
    std::lock_guard lock(mutex_);
    // A file that did not open was reported when it failed; the console still has every line.
    if (file_ == nullptr) {
        return;
    }
    if (rotation_.max_bytes > 0 && size_ > 0 && size_ + line.size() > rotation_.max_bytes) {
        rotate();
        if (file_ == nullptr) {
            return;
        }
    }
    // Out at once: an operator's tail -f sees the line, and it survives the process dying.
    std::fwrite(line.data(), 1, line.size(), file_);
    std::fflush(file_);
    size_ += line.size();
}

void FileSink::rotate() {
    std::fclose(file_);
    file_ = nullptr;
    const std::string path = path_;
    if (rotation_.max_files == 0) {
        std::remove(path.c_str());
    } else {
        for (unsigned n = rotation_.max_files; n > 1; --n) {
            std::rename((path + "." + std::to_string(n - 1)).c_str(),
                        (path + "." + std::to_string(n)).c_str());
        }
        std::rename(path.c_str(), (path + ".1").c_str());
    }
    reopen(path);
    if (file_ == nullptr && rotation_.max_files > 0) {
        // No new file (descriptors or the directory gone bad): the old one takes the line, as
        // if it had not been full, rather than losing it.
        std::rename((path + ".1").c_str(), path.c_str());
        reopen(path);
    }
}

void FileSink::reopen(const std::string& path) {
    if (file_ != nullptr) {
        std::fclose(file_);
    }
    file_ = std::fopen(path.c_str(), "ae");
    path_ = path;
    size_ = 0;
    struct stat info {};
    if (file_ != nullptr && fstat(fileno(file_), &info) == 0) {
        size_ = static_cast<std::uint64_t>(info.st_size);
    }
    if (file_ == nullptr) {
        const int error = errno;
        std::fprintf(errors_, "Cannot open log file %s: %s\n", path.c_str(), std::strerror(error));
        std::fflush(errors_);
    }
}

std::string FileSink::switch_to_internal() {
    if (external_mount_point_.empty() && file_ != nullptr) {
        return {};
    }
    reopen(log_path_);
    external_mount_point_.clear();
    return "Switched logging to internal storage at: " + log_path_;
}

std::string FileSink::switch_to_external(const std::string& mount_point) {
    if (mount_point == external_mount_point_ && file_ != nullptr) {
        return {};
    }
    // No path below the mount point: the log stays inside (opening the mount point's directory
    // itself would only fail).
    if (usb_relative_log_path_.empty()) {
        return switch_to_internal();
    }
    const std::string path = mount_point + "/" + usb_relative_log_path_;
    const std::size_t slash = path.rfind('/');
    if (slash != std::string::npos) {
        const std::string directory = path.substr(0, slash);
        if (!create_directories(directory)) {
            std::fprintf(errors_, "Failed to create directory %s\n", directory.c_str());
            return switch_to_internal();
        }
    }
    reopen(path);
    if (file_ == nullptr) {
        return switch_to_internal();
    }
    external_mount_point_ = mount_point;
    return "Switched logging to external storage at: " + mount_point;
}

}  // namespace voxapp
