#include "server/reply_kind.hpp"

namespace voxapp {

bool is_binary_reply_command(std::string_view text) {
    if (text.starts_with(';')) {
        text.remove_prefix(1);
    }
    if (text.starts_with("#4")) {
        return true;
    }
    if (text.size() < 4 || !text.starts_with("#D,")) {
        return false;
    }
    const char kind = text[3];
    return kind == 'r' || kind == 'z' || kind == 'R' || kind == 'Z';
}

}  // namespace voxapp
