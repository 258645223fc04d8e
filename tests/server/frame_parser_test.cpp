#include "server/frame_parser.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "server/recording_link_handler.hpp"
#include "support/recording_logger.hpp"

namespace voxapp {
namespace {

using test::begin_call;
using test::chunk_call;
using test::command_call;
using test::end_call;
using test::LinkCall;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::string le16(std::uint16_t value) {
    return {static_cast<char>(value & 0xFF), static_cast<char>(value >> 8)};
}

std::string le32(std::uint32_t value) {
    return le16(static_cast<std::uint16_t>(value & 0xFFFF)) +
           le16(static_cast<std::uint16_t>(value >> 16));
}

std::string ascii_frame(std::uint16_t id, const std::string& text) {
    return ">" + le16(id) + text;
}

std::string binary_header(std::uint16_t id, std::uint32_t length) {
    return "<" + le16(id) + le32(length);
}

std::string binary_frame(std::uint16_t id, const std::string& payload) {
    return binary_header(id, static_cast<std::uint32_t>(payload.size())) + payload;
}

// Raw data for '#9' transfers: every byte value, including ';', ',', '#', '<' and '>'.
std::string raw_data(std::size_t size) {
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        data[i] = static_cast<char>((i * 7 + 3) % 256);
    }
    return data;
}

class FrameParserTest : public ::testing::Test {
protected:
    FrameParserTest() {
        parser_.set_handler(&handler_);
        handler_.buffer = &buffer_;
    }

    // One read: append the bytes and parse.
    void receive(const std::string& bytes) {
        buffer_ += bytes;
        parser_.parse(buffer_);
    }

    void receive_in_reads(const std::string& bytes, std::size_t read_size) {
        for (std::size_t at = 0; at < bytes.size(); at += read_size) {
            receive(bytes.substr(at, read_size));
        }
    }

    void expect_no_violations() { EXPECT_THAT(handler_.violations, IsEmpty()); }

    test::NullConnection connection_;
    test::RecordingLinkHandler handler_{connection_};
    FrameParser parser_{connection_};
    std::string buffer_;
};

TEST_F(FrameParserTest, TwoPlainCommandsInOneReadGiveTwoCallsInOrder) {
    receive("#7,GP;#1,U?,N?;");

    EXPECT_THAT(handler_.calls,
                ElementsAre(command_call(0, "#7,GP;"), command_call(0, "#1,U?,N?;")));
    EXPECT_THAT(buffer_, IsEmpty());
    expect_no_violations();
}

TEST_F(FrameParserTest, AsciiFrameGivesItsIdAndAPointerToTheCommandInTheBuffer) {
    receive(std::string(">\x05\x00", 3) + "#7,GP;");

    EXPECT_THAT(handler_.calls, ElementsAre(command_call(5, "#7,GP;")));
    EXPECT_THAT(handler_.offsets, ElementsAre(3));
    expect_no_violations();
}

TEST_F(FrameParserTest, AsciiRequestIdIsLittleEndian) {
    receive(ascii_frame(0xBEEF, "#7,TZ;"));

    EXPECT_THAT(handler_.calls, ElementsAre(command_call(0xBEEF, "#7,TZ;")));
}

TEST_F(FrameParserTest, NoiseBeforeTheHashOfACommandIsNotHandedOn) {
    const std::uint32_t long_length = FrameParser::kMaxShortPayload + 10;
    receive(ascii_frame(2, ";,x#7,GP;") + binary_frame(3, ";,#7,TZ;ab") +
            binary_header(4, long_length) + ";#D,w;" + std::string(long_length - 6, 'z'));

    // The command text starts at its '#'; the noise still counts towards a payload's length, and
    // a streamed payload reaches the device exactly as sent.
    EXPECT_THAT(handler_.calls,
                ElementsAre(command_call(2, "#7,GP;"), command_call(3, "#7,TZ;ab"),
                            begin_call(4, ";#D,w;"), end_call(std::string(long_length - 6, 'z'))));
    EXPECT_THAT(buffer_, IsEmpty());
    expect_no_violations();
}

TEST_F(FrameParserTest, BinaryFrameDeclaringMoreThanTheCapResetsTheLink) {
    const std::string capped = binary_frame(1, "#1;");
    std::string oversized = binary_header(5, FrameParser::kMaxBinaryPayload + 1) + "#D,w;xxxx";
    buffer_ = capped + oversized + "#7,GP;";

    EXPECT_EQ(parser_.parse(buffer_), FrameParser::Outcome::reset_link);
    EXPECT_THAT(handler_.calls, ElementsAre(command_call(1, "#1;")));
    EXPECT_EQ(parser_.pending_binary_bytes(), 0u);
    EXPECT_THAT(buffer_, IsEmpty());

    // At the cap the frame is believed and streamed.
    buffer_ = binary_header(6, FrameParser::kMaxBinaryPayload) + "#D,w;";
    EXPECT_EQ(parser_.parse(buffer_), FrameParser::Outcome::keep_link);
    EXPECT_EQ(parser_.pending_binary_bytes(), FrameParser::kMaxBinaryPayload - 5);
}

TEST_F(FrameParserTest, HashAndSemicolonInsideHeadersAreNotCommandText) {
    // Id 0x3B23 is the bytes '#' ';'; length 0x3B23 likewise; id 0x3923 is '#' '9'.
    const std::string payload = "#D,r,1;" + std::string(0x3B23 - 7, 'x');
    receive(ascii_frame(0x3B23, "#7,GP;") + ascii_frame(0x3923, "#1,a,b,c;") +
            binary_frame(0x3B23, payload));

    EXPECT_THAT(handler_.calls,
                ElementsAre(command_call(0x3B23, "#7,GP;"), command_call(0x3923, "#1,a,b,c;"),
                            command_call(0x3B23, payload)));
    EXPECT_THAT(buffer_, IsEmpty());
}

TEST_F(FrameParserTest, BytesOutsideFramesAreSkipped) {
    receive("junk\r\n#7,GP;\x01\x02;,#1;");

    EXPECT_THAT(handler_.calls, ElementsAre(command_call(0, "#7,GP;"), command_call(0, "#1;")));
    EXPECT_THAT(buffer_, IsEmpty());
}

TEST_F(FrameParserTest, IncompleteFrameStaysInTheBufferUntilItCompletes) {
    receive("#7,GP;junk#7,G");
    EXPECT_THAT(handler_.calls, ElementsAre(command_call(0, "#7,GP;")));
    EXPECT_EQ(buffer_, "junk#7,G");

    receive("P;");
    EXPECT_THAT(handler_.calls, ElementsAre(command_call(0, "#7,GP;"), command_call(0, "#7,GP;")));
    EXPECT_THAT(buffer_, IsEmpty());
}

TEST_F(FrameParserTest, PlainFrameDoesNotApplyTheDataHeaderRule) {
    receive("#9,1,2,3;");

    EXPECT_THAT(handler_.calls, ElementsAre(command_call(0, "#9,1,2,3;")));
}

TEST_F(FrameParserTest, AsciiDataCommandHeaderEndsAtItsThirdComma) {
    receive(ascii_frame(4, "#9,1,3,a;b"));

    // The raw data after the header is outside the frame and skipped.
    EXPECT_THAT(handler_.calls, ElementsAre(command_call(4, "#9,1,3,")));
    EXPECT_EQ(buffer_, "a;b");
}

TEST_F(FrameParserTest, SemicolonBeforeTheThirdCommaEndsADataCommand) {
    receive(ascii_frame(4, "#9,1;") + ascii_frame(5, "#9,0;"));

    EXPECT_THAT(handler_.calls, ElementsAre(command_call(4, "#9,1;"), command_call(5, "#9,0;")));
}

TEST_F(FrameParserTest, ShortBinaryWaitsForItsWholePayload) {
    test::RecordingLogger logger;
    parser_.set_logger(&logger);
    const std::string frame = binary_frame(9, "#7,GP;abcd");  // L = 10

    receive(frame.substr(0, 15));
    EXPECT_THAT(handler_.calls, IsEmpty());
    EXPECT_TRUE(logger.contains("Waiting for all data"));
    EXPECT_EQ(buffer_, frame.substr(0, 15));

    receive(frame.substr(15));
    EXPECT_THAT(handler_.calls, ElementsAre(command_call(9, "#7,GP;abcd")));
    EXPECT_THAT(handler_.offsets, ElementsAre(7));
    EXPECT_THAT(buffer_, IsEmpty());
}

TEST_F(FrameParserTest, ShortBinaryEndingWithTheReadIsDeliveredAtOnce) {
    receive(binary_frame(3, "#D,r,1;"));

    EXPECT_THAT(handler_.calls, ElementsAre(command_call(3, "#D,r,1;")));
    EXPECT_THAT(buffer_, IsEmpty());
}

TEST_F(FrameParserTest, FrameAfterAShortBinaryIsRecognisedFromItsOwnStartByte) {
    // The payload's tail holds bytes that would start frames; they are payload, not frames.
    receive(binary_frame(1, "#7,GP;<>#x") + ascii_frame(2, "#1;") + "#7;");

    EXPECT_THAT(handler_.calls, ElementsAre(command_call(1, "#7,GP;<>#x"), command_call(2, "#1;"),
                                            command_call(0, "#7;")));
}

TEST_F(FrameParserTest, ShortBinaryOfTheLargestShortSizeIsDeliveredWhole) {
    const std::string payload = "#9,1,32757," + raw_data(32757);
    ASSERT_EQ(payload.size(), FrameParser::kMaxShortPayload);

    receive_in_reads(binary_frame(6, payload), 1000);

    EXPECT_THAT(handler_.calls, ElementsAre(command_call(6, payload)));
}

TEST_F(FrameParserTest, ShortBinaryPayloadShorterThanItsTextEndsAfterTheText) {
    receive(binary_header(8, 2) + "#7,GP;" + "#1;");

    EXPECT_THAT(handler_.calls, ElementsAre(command_call(8, "#7"), command_call(0, "#1;")));
}

TEST_F(FrameParserTest, LongBinaryIsStreamedAsBeginChunksAndOneEnd) {
    const std::string header = "#9,A,39989,";
    ASSERT_EQ(header.size(), 11u);
    const std::string data = raw_data(39989);
    const std::string frame = binary_frame(0x0102, header + data);

    receive_in_reads(frame, 1460);

    ASSERT_GE(handler_.calls.size(), 3u);
    EXPECT_EQ(handler_.calls.front(), begin_call(0x0102, header));
    std::string streamed;
    for (std::size_t i = 1; i + 1 < handler_.calls.size(); ++i) {
        EXPECT_EQ(handler_.calls[i].kind, LinkCall::Kind::chunk);
        EXPECT_FALSE(handler_.calls[i].data.empty());
        streamed += handler_.calls[i].data;
    }
    EXPECT_EQ(handler_.calls.back().kind, LinkCall::Kind::end);
    streamed += handler_.calls.back().data;
    EXPECT_EQ(streamed.size(), 39989u);
    EXPECT_EQ(streamed, data);
    EXPECT_EQ(parser_.pending_binary_bytes(), 0u);
    EXPECT_THAT(buffer_, IsEmpty());
    expect_no_violations();
}

TEST_F(FrameParserTest, LongBinaryInOneReadIsBeginThenEnd) {
    const std::string data = raw_data(40000 - 11);
    receive(binary_frame(1, "#9,A,39989," + data) + "#7;");

    EXPECT_THAT(handler_.calls,
                ElementsAre(begin_call(1, "#9,A,39989,"), end_call(data), command_call(0, "#7;")));
}

TEST_F(FrameParserTest, SemicolonInTheRawDataDoesNotEndTheDataHeader) {
    const std::string data = ";;;#1;" + std::string(40000 - 11 - 6, 'z');
    receive(binary_frame(1, "#9,A,39989," + data));

    EXPECT_THAT(handler_.calls, ElementsAre(begin_call(1, "#9,A,39989,"), end_call(data)));
}

TEST_F(FrameParserTest, LongBinaryHeaderEndsAtSemicolonForOtherCommands) {
    const std::string payload = "#D,w,5;" + std::string(40000 - 7, 'q');
    receive(binary_frame(1, payload));

    EXPECT_THAT(handler_.calls, ElementsAre(begin_call(1, "#D,w,5;"), end_call(payload.substr(7))));
}

TEST_F(FrameParserTest, StreamedPayloadTakesPrecedenceOverFrameBytes) {
    receive(binary_header(1, 40000) + "#9,A,39989,");
    ASSERT_EQ(parser_.pending_binary_bytes(), 39989u);

    receive("#7,GP;");  // payload, not a frame
    receive(std::string(39989 - 6, 'x') + "#1;");

    EXPECT_THAT(handler_.calls,
                ElementsAre(begin_call(1, "#9,A,39989,"), chunk_call("#7,GP;"),
                            end_call(std::string(39989 - 6, 'x')), command_call(0, "#1;")));
}

TEST_F(FrameParserTest, AbandonedPayloadLetsTheNextBytesBeFramedAfresh) {
    receive(binary_header(1, 40000) + "#9,A,39989,");
    EXPECT_TRUE(parser_.abandon_binary());
    EXPECT_FALSE(parser_.abandon_binary());
    buffer_.clear();  // a new link starts with an empty buffer

    receive("#7,GP;");
    EXPECT_THAT(handler_.calls,
                ElementsAre(begin_call(1, "#9,A,39989,"), command_call(0, "#7,GP;")));
}

TEST_F(FrameParserTest, FrameRightAfterAStreamedPayloadKeepsItsFirstByte) {
    receive(binary_header(1, 40000) + "#9,A,39989," + std::string(39989, 'x') + "#7,G");
    EXPECT_EQ(buffer_, "#7,G");

    receive("P;");
    EXPECT_EQ(handler_.calls.back(), command_call(0, "#7,GP;"));
}

TEST_F(FrameParserTest, CommandTextLongerThanALongPayloadStillEndsTheTransfer) {
    const std::uint32_t length = FrameParser::kMaxShortPayload + 1;
    const std::string text = "#" + std::string(length + 10, 'x') + ";";
    receive(binary_header(1, length) + text + "#1;");

    EXPECT_THAT(handler_.calls, ElementsAre(begin_call(1, text.substr(0, length)), end_call(""),
                                            command_call(0, "#1;")));
    EXPECT_EQ(parser_.pending_binary_bytes(), 0u);
    expect_no_violations();
}

TEST_F(FrameParserTest, WithoutAHandlerFramesAreConsumedTheSameWay) {
    parser_.set_handler(nullptr);
    receive("#7,GP;" + binary_header(1, 40000) + "#9,A,39989," + std::string(100, 'x'));
    EXPECT_THAT(buffer_, IsEmpty());
    EXPECT_EQ(parser_.pending_binary_bytes(), 39889u);

    parser_.set_handler(&handler_);
    receive(std::string(39889, '#') + "#1;");
    EXPECT_THAT(handler_.calls,
                ElementsAre(end_call(std::string(39889, '#')), command_call(0, "#1;")));
}

TEST_F(FrameParserTest, BufferWithoutFramesIsEmptiedPastTheBound) {
    receive(std::string(FrameParser::kMaxPendingBytes, 'x'));
    EXPECT_EQ(buffer_.size(), FrameParser::kMaxPendingBytes);

    receive("y");
    EXPECT_THAT(buffer_, IsEmpty());
}

TEST_F(FrameParserTest, FrameThatNeverCompletesIsDroppedPastTheBound) {
    receive("#" + std::string(FrameParser::kMaxPendingBytes - 1, 'x'));
    EXPECT_EQ(buffer_.size(), FrameParser::kMaxPendingBytes);

    receive("x");
    EXPECT_THAT(buffer_, IsEmpty());
    receive("#7;");
    EXPECT_THAT(handler_.calls, ElementsAre(command_call(0, "#7;")));
}

TEST_F(FrameParserTest, LongBufferIsKeptWhenAFrameWasConsumed) {
    const std::string tail = "#" + std::string(FrameParser::kMaxPendingBytes + 10, 'x');
    receive("#7;" + tail);

    EXPECT_THAT(handler_.calls, ElementsAre(command_call(0, "#7;")));
    EXPECT_EQ(buffer_, tail);
}

// Every way of splitting a stream into two reads, and one byte per read, gives the calls of a
// single read (with the pieces of streamed payloads joined).
TEST(FrameParserSplitTest, EverySplitGivesTheCallsOfOneRead) {
    const std::string long_payload = "#9,A,33989," + raw_data(33000) + std::string(989, ';');
    const std::string stream = "xx#7,GP;" + ascii_frame(0x1234, "#1,U?,N?;") +
                               binary_frame(7, "#7,GP;abc") + ascii_frame(0xFFFF, "#9,1,2,xyz") +
                               binary_frame(8, long_payload) + "#7,TZ,0;" +
                               binary_frame(9, "#D,r,5;") + "#4;" + "#9";

    auto parse_in_reads = [&](const std::vector<std::size_t>& cuts) {
        test::NullConnection connection;
        test::RecordingLinkHandler handler(connection);
        FrameParser parser(connection);
        parser.set_handler(&handler);
        std::string buffer;
        handler.buffer = &buffer;
        std::size_t from = 0;
        for (std::size_t cut : cuts) {
            buffer.append(stream, from, cut - from);
            parser.parse(buffer);
            from = cut;
        }
        EXPECT_THAT(handler.violations, IsEmpty());
        return std::pair(handler.joined_calls(), buffer);
    };

    const auto [expected, rest] = parse_in_reads({stream.size()});
    ASSERT_EQ(expected.size(), 10u);
    EXPECT_EQ(expected[4], begin_call(8, "#9,A,33989,"));
    EXPECT_EQ(expected[5].data.size(), 33989u);
    EXPECT_EQ(expected[6], end_call(""));
    EXPECT_EQ(rest, "#9");

    for (std::size_t cut = 1; cut < stream.size(); ++cut) {
        const auto [calls, left] = parse_in_reads({cut, stream.size()});
        ASSERT_EQ(calls, expected) << "split at " << cut;
        ASSERT_EQ(left, rest) << "split at " << cut;
    }
    std::vector<std::size_t> every_byte(stream.size());
    for (std::size_t i = 0; i < stream.size(); ++i) {
        every_byte[i] = i + 1;
    }
    const auto [calls, left] = parse_in_reads(every_byte);
    EXPECT_EQ(calls, expected);
    EXPECT_EQ(left, rest);
}

class FrameParserLogTest : public FrameParserTest {
protected:
    FrameParserLogTest() { parser_.set_logger(&logger_); }

    std::vector<std::string> data_lines() const {
        std::vector<std::string> lines;
        for (const auto& [level, text] : logger_.lines()) {
            EXPECT_EQ(level, LogLevel::data);
            lines.push_back(text);
        }
        return lines;
    }

    test::RecordingLogger logger_;
};

TEST_F(FrameParserLogTest, PlainAndAsciiFrames) {
    receive("#7,GP;" + ascii_frame(0xFFFF, "#1;"));

    EXPECT_THAT(data_lines(),
                ElementsAre("End of command found!", "Count OK! 5",
                            "Received PLAIN command: #7,GP;", "End of command found!",
                            "Count OK! 5", "Received ASCII command: #1; with id: -1"));
}

TEST_F(FrameParserLogTest, DataCommandInAnAsciiFrame) {
    const std::string bytes = ascii_frame(3, "#9,1,2,x");
    receive(bytes);

    EXPECT_THAT(data_lines(), ElementsAre("#9 found!", bytes, "Comma found!", "Comma found!",
                                          "End of command found!", "Count OK! 9",
                                          "Received ASCII command: #9,1,2, with id: 3"));
}

TEST_F(FrameParserLogTest, DataCommandDumpOfALongBufferIsBounded) {
    const std::string bytes = ascii_frame(3, "#9,1,2,") + std::string(1000, 'r');
    receive(bytes);

    const auto lines = data_lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1], bytes.substr(0, FrameParser::kMaxDumpBytes) + "... (1010 bytes)");
}

TEST_F(FrameParserLogTest, OversizedBinaryFrameIsLoggedAtError) {
    receive(binary_header(5, 0xFFFFFFFF) + "#D,w;");
    EXPECT_TRUE(logger_.contains(
        "BINARY frame declares 4294967295 payload bytes, more than 67108864: resetting the link"));
}

TEST_F(FrameParserLogTest, ShortBinaryFrame) {
    receive(binary_frame(300, "#7,GP;ab").substr(0, 14));
    receive("ab");

    EXPECT_THAT(
        data_lines(),
        ElementsAre("End of command found!", "Count OK! 12", "Binary len: 8",
                    "Waiting for all data", "End of command found!", "Count OK! 12",
                    "Binary len: 8", "Received SHORT BINARY command: #7,GP; with id: 300, len: 8"));
}

TEST_F(FrameParserLogTest, LongBinaryFrame) {
    receive(binary_header(2, 40000) + "#D,w;" + std::string(5, 'a'));
    receive(std::string(40000 - 5 - 5, 'b') + "#1;");

    EXPECT_THAT(data_lines(),
                ElementsAre("End of command found!", "Count OK! 11", "Binary len: 40000",
                            "Received BINARY command: #D,w; with id: 2, len: 40000",
                            "Binary packet: 5", "Binary end: 39990", "End of command found!",
                            "Count OK! 2", "Received PLAIN command: #1;"));
}

TEST_F(FrameParserLogTest, NoLoggerNoLines) {
    parser_.set_logger(nullptr);
    receive("#7,GP;");
    EXPECT_THAT(logger_.lines(), IsEmpty());
    EXPECT_THAT(handler_.calls, ElementsAre(command_call(0, "#7,GP;")));
}

}  // namespace
}  // namespace voxapp
