#include "server/reply_framing.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/reply_kind.hpp"
#include "support/recording_logger.hpp"

namespace voxapp {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Pair;

// Keeps every send; the send numbered `fail_at` (from 0) fails with `fail_code`.
class RecordingSink : public ByteSink {
public:
    bool is_connected() const override { return connected; }
    Result<std::size_t> send_bytes(const char* data, std::size_t length) override {
        if (sends.size() == fail_at) {
            sends.emplace_back();
            return Error::from_errno(fail_code);
        }
        sends.emplace_back(data, length);
        return length;
    }

    bool connected = true;
    std::size_t fail_at = static_cast<std::size_t>(-1);
    int fail_code = EPIPE;
    std::vector<std::string> sends;
};

class ReplyFramingTest : public ::testing::Test {
protected:
    ReplyFramingTest() { framer_.set_logger(&logger_); }

    RecordingSink sink_;
    test::RecordingLogger logger_;
    ReplyFramer framer_{sink_};
};

std::string bytes(std::initializer_list<int> values) {
    std::string text;
    for (int value : values) {
        text += static_cast<char>(value);
    }
    return text;
}

TEST_F(ReplyFramingTest, ReplyToPlainCommandIsTheBareText) {
    const std::string text = "#7,GP,1;";
    Result<std::size_t> sent = framer_.send_reply(0, text.data(), text.size());

    ASSERT_TRUE(sent.ok());
    EXPECT_EQ(*sent, text.size());
    EXPECT_THAT(sink_.sends, ElementsAre(text));
    EXPECT_THAT(logger_.lines(), ElementsAre(Pair(LogLevel::data, "Sending PLAIN reply"),
                                             Pair(LogLevel::data_full, "(8 bytes) #7,GP,1;")));
}

TEST_F(ReplyFramingTest, AsciiReplyHasALittleEndianIdHeader) {
    const std::string text = "#1,U5;";
    Result<std::size_t> sent = framer_.send_reply(0x1234, text.data(), text.size());

    ASSERT_TRUE(sent.ok());
    EXPECT_EQ(*sent, text.size());
    EXPECT_THAT(sink_.sends, ElementsAre(bytes({'>', 0x34, 0x12}), text));
    EXPECT_THAT(logger_.lines(), ElementsAre(Pair(LogLevel::data, "Sending ASCII reply"),
                                             Pair(LogLevel::data_full, "(6 bytes) #1,U5;")));
}

TEST_F(ReplyFramingTest, BinaryReplyCarriesIdAndTotalLength) {
    const std::string data = "#D,r,";
    Result<std::size_t> sent =
        framer_.send_binary_reply(0xFF07, 0x01020304, data.data(), data.size());

    ASSERT_TRUE(sent.ok());
    EXPECT_EQ(*sent, data.size());
    EXPECT_THAT(sink_.sends, ElementsAre(bytes({'<', 0x07, 0xFF, 0x04, 0x03, 0x02, 0x01}), data));
    EXPECT_THAT(logger_.lines(), ElementsAre(Pair(LogLevel::data, "Sending BINARY reply"),
                                             Pair(LogLevel::data_full, "(5 bytes) #D,r,")));
}

TEST_F(ReplyFramingTest, BinaryReplyToPlainCommandIsTheBareData) {
    const std::string data = "#4,1;";
    ASSERT_TRUE(framer_.send_binary_reply(0, 5, data.data(), data.size()).ok());

    EXPECT_THAT(sink_.sends, ElementsAre(data));
    EXPECT_EQ(logger_.texts().front(), "Sending PLAIN reply");
}

TEST_F(ReplyFramingTest, RawBytesAreSentAsTheyAreWithoutLogging) {
    const std::string data = bytes({0, '>', 1, ';'});
    Result<std::size_t> sent = framer_.send_raw(data.data(), data.size());

    ASSERT_TRUE(sent.ok());
    EXPECT_EQ(*sent, 4u);
    EXPECT_THAT(sink_.sends, ElementsAre(data));
    EXPECT_THAT(logger_.lines(), IsEmpty());
}

TEST_F(ReplyFramingTest, NotConnectedFailsAtOnceWithEopnotsupp) {
    sink_.connected = false;
    const std::string text = "#7;";
    const Result<std::size_t> results[] = {
        framer_.send_reply(1, text.data(), text.size()),
        framer_.send_reply(0, text.data(), text.size()),
        framer_.send_binary_reply(1, 3, text.data(), text.size()),
        framer_.send_raw(text.data(), text.size()),
    };

    for (const Result<std::size_t>& result : results) {
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.error().message(), "");
        EXPECT_EQ(result.error().code(), EOPNOTSUPP);
    }
    EXPECT_THAT(sink_.sends, IsEmpty());
    EXPECT_THAT(logger_.lines(), IsEmpty());
}

TEST_F(ReplyFramingTest, FailedHeaderStopsTheReply) {
    sink_.fail_at = 0;
    sink_.fail_code = ECONNRESET;
    const std::string text = "#7;";
    Result<std::size_t> sent = framer_.send_reply(3, text.data(), text.size());

    ASSERT_FALSE(sent.ok());
    EXPECT_EQ(sent.error().code(), ECONNRESET);
    EXPECT_EQ(sink_.sends.size(), 1u);  // the failed header only
    EXPECT_THAT(logger_.texts(), ElementsAre("Sending ASCII reply"));
}

TEST_F(ReplyFramingTest, FailedBodyIsReturned) {
    sink_.fail_at = 1;
    const std::string data = "#4;";
    Result<std::size_t> sent = framer_.send_binary_reply(3, 3, data.data(), data.size());

    ASSERT_FALSE(sent.ok());
    EXPECT_EQ(sent.error().code(), EPIPE);
}

TEST_F(ReplyFramingTest, DumpKeepsEveryByteOfTheBody) {
    const std::string data = bytes({'#', 0, 0x80, ';'});
    ASSERT_TRUE(framer_.send_reply(0, data.data(), data.size()).ok());

    EXPECT_EQ(logger_.texts().back(), "(4 bytes) " + data);
}

TEST_F(ReplyFramingTest, WithoutLoggerNothingIsLogged) {
    framer_.set_logger(nullptr);
    ASSERT_TRUE(framer_.send_reply(2, "#7;", 3).ok());
    EXPECT_THAT(logger_.lines(), IsEmpty());
    EXPECT_EQ(sink_.sends.size(), 2u);
}

TEST_F(ReplyFramingTest, BinaryReplyCommandWithId7GetsABinaryFrameOfTheReplyLength) {
    const std::string command = "#D,r,0,10;";
    const std::string reply = "#D,r,0,10,0123456789;";
    ASSERT_TRUE(is_binary_reply_command(command));

    ASSERT_TRUE(framer_
                    .send_binary_reply(7, static_cast<std::uint32_t>(reply.size()), reply.data(),
                                       reply.size())
                    .ok());
    EXPECT_THAT(sink_.sends,
                ElementsAre(bytes({'<', 7, 0, static_cast<int>(reply.size()), 0, 0, 0}), reply));
}

// Lets other threads run between the sends of one reply, and keeps the sends in order.
class YieldingSink : public ByteSink {
public:
    bool is_connected() const override { return true; }
    Result<std::size_t> send_bytes(const char* data, std::size_t length) override {
        {
            std::lock_guard lock(mutex);
            sends.emplace_back(data, length);
        }
        std::this_thread::yield();
        return length;
    }

    std::mutex mutex;
    std::vector<std::string> sends;
};

TEST(ReplyFramingThreadsTest, RepliesFromSeveralThreadsDoNotInterleave) {
    YieldingSink sink;
    ReplyFramer framer(sink);
    constexpr int kRepliesPerThread = 500;
    auto send_replies = [&](std::uint16_t id, const std::string& text) {
        for (int i = 0; i < kRepliesPerThread; ++i) {
            ASSERT_TRUE(framer.send_reply(id, text.data(), text.size()).ok());
        }
    };
    std::thread first(send_replies, 1, "#A;");
    std::thread second(send_replies, 2, "#B;");
    first.join();
    second.join();

    ASSERT_EQ(sink.sends.size(), 4u * kRepliesPerThread);
    for (std::size_t i = 0; i < sink.sends.size(); i += 2) {
        const std::string& header = sink.sends[i];
        ASSERT_EQ(header.size(), 3u);
        EXPECT_EQ(sink.sends[i + 1], header[1] == 1 ? "#A;" : "#B;") << "send " << i;
    }
}

TEST(ReplyKindTest, BinaryReplyCommands) {
    for (const char* text :
         {"#D,r", "#D,z;", "#D,R,1;", "#D,Z,", "#4", "#4,1;", "#40;", ";#D,r,1;", ";#4;"}) {
        EXPECT_TRUE(is_binary_reply_command(text)) << text;
    }
}

TEST(ReplyKindTest, OtherCommands) {
    for (const char* text : {"", ";", "#D,w,1;", "#D,", "#D", "#D;r", "#7,GP;", "#5;", ";;#4;",
                             "x#4;", "#d,r;", " #4;"}) {
        EXPECT_FALSE(is_binary_reply_command(text)) << text;
    }
}

}  // namespace
}  // namespace voxapp
