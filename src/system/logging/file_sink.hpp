#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/mounted_storage.hpp"
#include "core/result.hpp"
#include "system/logging/sink.hpp"

namespace voxapp {

// Size and count of the log files.
struct LogRotation {
    // A file that would grow past this is renamed to "<file>.1" first (0: never): the log lives
    // in RAM on the router's internal storage.
    std::uint64_t max_bytes = 1024 * 1024;
    // Older files kept: "<file>.1" (newest) to "<file>.<max_files>"; 0 starts the file afresh.
    unsigned max_files = 1;
};

// Writes log lines to a file opened for appending, on internal storage at `log_path` or, while
// a USB storage is mounted, at "<mount point>/<usb_relative_log_path>". Each line reaches the
// file as it is written, whole: a line that would take the file past the rotation size goes to
// a new file after the older ones have been renamed (a rename each, no copy). Exactly one file
// is open at a time. Thread-safe.
class FileSink : public Sink {
public:
    // Mount points of the mounted USB storages, in the storage lister's order.
    using UsbMountPoints = std::function<Result<std::vector<std::string>>()>;

    // Opens `log_path` at once. A file that cannot be opened (here or on a later switch) is
    // reported once on `errors`, with its path and the system's error text; lines written while
    // no file is open go to the console sink only.
    FileSink(std::string log_path, std::string usb_relative_log_path, LoggingDepth depth,
             LogLevel min_level, std::FILE* errors = stderr, LogRotation rotation = {});
    ~FileSink() override;

    FileSink(const FileSink&) = delete;
    FileSink& operator=(const FileSink&) = delete;

    // A storage was mounted: the first USB storage takes the log; later ones change nothing.
    void on_storage_mounted(const MountedStorage& storage);
    // A storage was unmounted: when it held the log, the log moves to the first USB storage
    // still mounted, or back to internal storage. `usb_mount_points` is asked only then, and
    // without the sink's lock held, so it may log.
    void on_storage_unmounted(const MountedStorage& storage,
                              const UsbMountPoints& usb_mount_points);

    // Empty while logging to internal storage.
    std::string external_mount_point() const;
    void flush();

protected:
    void write_line(std::string_view line) override;

private:
    // Both return the line to log about the switch (empty when nothing changed). Lock held.
    std::string switch_to_internal();
    std::string switch_to_external(const std::string& mount_point);
    void reopen(const std::string& path);
    // Renames the open file out of the way and opens a new one in its place. Lock held.
    void rotate();

    const std::string log_path_;
    const std::string usb_relative_log_path_;
    std::FILE* const errors_;
    mutable std::mutex mutex_;
    std::FILE* file_ = nullptr;
    const LogRotation rotation_;
    std::string path_;        // of the open file
    std::uint64_t size_ = 0;  // of the open file
    std::string external_mount_point_;
};

}  // namespace voxapp
