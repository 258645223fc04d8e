#pragma once

#include <string>
#include <string_view>

namespace voxapp {

// `text` in single quotes, each quote in it written as '\'' — the quoting of both the shell and
// UCI files, under which every byte stands for itself.
inline std::string single_quoted(std::string_view text) {
    std::string out = "'";
    for (const char c : text) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out.push_back(c);
        }
    }
    out.push_back('\'');
    return out;
}

}  // namespace voxapp
