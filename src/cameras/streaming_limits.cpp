#include "cameras/streaming_limits.hpp"

#include <cstdint>

#include "cameras/camera_xml.hpp"

namespace voxapp {

bool apply_streaming_limits(std::string& xml) {
    std::int64_t width = xml_integer_value(xml, "videoResolutionWidth");
    std::int64_t height = xml_integer_value(xml, "videoResolutionHeight");
    std::int64_t rate = xml_integer_value(xml, "maxFrameRate");
    const std::int64_t bitrate = xml_integer_value(xml, "constantBitRate");
    const std::int64_t cap = xml_integer_value(xml, "vbrUpperCap");
    const std::int64_t gop = xml_integer_value(xml, "GovLength");
    const std::int64_t quality = xml_integer_value(xml, "fixedQuality");
    const std::int64_t interval = xml_integer_value(xml, "keyFrameInterval");
    const std::string mode(xml_element_value(xml, "videoQualityControlType"));

    bool changed = false;
    const auto set = [&](const char* tag, const std::string& value) {
        changed = replace_xml_element_value(xml, tag, value) || changed;
    };
    if (width > 1920 || height > 1080) {
        set("videoResolutionWidth", "1920");
        set("videoResolutionHeight", "1080");
        width = 1920;
        height = 1080;
    }
    if (rate > 2000) {
        set("maxFrameRate", "2000");
        rate = 2000;
    }
    if (!mode.empty() && mode != "VBR") {
        set("videoQualityControlType", "VBR");
    }
    if (bitrate > 9182) {
        set("constantBitRate", "9182");
    }
    if (cap > 9182) {
        set("vbrUpperCap", "9182");
    }
    if (width == 1920 && height == 1080 && quality > 80) {
        set("fixedQuality", "80");
    }
    if (rate >= 1) {
        const std::int64_t group = rate < 400 ? 1 : rate / 200;
        if (group != gop && !xml_element_value(xml, "GovLength").empty()) {
            set("GovLength", std::to_string(group));
        }
        if (group * 50 != interval && !xml_element_value(xml, "keyFrameInterval").empty()) {
            set("keyFrameInterval", std::to_string(group * 50));
        }
    }
    return changed;
}

}  // namespace voxapp
