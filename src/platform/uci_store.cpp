#include "platform/uci_store.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>

namespace voxapp {
namespace {

class UniqueFd {
public:
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&&) = delete;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Closes now and reports the close's own failure (a deferred write error, for example).
    int close() { return ::close(std::exchange(fd_, -1)); }

private:
    int fd_;
};

Error system_error(const std::string& what, int code) {
    return Error::owned(what + ": " + std::strerror(code), code);
}

// A section part of a path: a name, or "@type[index]".
struct SectionRef {
    std::string name;
    std::string type;
    long long index = 0;
    bool by_type = false;
};

std::optional<SectionRef> parse_section_ref(std::string_view text) {
    SectionRef ref;
    if (!text.starts_with('@')) {
        if (!is_valid_uci_name(text)) {
            return std::nullopt;
        }
        ref.name = std::string(text);
        return ref;
    }
    const std::size_t open = text.find('[');
    if (open == std::string_view::npos || !text.ends_with(']')) {
        return std::nullopt;
    }
    const std::string_view type = text.substr(1, open - 1);
    const std::string_view index = text.substr(open + 1, text.size() - open - 2);
    if (!is_valid_uci_name(type) || index.empty()) {
        return std::nullopt;
    }
    const auto [end, error] = std::from_chars(index.data(), index.data() + index.size(), ref.index);
    if (error != std::errc() || end != index.data() + index.size()) {
        return std::nullopt;
    }
    ref.type = std::string(type);
    ref.by_type = true;
    return ref;
}

struct ParsedPath {
    std::string_view package;
    std::string_view section;
    std::string_view option;
};

std::optional<ParsedPath> split_path(std::string_view path) {
    ParsedPath parts;
    std::string_view* fields[] = {&parts.package, &parts.section, &parts.option};
    std::size_t count = 0;
    std::size_t start = 0;
    while (true) {
        if (count == 3) {
            return std::nullopt;
        }
        const std::size_t dot = path.find('.', start);
        *fields[count++] = path.substr(start, dot == std::string_view::npos ? dot : dot - start);
        if (dot == std::string_view::npos) {
            break;
        }
        start = dot + 1;
    }
    if (!is_valid_uci_name(parts.package) || (count >= 2 && parts.section.empty()) ||
        (count == 3 && !is_valid_uci_name(parts.option))) {
        return std::nullopt;
    }
    return parts;
}

// The section that `ref` names, nullptr for a missing named section; nullopt when an
// "@type[index]" is out of range.
std::optional<UciSection*> resolve(UciPackage& package, const SectionRef& ref) {
    if (!ref.by_type) {
        return package.find_section(ref.name);
    }
    std::vector<UciSection*> of_type;
    for (UciSection& section : package.sections) {
        if (section.type == ref.type) {
            of_type.push_back(&section);
        }
    }
    const auto count = static_cast<long long>(of_type.size());
    const long long index = ref.index < 0 ? count + ref.index : ref.index;
    if (index < 0 || index >= count) {
        return std::nullopt;
    }
    return of_type[static_cast<std::size_t>(index)];
}

// How this section will be found again at commit, after the file has been read afresh.
std::string locator_of(const UciPackage& package, const UciSection& section) {
    if (!section.name.empty()) {
        return section.name;
    }
    std::size_t index = 0;
    for (const UciSection& other : package.sections) {
        if (&other == &section) {
            break;
        }
        if (other.type == section.type) {
            ++index;
        }
    }
    return "@" + section.type + "[" + std::to_string(index) + "]";
}

Result<std::string> read_all(int fd, const std::string& path) {
    std::string text;
    char buffer[4096];
    while (true) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return system_error("read " + path, errno);
        }
        if (got == 0) {
            return text;
        }
        text.append(buffer, static_cast<std::size_t>(got));
        if (text.size() > UciStore::kMaxFileSize) {
            return Error::owned(path + ": file too large");
        }
    }
}

Result<UciPackage> read_package(int fd, const std::string& path) {
    auto text = read_all(fd, path);
    if (!text) {
        return text.error();
    }
    auto package = parse_uci_package(*text);
    if (!package) {
        return Error::owned(path + ": " + package.error().message_text());
    }
    return package;
}

Status write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Error::from_errno(errno);
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return {};
}

// Opens the package file and holds an exclusive lock on the inode that the name still refers
// to: a committer that waited for the lock while another renamed a new file into place must not
// go on with the replaced one.
Result<UniqueFd> lock_package_file(const std::string& path) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (!fd.valid()) {
            return system_error("open " + path, errno);
        }
        if (::flock(fd.get(), LOCK_EX) != 0) {
            return system_error("lock " + path, errno);
        }
        struct stat held {};
        struct stat named {};
        if (::fstat(fd.get(), &held) != 0) {
            return system_error("stat " + path, errno);
        }
        if (::stat(path.c_str(), &named) == 0 && named.st_dev == held.st_dev &&
            named.st_ino == held.st_ino) {
            return fd;
        }
    }
    return Error::owned(path + ": keeps being replaced");
}

// Writes `text` to a new file next to `path` and renames it over `path`.
Status replace_file(const std::string& directory, std::string_view package, const std::string& path,
                    std::string_view text, mode_t mode) {
    std::string temp = directory + "/." + std::string(package) + ".uci-XXXXXX";
    UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
    if (!fd.valid()) {
        return system_error("create temporary file in " + directory, errno);
    }
    Status written = write_all(fd.get(), text);
    if (written && ::fchmod(fd.get(), mode) != 0) {
        written = Error::from_errno(errno);
    }
    if (written && ::fsync(fd.get()) != 0) {
        written = Error::from_errno(errno);
    }
    if (written && fd.close() != 0) {
        written = Error::from_errno(errno);
    }
    if (!written) {
        ::unlink(temp.c_str());
        return system_error("write " + temp, written.error().code());
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        const int code = errno;
        ::unlink(temp.c_str());
        return system_error("rename " + temp + " to " + path, code);
    }
    // Make the rename itself durable; a failure here does not undo the commit.
    UniqueFd dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.valid()) {
        ::fsync(dir.get());
    }
    return {};
}

}  // namespace

std::string UciStore::file_of(std::string_view package) const {
    return directory_ + "/" + std::string(package);
}

Result<UciStore::Loaded*> UciStore::loaded(std::string_view package) {
    if (!is_valid_uci_name(package)) {
        return Error::fixed("");
    }
    if (auto found = packages_.find(package); found != packages_.end()) {
        return &found->second;
    }
    const std::string path = file_of(package);
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        if (errno == ENOENT) {
            return Error::fixed("", ENOENT);
        }
        return system_error("open " + path, errno);
    }
    auto parsed = read_package(fd.get(), path);
    if (!parsed) {
        return parsed.error();
    }
    auto [entry, inserted] =
        packages_.emplace(std::string(package), Loaded{*std::move(parsed), {}});
    return &entry->second;
}

Result<UciPointer> UciStore::lookup(std::string_view path) {
    const auto parts = split_path(path);
    if (!parts) {
        return Error::fixed("");
    }
    auto entry = loaded(parts->package);
    if (!entry) {
        return entry.error();
    }
    UciPointer pointer;
    pointer.package = std::string(parts->package);
    pointer.option = std::string(parts->option);
    if (parts->section.empty()) {
        return pointer;
    }
    const auto ref = parse_section_ref(parts->section);
    if (!ref) {
        return Error::fixed("");
    }
    UciPackage& package = (*entry)->package;
    const auto section = resolve(package, *ref);
    if (!section) {
        return Error::fixed("");
    }
    if (*section == nullptr) {
        pointer.section = ref->name;
        return pointer;
    }
    pointer.section = locator_of(package, **section);
    pointer.section_found = true;
    if (const UciOption* option = (*section)->find_option(parts->option)) {
        pointer.option_found = true;
        pointer.is_list = option->is_list;
        if (!option->is_list) {
            pointer.value = option->values.front();
        }
    }
    return pointer;
}

Status UciStore::set(const UciPointer& pointer, std::string_view value) {
    if (pointer.option.empty() || !is_valid_uci_name(pointer.option)) {
        return Error::fixed("");
    }
    if (!is_valid_uci_value(value)) {
        return Error::fixed("the value contains a control character");
    }
    auto entry = loaded(pointer.package);
    if (!entry) {
        return entry.error();
    }
    const auto ref = parse_section_ref(pointer.section);
    if (!ref) {
        return Error::fixed("");
    }
    const auto section = resolve((*entry)->package, *ref);
    if (!section || *section == nullptr) {
        return Error::fixed("");
    }
    (*section)->set_option(pointer.option, value);
    (*entry)->changes.push_back(Change{pointer.section, pointer.option, std::string(value)});
    return {};
}

Status UciStore::load(std::string_view package) {
    auto entry = loaded(package);
    if (!entry) {
        return entry.error();
    }
    return {};
}

Status UciStore::commit(std::string_view package) {
    auto entry = loaded(package);
    if (!entry) {
        return entry.error();
    }
    Loaded& current = **entry;
    if (current.changes.empty()) {
        return {};
    }
    const std::string path = file_of(package);
    auto lock = lock_package_file(path);
    if (!lock) {
        return lock.error();
    }
    auto fresh = read_package(lock->get(), path);
    if (!fresh) {
        return fresh.error();
    }
    for (const Change& change : current.changes) {
        const auto ref = parse_section_ref(change.section);
        const auto section = ref ? resolve(*fresh, *ref) : std::nullopt;
        if (!section || *section == nullptr) {
            return Error::owned(path + ": section " + change.section + " is gone");
        }
        (*section)->set_option(change.option, change.value);
    }
    struct stat held {};
    const mode_t mode = ::fstat(lock->get(), &held) == 0 ? (held.st_mode & 07777) : 0644;
    if (Status replaced = replace_file(directory_, package, path, format_uci_package(*fresh), mode);
        !replaced) {
        return replaced;
    }
    current.package = *std::move(fresh);
    current.changes.clear();
    return {};
}

Status UciStore::revert(std::string_view package) {
    if (auto found = packages_.find(package); found != packages_.end()) {
        packages_.erase(found);
    }
    return {};
}

}  // namespace voxapp
