#include "platform/uci_access.hpp"

#include <charconv>

#include "core/system_paths.hpp"
#if VOXAPP_HAVE_LIBUCI
#include "platform/libuci_context.hpp"
#else
#include "platform/uci_store.hpp"
#endif

namespace voxapp {
namespace {

Error not_initialized() {
    return Error::fixed("UCI context is not initialized");
}

Error failure(std::string_view text, std::string_view subject, const Error& cause) {
    std::string message = std::string(text) + std::string(subject);
    if (!cause.message().empty()) {
        message += " (" + cause.message_text() + ")";
    }
    return Error::owned(std::move(message), cause.code());
}

Error failure(std::string_view text, std::string_view subject) {
    return Error::owned(std::string(text) + std::string(subject));
}

}  // namespace

std::unique_ptr<UciContext> open_uci_context() {
#if VOXAPP_HAVE_LIBUCI
    return LibUciContext::open();
#else
    return std::make_unique<UciStore>(system_path("/etc/config"));
#endif
}

Result<std::string> uci_get_string(UciContext* context, std::string_view path) {
    if (context == nullptr) {
        return not_initialized();
    }
    auto pointer = context->lookup(path);
    if (!pointer) {
        return failure("Failed to lookup UCI pointer for path: ", path, pointer.error());
    }
    if (!pointer->option_found) {
        return failure("UCI option not found for path: ", path);
    }
    if (pointer->is_list) {
        return failure("UCI option is not a string type for path: ", path);
    }
    return std::move(pointer->value);
}

Result<std::int32_t> uci_get_int(UciContext* context, std::string_view path) {
    auto text = uci_get_string(context, path);
    if (!text) {
        return text.error();
    }
    std::string_view digits = *text;
    if (digits.starts_with('+')) {
        digits.remove_prefix(1);
    }
    std::int32_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) {
        return failure("Failed to parse integer from string: ", *text);
    }
    return value;
}

Status uci_set(UciContext* context, std::string_view path, std::string_view value) {
    if (context == nullptr) {
        return not_initialized();
    }
    auto pointer = context->lookup(path);
    if (!pointer) {
        return failure("Failed to lookup UCI pointer for path: ", path, pointer.error());
    }
    if (Status set = context->set(*pointer, value); !set) {
        return failure("Failed to set UCI value for path: ", path, set.error());
    }
    return {};
}

Status uci_commit(UciContext* context, std::string_view package) {
    if (context == nullptr) {
        return not_initialized();
    }
    if (Status found = context->load(package); !found) {
        return failure("Failed to lookup UCI package: ", package, found.error());
    }
    if (Status committed = context->commit(package); !committed) {
        return failure("Failed to commit UCI package: ", package, committed.error());
    }
    return {};
}

Status uci_revert(UciContext* context, std::string_view package) {
    if (context == nullptr) {
        return not_initialized();
    }
    if (Status found = context->load(package); !found) {
        return failure("Failed to lookup UCI package: ", package, found.error());
    }
    if (Status reverted = context->revert(package); !reverted) {
        return failure("Failed to revert UCI package: ", package, reverted.error());
    }
    return {};
}

Status uci_transaction(UciContext* context, std::string_view package, const UciEdit& edit) {
    if (context == nullptr) {
        return not_initialized();
    }
    if (Status edited = edit(context); !edited) {
        [[maybe_unused]] Status reverted = uci_revert(context, package);
        return edited;
    }
    return uci_commit(context, package);
}

Result<std::string> uci_get_string(std::string_view path) {
    return uci_get_string(open_uci_context().get(), path);
}

Result<std::int32_t> uci_get_int(std::string_view path) {
    return uci_get_int(open_uci_context().get(), path);
}

Status uci_transaction(std::string_view package, const UciEdit& edit) {
    return uci_transaction(open_uci_context().get(), package, edit);
}

}  // namespace voxapp
