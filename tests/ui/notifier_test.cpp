// The Qt notifier and message pump: notifications cross to the GUI thread, sends give up
// after their time-out without running late, posts arrive in order.
#include "ui/qt_notifier.h"

#include <QCoreApplication>
#include <QEvent>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ui/gui_test_util.h"
#include "ui/qt_message_pump.h"

using pellora::fax::Notification;
using pellora::ui::QtMessagePump;
using pellora::ui::QtNotifier;
using namespace std::chrono_literals;

namespace {

TEST(QtNotifier, SendFromAnotherThreadRunsTheHandlerOnTheGuiThreadAndReturnsItsAnswer) {
    QtNotifier notifier;
    QThread* handlerThread = nullptr;
    notifier.setHandler([&](const Notification& n) {
        handlerThread = QThread::currentThread();
        return n.payload * 2 + n.message;
    });
    std::optional<std::int64_t> answer;
    std::atomic<bool> finished{false};
    std::thread engine([&] {
        answer = notifier.send({0x7EA5, 20});
        finished = true;
    });
    ASSERT_TRUE(pellora::test::waitFor([&] { return finished.load(); }));
    engine.join();
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(*answer, 20 * 2 + 0x7EA5);
    EXPECT_EQ(handlerThread, QCoreApplication::instance()->thread());
}

TEST(QtNotifier, SendOnTheOwnersThreadRunsAtOnce) {
    QtNotifier notifier;
    int calls = 0;
    notifier.setHandler([&](const Notification&) { return ++calls; });
    EXPECT_EQ(notifier.send({1, 0}), std::optional<std::int64_t>(1));
    EXPECT_EQ(calls, 1);
}

TEST(QtNotifier, SendGivesUpWhenTheGuiThreadDoesNotAnswerAndTheNotificationIsDropped) {
    QtNotifier notifier;
    int calls = 0;
    notifier.setHandler([&](const Notification&) { return ++calls; });
    std::optional<std::int64_t> answer{-1};
    const auto start = std::chrono::steady_clock::now();
    // The GUI thread is busy (blocked in join) while the engine sends.
    std::thread engine([&] { answer = notifier.send({2, 0}, 150ms); });
    engine.join();
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_FALSE(answer.has_value());
    EXPECT_GE(waited, 140ms);
    EXPECT_LT(waited, 2000ms);
    // When the GUI thread runs again, the abandoned notification must not run late.
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    EXPECT_EQ(calls, 0);
}

TEST(QtNotifier, DefaultTimeOutIsOneSecond) {
    EXPECT_EQ(pellora::fax::Notifier::kSendTimeout, 1000ms);
    QtNotifier notifier;
    notifier.setHandler([](const Notification&) { return 1; });
    std::optional<std::int64_t> answer{-1};
    const auto start = std::chrono::steady_clock::now();
    std::thread engine([&] { answer = notifier.send({2, 0}); });
    engine.join();
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_FALSE(answer.has_value());
    EXPECT_GE(waited, 990ms);
    EXPECT_LT(waited, 3000ms);
    QCoreApplication::processEvents();
}

TEST(QtNotifier, PostReturnsAtOnceAndDeliversInOrderOnTheGuiThread) {
    QtNotifier notifier;
    std::vector<int> seen;
    std::vector<QThread*> threads;
    notifier.setHandler([&](const Notification& n) {
        seen.push_back(static_cast<int>(n.payload));
        threads.push_back(QThread::currentThread());
        return 0;
    });
    std::thread engine([&] {
        for (int i = 1; i <= 5; ++i) notifier.post({0x7EA7, i});
    });
    engine.join();
    EXPECT_TRUE(seen.empty());  // nothing runs until the GUI thread takes its events
    ASSERT_TRUE(pellora::test::waitFor([&] { return seen.size() == 5; }));
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3, 4, 5}));
    for (QThread* t : threads) EXPECT_EQ(t, QCoreApplication::instance()->thread());

    // A post from the GUI thread itself is queued too, not run inside post().
    notifier.post({0x7EA7, 6});
    EXPECT_EQ(seen.size(), 5u);
    ASSERT_TRUE(pellora::test::waitFor([&] { return seen.size() == 6; }));
}

TEST(QtNotifier, AHandlerThatThrowsAnswersZeroAndTheProgramGoesOn) {
    QtNotifier notifier;
    notifier.setHandler([](const Notification&) -> std::int64_t { throw std::runtime_error("x"); });
    std::optional<std::int64_t> answer;
    std::atomic<bool> finished{false};
    std::thread engine([&] {
        answer = notifier.send({3, 0});
        finished = true;
    });
    ASSERT_TRUE(pellora::test::waitFor([&] { return finished.load(); }));
    engine.join();
    EXPECT_EQ(answer, std::optional<std::int64_t>(0));
}

TEST(QtNotifier, WithoutHandlerTheAnswerIsZero) {
    QtNotifier notifier;
    EXPECT_EQ(notifier.send({1, 0}), std::optional<std::int64_t>(0));
}

// Eats quit events so that the test application itself does not stop.
class QuitEater : public QObject {
protected:
    bool eventFilter(QObject*, QEvent* e) override { return e->type() == QEvent::Quit; }
};

TEST(QtMessagePump, RunsPendingEventsAndReportsAQuitRequest) {
    QuitEater eater;
    qApp->installEventFilter(&eater);  // installed first, so the pump sees events before it
    {
        QtMessagePump pump;
        bool ran = false;
        QTimer::singleShot(0, [&] { ran = true; });
        EXPECT_TRUE(pump.processPending());
        EXPECT_TRUE(ran);

        QEvent quit(QEvent::Quit);
        QCoreApplication::sendEvent(qApp, &quit);
        EXPECT_FALSE(pump.processPending());
        EXPECT_TRUE(pump.quitRequested());
    }
    qApp->removeEventFilter(&eater);
}

}  // namespace
