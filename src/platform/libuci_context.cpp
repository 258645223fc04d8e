#if VOXAPP_HAVE_LIBUCI

#include "platform/libuci_context.hpp"

#include <uci.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "core/system_paths.hpp"
#include "platform/uci_format.hpp"

namespace voxapp {
namespace {

// libuci's lookup splits the path in place and leaves pointers into it in the result, so the
// text lives in a writable buffer as long as the result is used. At least 255 bytes, zero-filled.
class LookupBuffer {
public:
    explicit LookupBuffer(std::string_view path)
        : bytes_(std::max<std::size_t>(255, path.size() + 1), '\0') {
        std::copy(path.begin(), path.end(), bytes_.begin());
    }
    char* data() { return bytes_.data(); }

private:
    std::vector<char> bytes_;
};

// The context's last error: an empty message for plain absence, libuci's own text otherwise.
Error last_error(uci_context* context, int code) {
    if (code == UCI_ERR_NOTFOUND) {
        return Error::fixed("");
    }
    char* text = nullptr;
    uci_get_errorstr(context, &text, nullptr);
    std::string message = text != nullptr ? text : "libuci error " + std::to_string(code);
    std::free(text);
    return Error::owned(std::move(message), code == UCI_ERR_IO ? errno : 0);
}

}  // namespace

std::unique_ptr<LibUciContext> LibUciContext::open() {
    uci_context* context = uci_alloc_context();
    if (context == nullptr) {
        return nullptr;
    }
    std::unique_ptr<LibUciContext> wrapper(new LibUciContext(context));
    // libuci saves a context's changes there before it commits them; on a router /tmp exists,
    // below VOXAPP_ROOT it may not.
    const std::string save_directory = system_path("/tmp/.uci");
    std::error_code ignored;
    std::filesystem::create_directories(save_directory, ignored);
    if (uci_set_confdir(context, system_path("/etc/config").c_str()) != UCI_OK ||
        uci_set_savedir(context, save_directory.c_str()) != UCI_OK) {
        return nullptr;
    }
#ifdef UCI_CONF2DIR
    if (uci_set_conf2dir(context, system_path(UCI_CONF2DIR).c_str()) != UCI_OK) {
        return nullptr;
    }
    wrapper->owns_conf2dir_ = true;
#endif
    return wrapper;
}

LibUciContext::~LibUciContext() {
#ifdef UCI_CONF2DIR
    // uci_free_context frees the configuration and save directories it was given but not the
    // override directory: without this every context would leak its copy.
    if (owns_conf2dir_) {
        std::free(context_->conf2dir);
        context_->conf2dir = nullptr;
    }
#endif
    uci_free_context(context_);
}

Result<UciPointer> LibUciContext::lookup(std::string_view path) {
    LookupBuffer buffer(path);
    uci_ptr found{};
    if (const int code = uci_lookup_ptr(context_, &found, buffer.data(), true); code != UCI_OK) {
        return last_error(context_, code);
    }
    UciPointer pointer;
    pointer.package = found.package != nullptr ? found.package : "";
    // After an extended lookup this is the section's real name, also for an unnamed one.
    pointer.section = found.section != nullptr ? found.section : "";
    pointer.option = found.option != nullptr ? found.option : "";
    pointer.section_found = found.s != nullptr;
    pointer.option_found = found.o != nullptr;
    if (found.o != nullptr) {
        pointer.is_list = found.o->type == UCI_TYPE_LIST;
        if (found.o->type == UCI_TYPE_STRING && found.o->v.string != nullptr) {
            pointer.value = found.o->v.string;
        }
    }
    return pointer;
}

Status LibUciContext::set(const UciPointer& pointer, std::string_view value) {
    if (pointer.option.empty()) {
        return Error::fixed("no option in the path");
    }
    if (!pointer.section_found) {
        return Error::fixed("no such section");
    }
    // A line break would end up in the file as is and cut the option in two.
    if (!is_valid_uci_value(value)) {
        return Error::fixed("the value contains a control character");
    }
    const std::string path = pointer.package + "." + pointer.section + "." + pointer.option;
    LookupBuffer buffer(path);
    uci_ptr target{};
    if (const int code = uci_lookup_ptr(context_, &target, buffer.data(), false); code != UCI_OK) {
        return last_error(context_, code);
    }
    const std::string text(value);
    target.value = text.c_str();
    if (const int code = uci_set(context_, &target); code != UCI_OK) {
        return last_error(context_, code);
    }
    return {};
}

Status LibUciContext::load(std::string_view package) {
    auto found = lookup(package);
    if (!found) {
        return found.error();
    }
    return {};
}

Status LibUciContext::commit(std::string_view package) {
    LookupBuffer buffer(package);
    uci_ptr target{};
    if (const int code = uci_lookup_ptr(context_, &target, buffer.data(), false); code != UCI_OK) {
        return last_error(context_, code);
    }
    if (const int code = uci_commit(context_, &target.p, false); code != UCI_OK) {
        return last_error(context_, code);
    }
    return {};
}

Status LibUciContext::revert(std::string_view package) {
    LookupBuffer buffer(package);
    uci_ptr target{};
    if (const int code = uci_lookup_ptr(context_, &target, buffer.data(), false); code != UCI_OK) {
        return last_error(context_, code);
    }
    // Unloading forgets this context's unsaved changes; libuci's own revert would also drop
    // the deltas that a shell user saved and has not committed yet.
    if (const int code = uci_unload(context_, target.p); code != UCI_OK) {
        return last_error(context_, code);
    }
    return {};
}

}  // namespace voxapp

#endif
