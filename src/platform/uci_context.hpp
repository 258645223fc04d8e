#pragma once

#include <string>
#include <string_view>

#include "core/result.hpp"

namespace voxapp {

// Where a UCI path "package[.section[.option]]" leads. The section part is a section name or
// "@type[index]" (the index-th section of that type, a negative index counting from the end).
struct UciPointer {
    std::string package;
    // The section as the context can find it again: its name, or "@type[index]" with a
    // non-negative index for an unnamed one. Empty when the path names no section.
    std::string section;
    // Empty when the path names no option.
    std::string option;
    bool section_found = false;
    bool option_found = false;
    bool is_list = false;
    // The value of a string option that was found.
    std::string value;
};

// One UCI session, the narrow part of a UCI library that the access layer (uci_access.hpp)
// needs: LibUciContext puts libuci behind it, UciStore stands in for a build without libuci.
// Changes made with `set` stay in this context until `commit` writes them or `revert` drops
// them; other contexts do not see them.
// A context is used by one thread at a time.
//
// Errors carry a detail for what is unusual (a malformed file, an I/O failure with its errno)
// and an empty message for plain absence; the access layer adds its own fixed texts.
class UciContext {
public:
    virtual ~UciContext() = default;

    // Resolves a path. Error: malformed path, package missing or unreadable, no section at an
    // "@type[index]". A named section or an option that does not exist is not an error: the
    // pointer says so.
    virtual Result<UciPointer> lookup(std::string_view path) = 0;
    // Makes the option that `pointer` names (from this context's lookup) a string option with
    // `value`. Error: no option in the path, section missing, value not storable.
    virtual Status set(const UciPointer& pointer, std::string_view value) = 0;
    // Makes sure the package can be read.
    virtual Status load(std::string_view package) = 0;
    // Writes this context's changes of the package to the configuration, all at once.
    virtual Status commit(std::string_view package) = 0;
    // Drops this context's changes of the package.
    virtual Status revert(std::string_view package) = 0;
};

}  // namespace voxapp
