#include "cameras/streaming_limits.hpp"

#include <gtest/gtest.h>

#include "cameras/camera_xml.hpp"

namespace voxapp {
namespace {

std::string channel(const std::string& width, const std::string& height, const std::string& rate,
                    const std::string& mode, const std::string& bitrate, const std::string& gop,
                    const std::string& interval, const std::string& quality = "60") {
    return "<StreamingChannel><Video><videoResolutionWidth>" + width +
           "</videoResolutionWidth><videoResolutionHeight>" + height +
           "</videoResolutionHeight><videoQualityControlType>" + mode +
           "</videoQualityControlType><constantBitRate>" + bitrate +
           "</constantBitRate><fixedQuality>" + quality + "</fixedQuality><vbrUpperCap>" + bitrate +
           "</vbrUpperCap><maxFrameRate>" + rate + "</maxFrameRate><keyFrameInterval>" + interval +
           "</keyFrameInterval><GovLength>" + gop + "</GovLength></Video></StreamingChannel>";
}

TEST(StreamingLimitsTest, BringsAnOversizedChannelWithinTheLimits) {
    std::string xml = channel("2560", "1440", "2500", "CBR", "12000", "50", "2000", "100");
    ASSERT_TRUE(apply_streaming_limits(xml));
    EXPECT_EQ(xml, channel("1920", "1080", "2000", "VBR", "9182", "10", "500", "80"));
}

TEST(StreamingLimitsTest, LeavesAChannelWithinTheLimitsAlone) {
    const std::string within = channel("1920", "1080", "2000", "VBR", "9182", "10", "500", "80");
    std::string xml = within;
    EXPECT_FALSE(apply_streaming_limits(xml));
    EXPECT_EQ(xml, within);
}

TEST(StreamingLimitsTest, SlowStreamsGetAOneFrameGroup) {
    std::string xml = channel("1280", "720", "300", "VBR", "2048", "25", "1250");
    ASSERT_TRUE(apply_streaming_limits(xml));
    EXPECT_EQ(xml_integer_value(xml, "GovLength"), 1);
    EXPECT_EQ(xml_integer_value(xml, "keyFrameInterval"), 50);
    EXPECT_EQ(xml_integer_value(xml, "fixedQuality"), 60);  // only full HD is capped
}

TEST(StreamingLimitsTest, TouchesOnlyElementsThatArePresent) {
    std::string xml = "<Video><maxFrameRate>0</maxFrameRate><GovLength></GovLength></Video>";
    EXPECT_FALSE(apply_streaming_limits(xml));
    xml =
        "<Video><videoResolutionWidth>3840</videoResolutionWidth><maxFrameRate>1000"
        "</maxFrameRate><GovLength></GovLength></Video>";
    ASSERT_TRUE(apply_streaming_limits(xml));
    EXPECT_EQ(xml,
              "<Video><videoResolutionWidth>1920</videoResolutionWidth><maxFrameRate>1000"
              "</maxFrameRate><GovLength></GovLength></Video>");
}

}  // namespace
}  // namespace voxapp
