#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/uci_context.hpp"
#include "platform/uci_format.hpp"

namespace voxapp {

// A UCI context on a directory of configuration files in UCI's format, one file per package
// (normally "/etc/config"). A package is read when first used and then kept; set changes only
// this copy. Commit takes an exclusive flock on the package file, reads it afresh, replays this
// context's changes on it, writes the result to a temporary file in the same directory and
// renames that over the package, so readers and directory watchers only ever see a whole file
// (the watcher gets IN_MOVED_TO for the package name). Changes to other options made meanwhile
// by someone else are kept. A commit without changes writes nothing.
class UciStore final : public UciContext {
public:
    explicit UciStore(std::string directory) : directory_(std::move(directory)) {}

    Result<UciPointer> lookup(std::string_view path) override;
    Status set(const UciPointer& pointer, std::string_view value) override;
    Status load(std::string_view package) override;
    Status commit(std::string_view package) override;
    Status revert(std::string_view package) override;

    // Largest package file read; a bigger one is reported as malformed rather than loaded.
    static constexpr std::size_t kMaxFileSize = 1024 * 1024;

private:
    struct Change {
        std::string section;  // as in UciPointer::section
        std::string option;
        std::string value;
    };
    struct Loaded {
        UciPackage package;
        std::vector<Change> changes;
    };

    Result<Loaded*> loaded(std::string_view package);
    std::string file_of(std::string_view package) const;

    std::string directory_;
    std::map<std::string, Loaded, std::less<>> packages_;
};

}  // namespace voxapp
