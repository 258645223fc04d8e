// libFuzzer harness for the camera reply readers: element reading and replacement, escaping,
// the streaming limits, the video settings and the content search reply.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "cameras/camera_xml.hpp"
#include "cameras/recording_search.hpp"
#include "cameras/streaming_limits.hpp"
#include "cameras/video_settings.hpp"
#include "fuzz_check.hpp"

// Input: a tag name, a newline, then the document.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t newline = input.find('\n');
    const std::string_view tag = newline == std::string_view::npos ? "v" : input.substr(0, newline);
    const std::string_view xml =
        newline == std::string_view::npos ? input : input.substr(newline + 1);

    const std::string_view value = voxapp::xml_element_value(xml, tag);
    if (const auto span = voxapp::find_xml_element(xml, tag)) {
        check(span->offset + span->length <= xml.size(), "span inside the document");
        check(xml.substr(span->offset, span->length) == value, "value is the span");
    } else {
        check(value.empty(), "missing element reads empty");
    }
    const std::int64_t number = voxapp::xml_integer_value(xml, tag);
    check(number >= -2147483648LL && number <= 2147483647LL, "integer clamped");

    std::string edited(xml);
    if (voxapp::replace_xml_element_value(edited, tag, "42")) {
        check(voxapp::xml_element_value(edited, tag) == "42", "replaced value reads back");
    } else {
        check(edited == xml, "unchanged without the element");
    }

    if (auto escaped = voxapp::xml_escape(xml)) {
        check(escaped->find('<') == std::string::npos, "no markup after escaping");
        check(escaped->size() >= xml.size(), "escaping only grows");
    }

    std::string channel(xml);
    if (!voxapp::apply_streaming_limits(channel)) {
        check(channel == xml, "unchanged when nothing was edited");
    }
    (void)voxapp::parse_video_settings(xml);
    if (auto segments = voxapp::parse_recording_search(xml)) {
        for (const auto& segment : *segments) {
            check(segment.range.start() <= segment.range.end(), "ranges run forward");
            check(!segment.playback_uri.empty(), "segments have a URI");
        }
    }
    return 0;
}
