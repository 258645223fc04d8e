#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "core/result.hpp"
#include "platform/uci_context.hpp"

namespace voxapp {

// The daemon's access to the router's UCI configuration, with fixed error texts. Every call
// takes the context to work on; a null context fails with "UCI context is not initialized".
// When the context reports a detail (a malformed file, an I/O error), it follows the fixed text
// in parentheses, and the error's code is the context's (errno for system calls).

// A new context on the system's configuration directory ("/etc/config"): libuci's when the
// build has it, else the daemon's own UCI store. Null when no context can be made.
std::unique_ptr<UciContext> open_uci_context();

// The value of a string option. Errors: "Failed to lookup UCI pointer for path: " path,
// "UCI option not found for path: " path, "UCI option is not a string type for path: " path.
Result<std::string> uci_get_string(UciContext* context, std::string_view path);

// A string option read as a base-10 signed 32-bit number, the whole text. Errors: those of
// uci_get_string, "Failed to parse integer from string: " text (also when out of range).
Result<std::int32_t> uci_get_int(UciContext* context, std::string_view path);

// Sets an option in the context only; nothing is written before uci_commit. Errors:
// "Failed to lookup UCI pointer for path: " path, "Failed to set UCI value for path: " path
// (no such section, no option in the path, a control character in the value).
Status uci_set(UciContext* context, std::string_view path, std::string_view value);

// Errors: "Failed to lookup UCI package: " package, "Failed to commit UCI package: " package.
Status uci_commit(UciContext* context, std::string_view package);

// Drops the context's uncommitted changes of the package. Errors: "Failed to lookup UCI
// package: " package, "Failed to revert UCI package: " package.
Status uci_revert(UciContext* context, std::string_view package);

// Edits made by a transaction, on the context it passes in.
using UciEdit = std::function<Status(UciContext* context)>;

// Runs `edit`; if it fails, reverts the package (that result is dropped) and returns the edit's
// error, otherwise commits the package and returns the commit's result.
Status uci_transaction(UciContext* context, std::string_view package, const UciEdit& edit);

// The same on a context of their own, opened with open_uci_context and closed afterwards.
Result<std::string> uci_get_string(std::string_view path);
Result<std::int32_t> uci_get_int(std::string_view path);
Status uci_transaction(std::string_view package, const UciEdit& edit);

}  // namespace voxapp
