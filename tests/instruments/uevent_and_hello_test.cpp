#include <gtest/gtest.h>

#include <string>

#include "instruments/instrument_greeting.hpp"
#include "instruments/uevent.hpp"

namespace voxapp {
namespace {

using namespace std::string_literals;

TEST(UeventTest, FieldsAreReadInPlaceAndTheSerialFilterApplies) {
    const std::string message =
        "add@/devices/x\0ACTION=add\0DEVPATH=/devices/platform/usb/ttyUSB0\0=skipped\0noequals\0"
        "SUBSYSTEM=tty\0DEVNAME=ttyUSB9\0DEVNAME=ttyUSB0\0"s;
    const Uevent event = parse_uevent(message.data(), message.size());
    EXPECT_EQ(event.action, UeventAction::add);
    EXPECT_EQ(event.devpath, "/devices/platform/usb/ttyUSB0");
    EXPECT_EQ(event.subsystem, "tty");
    EXPECT_EQ(event.devname, "ttyUSB0");  // the last of two
    EXPECT_TRUE(is_serial_port_uevent(event));

    // An empty string ends the walk; data without a final NUL is read to its end only.
    const std::string cut = "h\0ACTION=remove\0\0DEVNAME=ttyS1\0"s;
    EXPECT_TRUE(parse_uevent(cut.data(), cut.size()).devname.empty());
    const std::string open_end = "h\0ACTION=bind\0DEVNAME=tty"s;
    const Uevent partial = parse_uevent(open_end.data(), open_end.size());
    EXPECT_EQ(partial.action, UeventAction::bind);
    EXPECT_EQ(partial.devname, "tty");
    EXPECT_EQ(parse_uevent("no header", 9).action, UeventAction::none);

    const auto passes = [](std::string_view name, std::string_view path) {
        Uevent e;
        e.devname = name;
        e.devpath = path;
        return is_serial_port_uevent(e);
    };
    EXPECT_TRUE(passes("ttyS1", "/devices/platform/serial"));
    EXPECT_TRUE(passes("ttyACM0", "/devices/usb"));
    EXPECT_FALSE(passes("ttyUSB0", "/devices/virtual/tty/ttyUSB0"));
    EXPECT_FALSE(passes("ttyGS0", "/devices/usb"));
    EXPECT_FALSE(passes("ptmx", "/devices/usb"));
    EXPECT_FALSE(passes("ttyUSB0/../../x", "/devices/usb"));
}

TEST(HelloReplyTest, ReplyIsAssembledAcrossReadsAndParsedStrictly) {
    HelloReplyCollector collector;
    EXPECT_FALSE(collector.append("noise#1,U50"));
    EXPECT_EQ(collector.append("0,N7;tail"), "#1,U500,N7;");

    HelloReplyCollector early;
    EXPECT_EQ(early.append("x;#1,U5"), "x;");  // a ';' only before the "#1"

    HelloReplyCollector flood;
    EXPECT_FALSE(flood.append(std::string(HelloReplyCollector::kMaxBytes + 10, 'z')));
    EXPECT_TRUE(flood.full());
    EXPECT_EQ(flood.buffer().size(), HelloReplyCollector::kMaxBytes);

    const auto identity = parse_hello_reply("#1,U500,N12345;");
    ASSERT_TRUE(identity);
    EXPECT_EQ(identity->unit_type, 500u);
    EXPECT_EQ(identity->serial_number, 12345u);
    EXPECT_FALSE(parse_hello_reply("#1,?;"));
    EXPECT_FALSE(parse_hello_reply("#1,U-1,N2;"));
    EXPECT_FALSE(parse_hello_reply("#1,U1,N99999999999;"));
}

}  // namespace
}  // namespace voxapp
