#pragma once

// What the camera's connection handling and its API routes share.

#include <algorithm>
#include <cctype>
#include <map>
#include <string>

#include "sim_camera/sim_camera.hpp"

namespace voxapp::sim {

inline constexpr const char* kNamespace = "http://www.isapi.org/ver20/XMLSchema";

inline std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The text between the first <tag> and the </tag> after it; empty when missing.
inline std::string element(const std::string& xml, const std::string& tag) {
    const std::string open = "<" + tag + ">";
    const std::size_t start = xml.find(open);
    if (start == std::string::npos) {
        return {};
    }
    const std::size_t from = start + open.size();
    const std::size_t end = xml.find("</" + tag + ">", from);
    return end == std::string::npos ? std::string() : xml.substr(from, end - from);
}

struct SimCamera::Request {
    std::string method;
    std::string target;
    std::map<std::string, std::string> headers;  // lower-case names
    std::string body;
};

}  // namespace voxapp::sim
