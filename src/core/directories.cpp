#include "core/directories.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <string>

namespace voxapp {

namespace {

Status make_one(const std::string& path) {
    if (mkdir(path.c_str(), 0700) == 0) {
        return {};
    }
    const int code = errno;
    struct stat info {};
    if (code == EEXIST) {
        // Something by that name is already there; only a directory will do.
        if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
            return {};
        }
        return Error::from_errno(ENOTDIR);
    }
    return Error::from_errno(code);
}

}  // namespace

Status create_directories(std::string_view path) {
    std::string whole(path);
    if (whole.size() > 1 && whole.back() == '/') {
        whole.pop_back();
    }
    if (whole.empty()) {
        return Error::fixed("Empty directory path", ENOENT);
    }
    for (std::size_t slash = whole.find('/', 1); slash != std::string::npos;
         slash = whole.find('/', slash + 1)) {
        if (auto made = make_one(whole.substr(0, slash)); !made) {
            return made;
        }
    }
    return make_one(whole);
}

}  // namespace voxapp
