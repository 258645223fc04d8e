#include "recordings/recording_journal.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <limits>

#include "core/file_text.hpp"

namespace voxapp {

namespace {

constexpr std::string_view kHeader = "voxapp recording journal 1";
// A journal holds a few dozen entries; a bigger file is not one of ours.
constexpr std::size_t kMaxEntries = 10'000;
constexpr int kMaxAttempts = 1'000;

std::uint64_t fnv1a(std::string_view text) {
    std::uint64_t hash = 14695981039346656037ull;
    for (const unsigned char c : text) {
        hash = (hash ^ c) * 1099511628211ull;
    }
    return hash;
}

std::string escaped(const std::string& text) {
    if (text.empty()) {
        return "-";
    }
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char c : text) {
        if (c <= 0x20 || c >= 0x7f || c == '%' || (c == '-' && text.size() == 1)) {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

Result<std::string> unescaped(std::string_view field) {
    if (field == "-") {
        return std::string();
    }
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '%') {
            out += field[i];
            continue;
        }
        const int high = i + 2 < field.size() ? hex_value(field[i + 1]) : -1;
        const int low = high >= 0 ? hex_value(field[i + 2]) : -1;
        if (low < 0) {
            return Error::fixed("Journal: bad escape");
        }
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
}

template <typename T>
Result<T> number(std::string_view field) {
    T value{};
    const auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), value);
    if (ec != std::errc() || end != field.data() + field.size() || field.empty()) {
        return Error::fixed("Journal: bad number");
    }
    return value;
}

std::vector<std::string_view> fields_of(std::string_view line) {
    std::vector<std::string_view> fields;
    while (!line.empty()) {
        const std::size_t blank = line.find(' ');
        fields.push_back(line.substr(0, blank));
        line = blank == std::string_view::npos ? std::string_view() : line.substr(blank + 1);
    }
    return fields;
}

std::string request_fields(const RecordingRequest& r) {
    return std::to_string(r.id) + ' ' + r.camera_id.to_string() + ' ' +
           (r.camera_mac ? r.camera_mac->to_string() : "-") + ' ' + std::to_string(r.client_id) +
           ' ' + std::to_string(r.wanted.start()) + ' ' + std::to_string(r.wanted.end()) + ' ' +
           std::to_string(r.requested.start()) + ' ' + std::to_string(r.requested.end()) + ' ' +
           std::to_string(r.attempts) + ' ' + std::to_string(r.next_attempt) + ' ' +
           escaped(r.file_name) + ' ' + escaped(r.local_path) + ' ' + escaped(r.remote_name);
}

constexpr std::size_t kRequestFields = 13;

Result<int> attempts_of(std::string_view field) {
    auto value = number<int>(field);
    if (!value || *value < 0 || *value > kMaxAttempts) {
        return Error::fixed("Journal: bad attempt count");
    }
    return *value;
}

Result<TimeRange> range_of(std::string_view start, std::string_view end) {
    auto from = number<TimePoint>(start);
    auto to = number<TimePoint>(end);
    if (!from || !to) {
        return Error::fixed("Journal: bad time");
    }
    auto range = TimeRange::create(*from, *to);
    if (!range) {
        return Error::fixed("Journal: bad time range");
    }
    return *range;
}

// Fields 1 .. 13 of an entry line (field 0 is its kind).
Result<RecordingRequest> request_of(const std::vector<std::string_view>& f) {
    auto id = number<std::uint64_t>(f[1]);
    auto camera = Uuid::parse(f[2]);
    std::optional<MacAddress> mac;
    if (f[3] != "-") {
        auto parsed = MacAddress::parse(f[3]);
        if (!parsed) {
            return Error::fixed("Journal: bad camera address");
        }
        mac = *parsed;
    }
    auto client = number<std::uint32_t>(f[4]);
    auto wanted = range_of(f[5], f[6]);
    auto requested = range_of(f[7], f[8]);
    auto attempts = attempts_of(f[9]);
    auto next = number<TimePoint>(f[10]);
    auto file_name = unescaped(f[11]);
    auto local_path = unescaped(f[12]);
    auto remote_name = unescaped(f[13]);
    if (!id || !camera || !client || !next) {
        return Error::fixed("Journal: bad request field");
    }
    if (!wanted || !requested) {
        return !wanted ? wanted.error() : requested.error();
    }
    if (!attempts) {
        return attempts.error();
    }
    if (!file_name || !local_path || !remote_name) {
        return Error::fixed("Journal: bad escape");
    }
    if (file_name->empty()) {
        return Error::fixed("Journal: request without a file name");
    }
    return RecordingRequest{*camera, *client, *wanted, *requested,  *file_name,  *attempts,
                            *next,   *id,     mac,     *local_path, *remote_name};
}

}  // namespace

std::string format_recording_journal(const JournalContents& contents) {
    std::string text = std::string(kHeader) + "\nnext " + std::to_string(contents.next_id) + '\n';
    for (const RecordingRequest& request : contents.downloads) {
        text += "D " + request_fields(request) + '\n';
    }
    for (const UploadItem& item : contents.uploads) {
        text += "U " + request_fields(item.request) + ' ' + std::to_string(item.attempts) + ' ' +
                std::to_string(item.next_attempt) + '\n';
    }
    return sealed_recording_journal(std::move(text),
                                    contents.downloads.size() + contents.uploads.size());
}

std::string sealed_recording_journal(std::string body, std::size_t entries) {
    char hash[17];
    std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(fnv1a(body)));
    return body + "end " + std::to_string(entries) + ' ' + hash + '\n';
}

Result<JournalContents> parse_recording_journal(std::string_view text) {
    if (text.empty() || text.back() != '\n') {
        return Error::fixed("Journal: cut short");
    }
    const std::size_t last = text.rfind('\n', text.size() - 2);
    if (last == std::string_view::npos) {
        return Error::fixed("Journal: cut short");
    }
    const std::string_view body = text.substr(0, last + 1);
    const std::vector<std::string_view> end =
        fields_of(text.substr(last + 1, text.size() - last - 2));
    if (end.size() != 3 || end[0] != "end") {
        return Error::fixed("Journal: cut short");
    }
    char hash[17];
    std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(fnv1a(body)));
    if (end[2] != hash) {
        return Error::fixed("Journal: hash mismatch");
    }
    auto entries = number<std::size_t>(end[1]);
    if (!entries) {
        return entries.error();
    }

    JournalContents contents;
    std::string_view rest = body;
    std::size_t line_number = 0;
    while (!rest.empty()) {
        const std::size_t newline = rest.find('\n');
        const std::string_view line = rest.substr(0, newline);
        rest = rest.substr(newline + 1);
        const std::vector<std::string_view> f = fields_of(line);
        if (line_number++ == 0) {
            if (line != kHeader) {
                return Error::fixed("Journal: unknown header");
            }
            continue;
        }
        if (line_number == 2) {
            auto next = f.size() == 2 && f[0] == "next" ? number<std::uint64_t>(f[1])
                                                        : Result<std::uint64_t>(Error::fixed(""));
            if (!next) {
                return Error::fixed("Journal: bad next id");
            }
            contents.next_id = *next;
            continue;
        }
        if (contents.downloads.size() + contents.uploads.size() >= kMaxEntries) {
            return Error::fixed("Journal: too many entries");
        }
        if (f.size() == kRequestFields + 1 && f[0] == "D") {
            auto request = request_of(f);
            if (!request) {
                return request.error();
            }
            contents.downloads.push_back(std::move(*request));
        } else if (f.size() == kRequestFields + 3 && f[0] == "U") {
            auto request = request_of(f);
            auto attempts = attempts_of(f[kRequestFields + 1]);
            auto next = number<TimePoint>(f[kRequestFields + 2]);
            if (!request || !attempts || !next) {
                return !request ? request.error() : Error::fixed("Journal: bad upload field");
            }
            if (request->local_path.empty() || request->remote_name.empty()) {
                return Error::fixed("Journal: upload without its file names");
            }
            contents.uploads.push_back(UploadItem{std::move(*request), *attempts, *next});
        } else {
            return Error::fixed("Journal: unknown entry");
        }
    }
    if (line_number < 2) {
        return Error::fixed("Journal: cut short");
    }
    if (*entries != contents.downloads.size() + contents.uploads.size()) {
        return Error::fixed("Journal: entry count mismatch");
    }
    return contents;
}

Status RecordingJournal::write(const JournalContents& contents) const {
    const std::string text = format_recording_journal(contents);
    const std::string temporary = path_ + ".new";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        return Error::owned("Journal: open " + temporary + " failed", errno);
    }
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            const int error = errno;
            ::close(fd);
            ::unlink(temporary.c_str());
            return Error::owned("Journal: write failed", error);
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0) {
        const int error = errno;
        ::close(fd);
        ::unlink(temporary.c_str());
        return Error::owned("Journal: fsync failed", error);
    }
    ::close(fd);
    if (::rename(temporary.c_str(), path_.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        return Error::owned("Journal: rename failed", error);
    }
    // The rename itself lives in the directory: flush it too, or a power cut may undo it.
    const std::size_t slash = path_.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : path_.substr(0, slash + 1);
    const int dir_fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd >= 0) {
        (void)::fsync(dir_fd);
        ::close(dir_fd);
    }
    return {};
}

Result<JournalContents> RecordingJournal::load() const {
    struct stat info {};
    if (::stat(path_.c_str(), &info) != 0 && errno == ENOENT) {
        return JournalContents{};
    }
    const std::string text =
        read_file_text(path_, std::numeric_limits<std::size_t>::max()).value_or("");
    auto contents = parse_recording_journal(text);
    if (contents) {
        return contents;
    }
    const std::string aside = path_ + ".bad";
    if (::rename(path_.c_str(), aside.c_str()) != 0) {
        return Error::owned(contents.error().message_text() + "; could not set it aside", errno);
    }
    return Error::owned(contents.error().message_text() + "; set aside as " + aside);
}

}  // namespace voxapp
