#include "system/events/event_dispatcher.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <functional>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace voxapp {
namespace {

struct Ping {
    int value = 0;
};
struct Pong {
    int value = 0;
};
template <int N>
struct Numbered {
    int value = 0;
};

std::unique_ptr<EventDispatcher> make_dispatcher() {
    auto created = EventDispatcher::create();
    EXPECT_TRUE(created.ok());
    return std::move(created).value();
}

TEST(EventDispatcherTest, PublishingAnUnsubscribedTypeDoesNothingAndAddsNoEntry) {
    auto dispatcher = make_dispatcher();
    dispatcher->publish(Ping{1});
    EXPECT_EQ(dispatcher->type_count(), 0u);

    int pongs = 0;
    dispatcher->subscribe<Pong>([&](const Pong&) { ++pongs; });
    dispatcher->publish(Ping{2});
    EXPECT_EQ(pongs, 0);
    EXPECT_EQ(dispatcher->type_count(), 1u);
}

TEST(EventDispatcherTest, HandlersRunInSubscriptionOrderOncePerPublishWithThePayload) {
    auto dispatcher = make_dispatcher();
    std::vector<std::string> calls;
    dispatcher->subscribe<Ping>(
        [&](const Ping& ping) { calls.push_back("a" + std::to_string(ping.value)); });
    dispatcher->subscribe<Pong>(
        [&](const Pong& pong) { calls.push_back("p" + std::to_string(pong.value)); });
    dispatcher->subscribe<Ping>(EventDispatcher::Handler<Ping>());  // empty: skipped
    dispatcher->subscribe<Ping>(
        [&](const Ping& ping) { calls.push_back("b" + std::to_string(ping.value)); });

    dispatcher->publish(Ping{7});
    EXPECT_EQ(calls, (std::vector<std::string>{"a7", "b7"}));
    dispatcher->publish(Pong{8});
    dispatcher->publish(Ping{9});
    EXPECT_EQ(calls, (std::vector<std::string>{"a7", "b7", "p8", "a9", "b9"}));
    EXPECT_EQ(dispatcher->type_count(), 2u);
}

TEST(EventDispatcherTest, NestedPublishCompletesBeforeTheOuterHandlerReturns) {
    auto dispatcher = make_dispatcher();
    std::vector<std::string> calls;
    dispatcher->subscribe<Ping>([&](const Ping& ping) {
        calls.push_back("ping enter");
        dispatcher->publish(Pong{ping.value});
        calls.push_back("ping leave");
    });
    dispatcher->subscribe<Ping>([&](const Ping&) { calls.push_back("second ping"); });
    // A handler may also publish its own type again.
    dispatcher->subscribe<Pong>([&](const Pong& pong) {
        calls.push_back("pong " + std::to_string(pong.value));
        if (pong.value > 0) {
            dispatcher->publish(Pong{pong.value - 1});
        }
    });

    dispatcher->publish(Ping{1});
    EXPECT_EQ(calls, (std::vector<std::string>{"ping enter", "pong 1", "pong 0", "ping leave",
                                               "second ping"}));
}

template <int... N>
std::vector<std::function<void(EventDispatcher&, std::vector<int>&)>> numbered_subscribers(
    std::integer_sequence<int, N...>) {
    return {[](EventDispatcher& dispatcher, std::vector<int>& seen) {
        dispatcher.subscribe<Numbered<N>>(
            [&seen](const Numbered<N>& event) { seen.push_back(N * 1000 + event.value); });
    }...};
}

template <int... N>
std::vector<std::function<void(EventDispatcher&, int)>> numbered_publishers(
    std::integer_sequence<int, N...>) {
    return {
        [](EventDispatcher& dispatcher, int value) { dispatcher.publish(Numbered<N>{value}); }...};
}

TEST(EventDispatcherTest, TypesSubscribedInAnyOrderAreAllFound) {
    constexpr int count = 48;
    auto subscribers = numbered_subscribers(std::make_integer_sequence<int, count>());
    auto publishers = numbered_publishers(std::make_integer_sequence<int, count>());

    for (unsigned seed : {1u, 2u, 3u}) {
        auto dispatcher = make_dispatcher();
        std::vector<int> seen;
        std::vector<int> order(count);
        std::iota(order.begin(), order.end(), 0);
        std::shuffle(order.begin(), order.end(), std::mt19937(seed));

        std::vector<int> subscribed;
        for (int type : order) {
            subscribers[type](*dispatcher, seen);
            subscribed.push_back(type);
            ASSERT_EQ(dispatcher->type_count(), subscribed.size());
            // Every type subscribed so far reaches exactly its own handler.
            for (int published = 0; published < count; ++published) {
                seen.clear();
                publishers[published](*dispatcher, 5);
                bool expected =
                    std::find(subscribed.begin(), subscribed.end(), published) != subscribed.end();
                ASSERT_EQ(seen,
                          expected ? std::vector<int>{published * 1000 + 5} : std::vector<int>{})
                    << "seed " << seed << ", type " << published;
            }
        }
    }
}

TEST(EventDispatcherTest, ConcurrentPublishersAndASubscriberStayConsistent) {
    auto dispatcher = make_dispatcher();
    std::atomic<long> ping_sum{0};
    std::atomic<int> pongs{0};
    dispatcher->subscribe<Ping>([&](const Ping& ping) {
        ping_sum += ping.value;
        dispatcher->publish(Pong{ping.value});
    });
    dispatcher->subscribe<Pong>([&](const Pong&) { ++pongs; });

    constexpr int threads = 4;
    constexpr int per_thread = 5000;
    std::vector<std::thread> publishers;
    for (int t = 0; t < threads; ++t) {
        publishers.emplace_back([&] {
            for (int i = 1; i <= per_thread; ++i) {
                dispatcher->publish(Ping{i});
            }
        });
    }
    // New types inserted while publishers read the entry table.
    std::atomic<int> late_calls{0};
    std::thread subscriber([&] {
        dispatcher->subscribe<Numbered<1>>([&](const Numbered<1>&) { ++late_calls; });
        dispatcher->subscribe<Numbered<2>>([&](const Numbered<2>&) { ++late_calls; });
        dispatcher->subscribe<Ping>([&](const Ping&) {});
        dispatcher->publish(Numbered<2>{});
    });
    for (auto& thread : publishers) {
        thread.join();
    }
    subscriber.join();

    EXPECT_EQ(ping_sum.load(), long{threads} * per_thread * (per_thread + 1) / 2);
    EXPECT_EQ(pongs.load(), threads * per_thread);
    EXPECT_EQ(late_calls.load(), 1);
    EXPECT_EQ(dispatcher->type_count(), 4u);
}

TEST(EventDispatcherTest, AHandlerMaySubscribeToAnotherDispatcher) {
    auto first = make_dispatcher();
    auto second = make_dispatcher();
    int pongs = 0;
    first->subscribe<Ping>(
        [&](const Ping&) { second->subscribe<Pong>([&](const Pong&) { ++pongs; }); });
    first->publish(Ping{});
    second->publish(Pong{});
    EXPECT_EQ(pongs, 1);
}

TEST(EventDispatcherDeathTest, SubscribingFromItsOwnHandlerAbortsInsteadOfHanging) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            auto dispatcher = make_dispatcher();
            dispatcher->subscribe<Ping>([&](const Ping&) {
                // Also from a nested publish of another type.
                dispatcher->publish(Pong{});
            });
            dispatcher->subscribe<Pong>(
                [&](const Pong&) { dispatcher->subscribe<Pong>([](const Pong&) {}); });
            dispatcher->publish(Ping{});
        },
        "subscribe called from inside one of this dispatcher's handlers");
}

}  // namespace
}  // namespace voxapp
