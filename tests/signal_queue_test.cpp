// The hand-over of signals from handlers to the main thread: order, a full
// queue, a handler that peeks in the middle of a drain, and pushes from
// several threads at once.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <thread>
#include <vector>

#include "signal_queue.hpp"

namespace {

std::vector<int> drained(signal_queue& queue)
{
    std::vector<int> signals;
    queue.drain([&](int s) { signals.push_back(s); });
    return signals;
}

TEST(signal_queue, hands_out_signals_in_arrival_order_and_never_loses_one)
{
    signal_queue queue;
    EXPECT_FALSE(queue.pending());
    for (int s : {SIGUSR2, SIGTERM, SIGUSR1})
        queue.push(s);
    EXPECT_TRUE(queue.pending());
    std::vector<int> peeked;
    queue.peek([&](int s) { peeked.push_back(s); });
    EXPECT_EQ(peeked, (std::vector<int>{SIGUSR2, SIGTERM, SIGUSR1}));
    std::vector<int> first_two;  // a peek that stops early
    queue.peek([&](int s) {
        first_two.push_back(s);
        return first_two.size() < 2;
    });
    EXPECT_EQ(first_two, (std::vector<int>{SIGUSR2, SIGTERM}));
    EXPECT_EQ(drained(queue), peeked);
    EXPECT_FALSE(queue.pending());
    EXPECT_TRUE(drained(queue).empty());

    // More than fit: the queued ones in order, then the rest all the same.
    std::vector<int> sent;
    for (std::size_t i = 0; i < signal_queue::capacity + 10; ++i)
        sent.push_back(i % 3 == 0 ? SIGUSR1 : SIGUSR2);
    for (int s : sent)
        queue.push(s);
    auto const got = drained(queue);
    ASSERT_EQ(got.size(), sent.size());
    EXPECT_TRUE(std::equal(sent.begin(), sent.begin() + signal_queue::capacity, got.begin()));
    EXPECT_EQ(std::count(got.begin(), got.end(), SIGUSR1), std::count(sent.begin(), sent.end(), SIGUSR1));
    // The slots are free again.
    queue.push(SIGUSR1);
    EXPECT_EQ(drained(queue), std::vector<int>{SIGUSR1});
}

// A SIGTERM handler may interrupt a drain anywhere and peek for the lines
// still owed: it finds the signal being handled and every later one, queued
// or counted.
TEST(signal_queue, a_peek_during_a_drain_finds_every_signal_not_yet_handled)
{
    signal_queue queue;
    std::vector<int> sent;
    for (std::size_t i = 0; i < signal_queue::capacity + 6; ++i)
        sent.push_back(i % 3 == 0 ? SIGUSR1 : SIGUSR2);
    for (int s : sent)
        queue.push(s);

    std::vector<int> handled;
    queue.drain([&](int s) {
        std::vector<int> seen;
        queue.peek([&](int p) { seen.push_back(p); });
        ASSERT_FALSE(seen.empty()) << "while handling signal " << handled.size();
        EXPECT_EQ(seen.front(), s) << "while handling signal " << handled.size();
        for (int kind : {SIGUSR1, SIGUSR2})
            EXPECT_EQ(std::count(seen.begin(), seen.end(), kind) + std::count(handled.begin(), handled.end(), kind),
                      std::count(sent.begin(), sent.end(), kind))
                << "while handling signal " << handled.size();
        handled.push_back(s);
    });
    EXPECT_EQ(handled.size(), sent.size());
    std::vector<int> left;
    queue.peek([&](int p) { left.push_back(p); });
    EXPECT_TRUE(left.empty());
}

// Pushes from several threads while the main thread drains lose nothing.
TEST(signal_queue, pushes_from_several_threads_while_draining)
{
    signal_queue queue;
    constexpr int per_thread = 20000;
    std::atomic<int> running{4};
    std::vector<std::thread> producers;
    for (int t = 0; t < 4; ++t)
        producers.emplace_back([&, t] {
            for (int i = 0; i < per_thread; ++i)
                queue.push(t + 1);
            --running;
        });
    std::map<int, int> counts;
    while (running > 0 || queue.pending())
        queue.drain([&](int s) { ++counts[s]; });
    for (auto& p : producers)
        p.join();
    queue.drain([&](int s) { ++counts[s]; });
    for (int t = 1; t <= 4; ++t)
        EXPECT_EQ(counts[t], per_thread) << "thread " << t;
    EXPECT_EQ(counts.size(), 4u);
}

}  // namespace
