#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/result.hpp"
#include "recordings/download_queue.hpp"

namespace voxapp {

// A recording downloaded and waiting for its upload.
struct UploadItem {
    RecordingRequest request;  // local path and remote name set
    int attempts = 0;
    TimePoint next_attempt = 0;
};

// What the recording transfer keeps across a restart: the requests it accepted and has not
// downloaded yet, the recordings waiting for their upload, and the next request id.
struct JournalContents {
    std::uint64_t next_id = 1;
    std::vector<RecordingRequest> downloads;
    std::vector<UploadItem> uploads;
};

// The journal's text: a header line, "next ID", one line per entry ("D ..." a download, "U ..."
// an upload) with blank-separated fields whose texts are percent-escaped, and a closing line
// with the entry count and an FNV-1a hash of everything before it, so a torn or altered file is
// told from a whole one.
std::string format_recording_journal(const JournalContents& contents);

// `body` (the lines before the closing one) with the closing line for `entries` entries.
std::string sealed_recording_journal(std::string body, std::size_t entries);

// Error: why the text is not a whole journal ("Journal: ..."), for a file cut short, a bad hash,
// or any field out of form.
Result<JournalContents> parse_recording_journal(std::string_view text);

// The journal file. Threads: any, one caller at a time.
class RecordingJournal {
public:
    explicit RecordingJournal(std::string path) : path_(std::move(path)) {}

    // Writes `contents` to a temporary file beside the journal, flushes it to the disk and
    // renames it over the journal, so a power cut leaves the old or the new journal whole.
    // Error: the failed step's errno, with the step named.
    Status write(const JournalContents& contents) const;

    // The journal's contents; a missing file is an empty journal. A file that cannot be read
    // whole is renamed to path() + ".bad" (replacing an older one) and the error says why.
    Result<JournalContents> load() const;

    const std::string& path() const { return path_; }

private:
    std::string path_;
};

}  // namespace voxapp
