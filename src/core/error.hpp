#pragma once

#include <string>
#include <string_view>
#include <variant>

namespace voxapp {

// What went wrong: a message (a fixed text with static storage, or an owned composed text,
// possibly empty) and an integer code, which is errno for failed system calls and 0 otherwise.
class Error {
public:
    // `text` must outlive every copy of the error; string literals do.
    static Error fixed(const char* text, int code = 0) { return Error(text, code); }
    static Error owned(std::string text, int code = 0) { return Error(std::move(text), code); }
    // An errno-only error: empty message.
    static Error from_errno(int code) { return Error("", code); }

    std::string_view message() const {
        if (const auto* text = std::get_if<const char*>(&text_)) {
            return *text;
        }
        return std::get<std::string>(text_);
    }
    std::string message_text() const { return std::string(message()); }
    int code() const { return code_; }

private:
    Error(const char* text, int code) : text_(text), code_(code) {}
    Error(std::string text, int code) : text_(std::move(text)), code_(code) {}

    std::variant<const char*, std::string> text_;
    int code_;
};

}  // namespace voxapp
