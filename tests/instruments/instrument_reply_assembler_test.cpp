#include "instruments/instrument_reply_assembler.hpp"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "support/recording_logger.hpp"

namespace voxapp {
namespace {

using namespace std::string_literals;

// Feeds the reads in order; the reply, or "(none)" when none completed, and the read that
// completed it (0-based, -1 for none).
struct Outcome {
    std::string reply = "(none)";
    int completed_at = -1;
};

class ReplyAssemblerTest : public ::testing::Test {
protected:
    Outcome feed(InstrumentReplyAssembler& assembler, std::initializer_list<std::string> reads) {
        Outcome outcome;
        int index = 0;
        for (const std::string& read : reads) {
            if (auto reply = assembler.feed(read, logger_)) {
                EXPECT_EQ(outcome.completed_at, -1) << "completed twice";
                outcome.reply = *reply;
                outcome.completed_at = index;
            }
            ++index;
        }
        return outcome;
    }
    test::RecordingLogger logger_;
};

TEST_F(ReplyAssemblerTest, TextAroundTheReplyBecomesLeftover) {
    InstrumentReplyAssembler assembler(3);
    assembler.begin('7', "GP");
    const Outcome outcome = feed(assembler, {"#7,XX,1;#7,GP,1,2;#7,YY;"});
    EXPECT_EQ(outcome.reply, "#7,GP,1,2;");
    EXPECT_EQ(assembler.take_leftover(), "#7,XX,1;#7,YY;");
}

TEST_F(ReplyAssemblerTest, UnknownCommandAnswerIsTheReply) {
    InstrumentReplyAssembler assembler(5);
    assembler.begin('7', "XY");
    EXPECT_EQ(feed(assembler, {"#7", ",?", ";"}).reply, "#7,?;");
}

TEST_F(ReplyAssemblerTest, HeaderAndPayloadAcrossReads) {
    struct Case {
        const char* name;
        std::uint8_t device_class;
        char group;
        std::initializer_list<std::string> reads;
        std::string reply;
        int completed_at;
        std::string leftover;
    };
    const Case cases[] = {
        {"group 4, length with the header, payload in pieces", 5, '4',
         {"#4;\x08\0\0\0"s "1", "234", "5678"}, "#4;\x08\0\0\0"s "12345678", 2, ""},
        {"group 4, the read ends right after the ';'", 5, '4',
         {"#4;", "\x02\0"s, "\0\0AB#5;"s}, "#4;\x02\0\0\0AB"s, 2, "#5;"},
        {"group 4 with two parameters is text", 5, '4', {"#4,1,2;\x01"s}, "#4,1,2;", 0, "\x01"},
        {"group D memory read, fifth parameter", 5, 'D', {"#D,R,0,0,0,3;a", "bcd"},
         "#D,R,0,0,0,3;abc", 1, "d"},
        {"group D other first parameter is text", 5, 'D', {"#D,W,0,0,0,3;abc"}, "#D,W,0,0,0,3;", 0,
         "abc"},
        {"group 3, a 0 byte ends the reply for class 1", 1, '3', {"#3;", "\0"s}, "#3;\0"s, 1,
         ""},
        {"group 3, a 0 byte is a length prefix for class 2", 2, '3', {"#3;\0"s, "\x02\0xy"s},
         "#3;\0\x02\0xy"s, 1, ""},
        {"garbage before the reply start", 5, '1', {"zz#1", ",U1;"}, "#1,U1;", 1, "zz"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        InstrumentReplyAssembler assembler(c.device_class);
        assembler.begin(c.group, "");
        const Outcome outcome = feed(assembler, c.reads);
        EXPECT_EQ(outcome.reply, c.reply);
        EXPECT_EQ(outcome.completed_at, c.completed_at);
        EXPECT_EQ(assembler.take_leftover(), c.leftover);
    }
}

TEST_F(ReplyAssemblerTest, HugeClaimsAndFloodsStayBounded) {
    InstrumentReplyAssembler claim(5);
    claim.begin('4', "");
    EXPECT_EQ(feed(claim, {"#4;\xff\xff\xff\xff"s "x"}).reply, "(none)");
    EXPECT_TRUE(logger_.contains("Reply payload from the device too large (4294967299 bytes): #4;"));

    InstrumentReplyAssembler flood(5);
    flood.begin('7', "GP");
    const std::string noise(InstrumentReplyAssembler::kMaxBuffer, 'n');
    for (int i = 0; i < 8; ++i) {
        EXPECT_FALSE(flood.feed(noise, logger_));
    }
    EXPECT_LE(flood.leftover().size(), InstrumentReplyAssembler::kMaxBuffer);
    // The reply still completes after the flood.
    EXPECT_EQ(feed(flood, {"#7,GP,1;"}).reply, "#7,GP,1;");
}

}  // namespace
}  // namespace voxapp
