#include "system/io/event_loop.hpp"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <memory>
#include <optional>

#include "system/io/io_test_support.hpp"

namespace voxapp {
namespace {

using test::LoggingHandler;
using test::TestPipe;
using Log = std::vector<std::string>;

EventLoop make_loop() {
    auto loop = EventLoop::create();
    EXPECT_TRUE(loop.ok());
    return std::move(*loop);
}

void drain(int fd) {
    char buffer[64];
    while (read(fd, buffer, sizeof buffer) > 0) {
    }
}

TEST(EventLoopDispatch, ServesAtMostSixteenRecordsPerPollAndTheRestNext) {
    EventLoop loop = make_loop();
    Log log;
    std::vector<std::unique_ptr<TestPipe>> pipes;
    std::vector<std::unique_ptr<LoggingHandler>> handlers;
    for (int i = 0; i < 20; ++i) {
        pipes.push_back(std::make_unique<TestPipe>());
        ASSERT_TRUE(pipes.back()->put("x"));
        handlers.push_back(std::make_unique<LoggingHandler>(std::to_string(i),
                                                            pipes.back()->read_end, EPOLLIN, log));
        const int fd = pipes.back()->read_end;
        handlers.back()->on_readable_hook = [fd] { drain(fd); };
        ASSERT_TRUE(loop.add(*handlers.back()).ok());
    }

    auto first = loop.poll(0);
    ASSERT_TRUE(first.ok());
    EXPECT_EQ(*first, EventLoop::kMaxEvents);
    EXPECT_EQ(log.size(), 16u);

    auto second = loop.poll(0);
    ASSERT_TRUE(second.ok());
    EXPECT_EQ(*second, 4);
    std::sort(log.begin(), log.end());
    EXPECT_EQ(std::unique(log.begin(), log.end()), log.end()) << "a handler was served twice";
    EXPECT_EQ(log.size(), 20u);
    EXPECT_EQ(*loop.poll(0), 0);
}

TEST(EventLoopDispatch, CallsReadableThenWritableThenErrorForOneRecord) {
    EventLoop loop = make_loop();
    Log log;

    TestPipe hung_up;
    ASSERT_TRUE(hung_up.put("x"));
    hung_up.close_write();
    LoggingHandler pipe_handler("pipe", hung_up.read_end, EPOLLIN, log);
    ASSERT_TRUE(loop.add(pipe_handler).ok());
    ASSERT_EQ(*loop.poll(0), 1);
    EXPECT_EQ(log, (Log{"pipe:readable", "pipe:error"}));
    ASSERT_TRUE(loop.remove(pipe_handler).ok());

    log.clear();
    int sockets[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets), 0);
    ASSERT_EQ(write(sockets[1], "x", 1), 1);
    LoggingHandler socket_handler("socket", sockets[0], EPOLLIN | EPOLLOUT, log);
    ASSERT_TRUE(loop.add(socket_handler).ok());
    ASSERT_EQ(*loop.poll(0), 1);
    EXPECT_EQ(log, (Log{"socket:readable", "socket:writable"}));
    ASSERT_TRUE(loop.remove(socket_handler).ok());
    close(sockets[0]);
    close(sockets[1]);
}

TEST(EventLoopDispatch, HandlerDestroyingItselfIsNotCalledForTheRestOfItsRecord) {
    EventLoop loop = make_loop();
    Log log;
    TestPipe pipe;
    ASSERT_TRUE(pipe.put("x"));
    pipe.close_write();  // the record carries EPOLLIN and EPOLLHUP
    auto handler = std::make_unique<LoggingHandler>("self", pipe.read_end, EPOLLIN, log);
    handler->on_readable_hook = [&] { handler.reset(); };
    ASSERT_TRUE(loop.add(*handler).ok());

    ASSERT_EQ(*loop.poll(0), 1);
    EXPECT_EQ(log, (Log{"self:readable"}));
    EXPECT_EQ(*loop.poll(0), 0);
}

// The order of records within a batch is the kernel's, so whichever handler runs first
// destroys the other; the other must not be called in that batch.
TEST(EventLoopDispatch, HandlerDestroyedEarlierInTheBatchIsNotCalled) {
    EventLoop loop = make_loop();
    Log log;
    TestPipe pipe_a;
    TestPipe pipe_b;
    ASSERT_TRUE(pipe_a.put("x"));
    ASSERT_TRUE(pipe_b.put("x"));
    auto a = std::make_unique<LoggingHandler>("a", pipe_a.read_end, EPOLLIN, log);
    auto b = std::make_unique<LoggingHandler>("b", pipe_b.read_end, EPOLLIN, log);
    a->on_readable_hook = [&] { b.reset(); };
    b->on_readable_hook = [&] { a.reset(); };
    ASSERT_TRUE(loop.add(*a).ok());
    ASSERT_TRUE(loop.add(*b).ok());

    ASSERT_EQ(*loop.poll(0), 2);
    EXPECT_EQ(log.size(), 1u);
    EXPECT_NE(a == nullptr, b == nullptr);
}

TEST(EventLoopDispatch, HandlerAddedAtTheAddressOfARemovedOneGetsNoStaleRecord) {
    EventLoop loop = make_loop();
    Log log;
    TestPipe pipes[2];
    std::optional<LoggingHandler> slots[2];
    bool replaced = false;
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(pipes[i].put("x"));
        slots[i].emplace("old" + std::to_string(i), pipes[i].read_end, EPOLLIN, log);
        slots[i]->on_readable_hook = [&, other = 1 - i] {
            if (replaced) {
                return;
            }
            replaced = true;
            LoggingHandler* before = &*slots[other];
            slots[other].emplace("new", pipes[other].read_end, EPOLLIN, log);
            ASSERT_EQ(before, &*slots[other]);
            ASSERT_TRUE(loop.add(*slots[other]).ok());
        };
        ASSERT_TRUE(loop.add(*slots[i]).ok());
    }

    ASSERT_EQ(*loop.poll(0), 2);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0], "new:readable");

    log.clear();
    ASSERT_EQ(*loop.poll(0), 2);  // nothing was drained, so both are still readable
    std::sort(log.begin(), log.end());
    EXPECT_EQ(log[0], "new:readable");
}

TEST(EventLoopRegistration, RejectsDoubleAddBadDescriptorAndUnknownHandlers) {
    EventLoop loop = make_loop();
    Log log;
    TestPipe pipe;
    LoggingHandler handler("h", pipe.read_end, EPOLLIN, log);
    ASSERT_TRUE(loop.add(handler).ok());
    auto again = loop.add(handler);
    ASSERT_FALSE(again.ok());
    EXPECT_EQ(again.error().code(), EEXIST);
    EXPECT_TRUE(handler.registered());

    LoggingHandler bad("bad", -1, EPOLLIN, log);
    auto added = loop.add(bad);
    ASSERT_FALSE(added.ok());
    EXPECT_EQ(added.error().code(), EBADF);
    EXPECT_FALSE(bad.registered());
    EXPECT_EQ(loop.modify(bad).error().code(), ENOENT);
    EXPECT_EQ(loop.remove(bad).error().code(), ENOENT);
}

TEST(EventLoopRegistration, ModifyAppliesTheHandlersCurrentEvents) {
    EventLoop loop = make_loop();
    Log log;
    int sockets[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets), 0);
    LoggingHandler handler("h", sockets[0], EPOLLOUT, log);
    ASSERT_TRUE(loop.add(handler).ok());
    ASSERT_EQ(*loop.poll(0), 1);
    EXPECT_EQ(log, (Log{"h:writable"}));

    handler.set_events(EPOLLIN);
    ASSERT_TRUE(loop.modify(handler).ok());
    EXPECT_EQ(*loop.poll(0), 0);
    ASSERT_TRUE(loop.remove(handler).ok());
    close(sockets[0]);
    close(sockets[1]);
}

TEST(EventLoopRegistration, DestroyingARegisteredHandlerRemovesIt) {
    EventLoop loop = make_loop();
    Log log;
    TestPipe pipe;
    ASSERT_TRUE(pipe.put("x"));
    auto handler = std::make_unique<LoggingHandler>("h", pipe.read_end, EPOLLIN, log);
    ASSERT_TRUE(loop.add(*handler).ok());
    handler.reset();  // the descriptor stays open, so only removal keeps it out of epoll
    EXPECT_EQ(*loop.poll(0), 0);
    EXPECT_TRUE(log.empty());
}

TEST(EventLoopRegistration, HandlersOutliveTheLoopAndFollowItsMove) {
    Log log;
    TestPipe pipe;
    ASSERT_TRUE(pipe.put("x"));
    LoggingHandler handler("h", pipe.read_end, EPOLLIN, log);
    {
        std::optional<EventLoop> first(make_loop());
        ASSERT_TRUE(first->add(handler).ok());
        EventLoop second(std::move(*first));
        first.reset();
        EXPECT_EQ(handler.event_loop(), &second);
        ASSERT_EQ(*second.poll(0), 1);
        EXPECT_EQ(log, (Log{"h:readable"}));
    }
    EXPECT_FALSE(handler.registered());
}

TEST(EventLoopPoll, InterruptionBySignalCountsAsNoEvents) {
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
    itimerval alarm{};
    alarm.it_value.tv_usec = 20'000;
    ASSERT_EQ(setitimer(ITIMER_REAL, &alarm, nullptr), 0);

    EventLoop loop = make_loop();
    const auto start = std::chrono::steady_clock::now();
    auto handled = loop.poll(5000);
    const auto waited = std::chrono::steady_clock::now() - start;
    sigaction(SIGALRM, &previous, nullptr);

    ASSERT_TRUE(handled.ok());
    EXPECT_EQ(*handled, 0);
    EXPECT_LT(waited, std::chrono::seconds(4));
}

TEST(EventLoopPoll, RefusesToPollFromInsideAHandler) {
    EventLoop loop = make_loop();
    Log log;
    TestPipe pipe;
    ASSERT_TRUE(pipe.put("x"));
    LoggingHandler handler("h", pipe.read_end, EPOLLIN, log);
    bool nested_failed = false;
    handler.on_readable_hook = [&] { nested_failed = !loop.poll(0).ok(); };
    ASSERT_TRUE(loop.add(handler).ok());
    ASSERT_EQ(*loop.poll(0), 1);
    EXPECT_TRUE(nested_failed);
}

}  // namespace
}  // namespace voxapp
