#include "cameras/camera_xml.hpp"

#include <algorithm>
#include <limits>

namespace voxapp {

std::optional<XmlSpan> find_xml_element(std::string_view xml, std::string_view tag) {
    std::string open;
    open.reserve(tag.size() + 2);
    open.append("<").append(tag).append(">");
    const std::size_t start = xml.find(open);
    if (start == std::string_view::npos) {
        return std::nullopt;
    }
    const std::size_t from = start + open.size();
    std::string close;
    close.reserve(tag.size() + 3);
    close.append("</").append(tag).append(">");
    const std::size_t end = xml.find(close, from);
    if (end == std::string_view::npos) {
        return std::nullopt;
    }
    return XmlSpan{from, end - from};
}

std::string_view xml_element_value(std::string_view xml, std::string_view tag) {
    const auto span = find_xml_element(xml, tag);
    return span ? xml.substr(span->offset, span->length) : std::string_view();
}

std::int64_t xml_integer_value(std::string_view xml, std::string_view tag) {
    const std::string_view text = xml_element_value(xml, tag);
    std::size_t at = 0;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        negative = text[at] == '-';
        ++at;
    }
    if (at == text.size() || text[at] < '0' || text[at] > '9') {
        return -1;
    }
    constexpr std::int64_t kLimit = std::numeric_limits<std::int32_t>::max();
    std::int64_t value = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        value = std::min(value * 10 + (text[at] - '0'), kLimit + 1);
    }
    return negative ? std::max(-value, -kLimit - 1) : std::min(value, kLimit);
}

bool replace_xml_element_value(std::string& xml, std::string_view tag, std::string_view value) {
    const auto span = find_xml_element(xml, tag);
    if (!span) {
        return false;
    }
    xml.replace(span->offset, span->length, value);
    return true;
}

namespace {

// Length of the well-formed UTF-8 sequence at `at`, or 0.
std::size_t utf8_sequence(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    std::size_t length;
    std::uint32_t code;
    if (lead < 0x80) {
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07;
    } else {
        return 0;
    }
    if (at + length > text.size()) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) {
            return 0;
        }
        code = code << 6 | (byte(at + i) & 0x3F);
    }
    const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    // U+FFFE and U+FFFF are not XML characters either.
    if (overlong || surrogate || code > 0x10FFFF || code == 0xFFFE || code == 0xFFFF) {
        return 0;
    }
    return length;
}

}  // namespace

Result<std::string> xml_escape(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const char c = text[at];
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 && c != '\t' && c != '\n' && c != '\r') {
            return Error::fixed("Text cannot be placed in XML");
        }
        const std::size_t length = utf8_sequence(text, at);
        if (length == 0) {
            return Error::fixed("Text cannot be placed in XML");
        }
        if (length > 1) {
            escaped.append(text.substr(at, length));
            at += length;
            continue;
        }
        switch (c) {
            case '&':
                escaped += "&amp;";
                break;
            case '<':
                escaped += "&lt;";
                break;
            case '>':
                escaped += "&gt;";
                break;
            case '"':
                escaped += "&quot;";
                break;
            case '\'':
                escaped += "&apos;";
                break;
            default:
                escaped.push_back(c);
        }
        ++at;
    }
    return escaped;
}

}  // namespace voxapp
