// The command-line tool's notifier: handlers run on the owner thread, senders from other
// threads wait for them and give up after their time-out, posts are queued.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

#include "fax/components/event_queue_notifier.h"

namespace pellora::fax {
namespace {

using namespace std::chrono_literals;

TEST(EventQueueNotifier, SendOnTheOwnerThreadRunsAtOnce) {
    EventQueueNotifier q;
    int calls = 0;
    q.setHandler([&](const Notification& n) {
        ++calls;
        return n.payload * 2;
    });
    EXPECT_TRUE(q.onOwnerThread());
    EXPECT_EQ(q.send(Notification{0x7EA2, 21}), 42);
    EXPECT_EQ(calls, 1);
}

TEST(EventQueueNotifier, SendFromAnotherThreadRunsOnTheOwner) {
    EventQueueNotifier q;
    const auto owner = std::this_thread::get_id();
    std::vector<std::thread::id> ranOn;
    q.setHandler([&](const Notification& n) {
        ranOn.push_back(std::this_thread::get_id());
        return n.payload + 1;
    });
    auto answer = std::async(std::launch::async, [&] { return q.send(Notification{1, 9}, 60s); });
    while (answer.wait_for(0s) != std::future_status::ready) q.waitAndProcess(10ms);
    EXPECT_EQ(answer.get(), 10);
    ASSERT_EQ(ranOn.size(), 1u);
    EXPECT_EQ(ranOn[0], owner);
}

TEST(EventQueueNotifier, AGivenUpSendIsNeverRunLate) {
    EventQueueNotifier q;
    int calls = 0;
    q.setHandler([&](const Notification&) {
        ++calls;
        return 1;
    });
    // The owner is busy: the sender gives up and gets no answer.
    auto answer = std::async(std::launch::async, [&] { return q.send(Notification{1, 0}, 20ms); });
    EXPECT_EQ(answer.get(), std::nullopt);
    q.processPending();
    EXPECT_EQ(calls, 0);
}

TEST(EventQueueNotifier, PostsAreQueuedInOrder) {
    EventQueueNotifier q;
    std::vector<std::int64_t> seen;
    q.setHandler([&](const Notification& n) {
        seen.push_back(n.payload);
        return 0;
    });
    q.post(Notification{0x7EA7, 1});
    std::thread([&] { q.post(Notification{0x7EA7, 2}); }).join();
    q.post(Notification{0x7EA7, 3});
    EXPECT_TRUE(seen.empty());
    EXPECT_TRUE(q.processPending());
    EXPECT_EQ(seen, (std::vector<std::int64_t>{1, 2, 3}));
}

TEST(EventQueueNotifier, QuitIsReportedAfterWhatCameBefore) {
    EventQueueNotifier q;
    int calls = 0;
    q.setHandler([&](const Notification&) {
        ++calls;
        return 0;
    });
    q.post(Notification{});
    q.postQuit();
    EXPECT_FALSE(q.waitAndProcess(0ms));
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(q.processPending());
}

TEST(EventQueueNotifier, AThrowingHandlerAnswersZeroAndTheQueueGoesOn) {
    EventQueueNotifier q;
    int reported = 0;
    q.OnHandlerException = [&](std::exception_ptr) { ++reported; };
    q.setHandler([&](const Notification& n) -> std::int64_t {
        if (n.payload == 1) throw std::runtime_error("history file");
        return 7;
    });
    EXPECT_EQ(q.send(Notification{0, 1}), 0);
    q.post(Notification{0, 1});
    auto answer = std::async(std::launch::async, [&] { return q.send(Notification{0, 2}, 60s); });
    while (answer.wait_for(0s) != std::future_status::ready) q.waitAndProcess(10ms);
    EXPECT_EQ(answer.get(), 7);
    EXPECT_EQ(reported, 2);
}

TEST(EventQueueNotifier, WithoutAHandlerTheAnswerIsZero) {
    EventQueueNotifier q;
    EXPECT_EQ(q.send(Notification{0, 5}), 0);
    q.setHandler([](const Notification&) { return 3; });
    q.setHandler(nullptr);
    EXPECT_EQ(q.send(Notification{0, 5}), 0);
}

}  // namespace
}  // namespace pellora::fax
