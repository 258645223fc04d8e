#include "cameras/sadp_answer.hpp"

#include <optional>

namespace voxapp {

namespace {

// The text between the first '>' at or after `tag` and the next '<'.
std::optional<std::string_view> field(std::string_view datagram, std::string_view tag) {
    const std::size_t at = datagram.find(tag);
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    const std::size_t open = datagram.find('>', at);
    if (open == std::string_view::npos) {
        return std::nullopt;
    }
    const std::size_t close = datagram.find('<', open + 1);
    if (close == std::string_view::npos) {
        return std::nullopt;
    }
    return datagram.substr(open + 1, close - open - 1);
}

}  // namespace

SadpAnswer parse_sadp_answer(std::string_view datagram) {
    SadpAnswer answer;
    if (field(datagram, "<Activated>") == std::optional<std::string_view>("false")) {
        answer.kind = SadpAnswer::Kind::Inactive;
        return answer;
    }
    const auto ip = field(datagram, "<IPv4Address>");
    const auto mac = field(datagram, "<MAC>");
    if (!ip || !mac || ip->empty() || mac->empty()) {
        return answer;
    }
    answer.kind = SadpAnswer::Kind::Camera;
    answer.ip = std::string(*ip);
    answer.mac = std::string(*mac);
    return answer;
}

std::string sadp_probe(std::string_view uuid) {
    std::string probe =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Probe>\n    <Uuid>";
    probe += uuid;
    probe += "</Uuid>\n    <Types>inquiry</Types>\n</Probe>";
    return probe;
}

}  // namespace voxapp
