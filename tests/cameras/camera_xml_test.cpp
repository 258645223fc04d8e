#include "cameras/camera_xml.hpp"

#include <gtest/gtest.h>

namespace voxapp {
namespace {

TEST(CameraXmlTest, ReadsTheFirstElementUpToItsFirstClosingTag) {
    const std::string xml = "<a><b>one</b><b>two</b><c attr=\"1\">x</c><d>open";
    EXPECT_EQ(xml_element_value(xml, "b"), "one");
    EXPECT_EQ(xml_element_value(xml, "c"), "");  // attributes are not supported
    EXPECT_EQ(xml_element_value(xml, "d"), "");  // never closed
    EXPECT_EQ(xml_element_value(xml, "missing"), "");
    EXPECT_EQ(xml_element_value("</b>x<b>y</b>", "b"), "y");
}

TEST(CameraXmlTest, ReadsLeadingDigitsAsIntegerElseMinusOne) {
    const std::string xml =
        "<w>1920px</w><n>-5</n><p>+7</p><t>abc</t><e></e><big>99999999999</big>";
    EXPECT_EQ(xml_integer_value(xml, "w"), 1920);
    EXPECT_EQ(xml_integer_value(xml, "n"), -5);
    EXPECT_EQ(xml_integer_value(xml, "p"), 7);
    EXPECT_EQ(xml_integer_value(xml, "t"), -1);
    EXPECT_EQ(xml_integer_value(xml, "e"), -1);
    EXPECT_EQ(xml_integer_value(xml, "missing"), -1);
    EXPECT_EQ(xml_integer_value(xml, "big"), 2147483647);
}

TEST(CameraXmlTest, ReplacesExactlyTheValueSpan) {
    std::string xml = "<x><v>12</v><v>34</v></x>";
    EXPECT_TRUE(replace_xml_element_value(xml, "v", "5678"));
    EXPECT_EQ(xml, "<x><v>5678</v><v>34</v></x>");
    EXPECT_FALSE(replace_xml_element_value(xml, "missing", "1"));
    EXPECT_EQ(xml, "<x><v>5678</v><v>34</v></x>");
}

TEST(CameraXmlTest, EscapesMarkupAndRefusesWhatXmlCannotCarry) {
    EXPECT_EQ(*xml_escape("CST-1DST1,M3.5.0/2"), "CST-1DST1,M3.5.0/2");
    EXPECT_EQ(*xml_escape("a<b>&\"c'\tÄ\n"), "a&lt;b&gt;&amp;&quot;c&apos;\tÄ\n");
    for (const std::string& bad :
         {std::string("a\0b", 3), std::string("\x1b[0m"), std::string("\xff"), std::string("\xc3"),
          std::string("\xed\xa0\x80"), std::string("\xc0\xaf")}) {
        auto escaped = xml_escape(bad);
        ASSERT_FALSE(escaped.ok()) << bad;
        EXPECT_EQ(escaped.error().message(), "Text cannot be placed in XML");
    }
}

}  // namespace
}  // namespace voxapp
