#include "cameras/video_settings.hpp"

#include "cameras/camera_xml.hpp"

namespace voxapp {

int VideoSettings::download_frame_rate() const {
    // The factor is the single-precision value nearest to 1.2, which the figures above rely on.
    return static_cast<int>(max_frame_rate / 100.0 * 1.2000000476837158);
}

Result<VideoSettings> parse_video_settings(std::string_view channel_xml) {
    if (!find_xml_element(channel_xml, "Video")) {
        return Error::fixed("Channel settings without Video");
    }
    const std::string_view video = xml_element_value(channel_xml, "Video");
    const std::int64_t values[] = {xml_integer_value(video, "videoResolutionWidth"),
                                   xml_integer_value(video, "videoResolutionHeight"),
                                   xml_integer_value(video, "maxFrameRate")};
    for (const std::int64_t value : values) {
        if (value < 0 || value > 0xFFFF) {
            return Error::fixed(
                "Channel settings without a usable videoResolutionWidth, videoResolutionHeight "
                "or maxFrameRate");
        }
    }
    return VideoSettings{static_cast<std::uint16_t>(values[0]),
                         static_cast<std::uint16_t>(values[1]),
                         static_cast<std::uint16_t>(values[2])};
}

}  // namespace voxapp
