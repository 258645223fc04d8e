#include "server/command.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace voxapp {
// Readable failure output.
void PrintTo(const Command& command, std::ostream* out) {
    *out << print_command(command);
}

namespace {

using ::testing::IsEmpty;

Command parsed(std::string_view text) {
    Result<Command> command = parse_command(text);
    EXPECT_TRUE(command.ok()) << text << ": " << command.error().message();
    return command.ok() ? *command : Command{};
}

std::string failure(std::string_view text) {
    Result<Command> command = parse_command(text);
    EXPECT_FALSE(command.ok()) << text;
    if (command.ok()) {
        return {};
    }
    EXPECT_EQ(command.error().code(), 0);
    return command.error().message_text();
}

// "#9,<first>,<length>," followed by `data`.
std::string data_command(const std::string& length, const std::string& data) {
    return "#9,12," + length + "," + data;
}

TEST(ParseCommandTest, ShortestCommandHasNoParameters) {
    const Command command = parsed("#7;");
    EXPECT_EQ(command.code, '7');
    EXPECT_THAT(command.parameters, IsEmpty());
}

TEST(ParseCommandTest, LeadingSemicolonIsSkipped) {
    EXPECT_EQ(parsed(";#7,SN;"), (Command{'7', {"SN"}}));
}

TEST(ParseCommandTest, AnyFirstByteBeforeTheHashIsSkipped) {
    EXPECT_EQ(parsed("x#7,SN;"), (Command{'7', {"SN"}}));
}

TEST(ParseCommandTest, DoubleHashIsSkipped) {
    EXPECT_EQ(parsed("##7,SN;"), (Command{'7', {"SN"}}));
}

TEST(ParseCommandTest, AsciiFramedTextTakesTheByteAfterTheAngleBracketAsCode) {
    EXPECT_EQ(parsed(">ab#7;"), (Command{'a', {"#7"}}));
}

TEST(ParseCommandTest, ParametersAreSplitAtCommas) {
    EXPECT_EQ(parsed("#1,U?,N?;"), (Command{'1', {"U?", "N?"}}));
    EXPECT_EQ(parsed("#7,BS,-1,-1;"), (Command{'7', {"BS", "-1", "-1"}}));
}

TEST(ParseCommandTest, EmptyFieldBetweenCommasIsAnEmptyParameter) {
    EXPECT_EQ(parsed("#7,a,,b;"), (Command{'7', {"a", "", "b"}}));
    EXPECT_EQ(parsed("#7,,b;"), (Command{'7', {"", "b"}}));
}

TEST(ParseCommandTest, TrailingCommaAddsNoEmptyParameter) {
    EXPECT_EQ(parsed("#7,a,;"), (Command{'7', {"a"}}));
    EXPECT_EQ(parsed("#7,,;"), (Command{'7', {""}}));
    EXPECT_EQ(parsed("#7,;"), (Command{'7', {}}));
}

TEST(ParseCommandTest, ByteAfterTheCodeIsSkippedWhateverItIs) {
    EXPECT_EQ(parsed("#7XA,B;"), (Command{'7', {"A", "B"}}));
}

TEST(ParseCommandTest, EnableAndDisableOfNineAreOrdinaryCommands) {
    EXPECT_EQ(parsed("#9,1;"), (Command{'9', {"1"}}));
    EXPECT_EQ(parsed("#9,0;"), (Command{'9', {"0"}}));
}

TEST(ParseCommandTest, CodeDNeedsNoFinalSemicolonButItsLastByteIsDropped) {
    EXPECT_EQ(parsed("#D,r,12"), (Command{'D', {"r", "1"}}));
    EXPECT_EQ(parsed("#D,r,12;"), (Command{'D', {"r", "12"}}));
}

TEST(ParseCommandTest, ParametersMayHoldAnyByteButComma) {
    const std::string text = std::string("#7,a\0b,\xff;", 9);
    EXPECT_EQ(parsed(text), (Command{'7', {std::string("a\0b", 3), "\xff"}}));
}

TEST(ParseCommandTest, DataCommandIsValidatedButNotSplit) {
    EXPECT_EQ(parsed(data_command("8", "ab;cd,#;")), (Command{'9', {}}));
    EXPECT_EQ(parsed(data_command("3", "abcdefgh")), (Command{'9', {}}));  // more than needed
    EXPECT_EQ(parsed("#9,12,8;abcdefgh"), (Command{'9', {}}));
    EXPECT_EQ(parsed(data_command("0", "xxxxxxxx")), (Command{'9', {}}));
}

TEST(ParseCommandTest, DataCommandWithExactlyItsLengthSucceedsAndOneByteLessFails) {
    EXPECT_TRUE(parse_command(data_command("8", "12345678")).ok());
    EXPECT_EQ(failure(data_command("8", "1234567")),
              "Command #9 string should transferred in full");
}

TEST(ParseCommandTest, FourteenByteDataCommandFailsEvenWhenWellFormed) {
    const std::string text = data_command("1", "abc");  // "#9,12,1,abc"
    const std::string fourteen = "#9,1,2,ab;;;;;";
    ASSERT_EQ(fourteen.size(), 14u);
    EXPECT_EQ(failure(fourteen), "Command #9 string should be at least 15 characters long");
    EXPECT_EQ(failure(text), "Command #9 string should be at least 15 characters long");
    EXPECT_TRUE(parse_command("#9,1,2,ab;;;;;;").ok());
}

TEST(ParseCommandTest, NineWithLeadingSemicolonIsADataCommand) {
    EXPECT_EQ(failure(";#9,1;"), "Command #9 string should be at least 15 characters long");
}

TEST(ParseCommandTest, ErrorTextsInTheOrderOfTheChecks) {
    EXPECT_EQ(failure(""), "Command string should be at least 3 characters long");
    EXPECT_EQ(failure("#7"), "Command string should be at least 3 characters long");
    EXPECT_EQ(failure("7,1;"), "Command string should start with # or ;#");
    EXPECT_EQ(failure(">ab"), "Command string should start with # or ;#");
    EXPECT_EQ(failure("#7,1"), "Command string should end with ;");
    EXPECT_EQ(failure("#9,1,2,3456789"), "Command #9 string should be at least 15 characters long");
    EXPECT_EQ(failure("#9;12345678901234"), "Missing 1st parameter from #9 command");
    EXPECT_EQ(failure("#9,12,3456789012"), "Missing 2nd parameter from #9 command");
    EXPECT_EQ(failure("#9,12,10,abcdefghi"), "Command #9 string should transferred in full");
}

TEST(ParseCommandTest, EarlierCheckWins) {
    // Too short beats a bad start; a bad start beats a missing ';'.
    EXPECT_EQ(failure("ab"), "Command string should be at least 3 characters long");
    EXPECT_EQ(failure("abc"), "Command string should start with # or ;#");
    // Both '#9' parameters missing: the first is reported.
    EXPECT_EQ(failure("#9xabcdefghijklmn"), "Missing 1st parameter from #9 command");
}

TEST(ParseCommandTest, DataCommandLengthMustBeAnUnsigned32BitDecimal) {
    const std::string bad = "Length of #9 command should be an unsigned 32-bit decimal number";
    EXPECT_EQ(failure(data_command("", "abcdefghijkl")), bad);
    EXPECT_EQ(failure(data_command("x1", "abcdefghijkl")), bad);
    EXPECT_EQ(failure(data_command("1x", "abcdefghijkl")), bad);
    EXPECT_EQ(failure(data_command("-1", "abcdefghijkl")), bad);
    EXPECT_EQ(failure(data_command("+1", "abcdefghijkl")), bad);
    EXPECT_EQ(failure(data_command(" 1", "abcdefghijkl")), bad);
    EXPECT_EQ(failure(data_command("4294967296", "abcdefghijkl")), bad);
    EXPECT_EQ(failure(data_command("4294967295", "abcdefghijkl")),
              "Command #9 string should transferred in full");
    EXPECT_TRUE(parse_command(data_command("0012", "abcdefghijkl")).ok());
}

TEST(PrintCommandTest, PrintsCodeAndParameters) {
    EXPECT_EQ(print_command(Command{'7', {"TZ", "0"}}), "#7,TZ,0;");
    EXPECT_EQ(print_command(Command{'7', {}}), "#7;");
    EXPECT_EQ(print_command(Command{'7', {"", "a"}}), "#7,,a;");
}

TEST(PrintCommandTest, WellFormedCommandsPrintBackUnchanged) {
    for (const char* text : {"#7,TZ,0;", "#1,U?,N?;", "#7;", "#7,a,,b;", "#9,1;", "#D,r,12;"}) {
        EXPECT_EQ(print_command(parsed(text)), text);
    }
}

}  // namespace
}  // namespace voxapp
