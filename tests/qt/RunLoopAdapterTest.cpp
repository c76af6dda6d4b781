#include "platform/qt/RunLoopAdapter.h"

#include <QCoreApplication>
#include <QDialog>
#include <QMenu>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/RunLoopTimer.h"

namespace {

constexpr int kWaitLimitMs = 10000;

// Counts the wake-ups that Qt delivers to a socket notifier.
class WakeUpCounter : public QObject {
public:
    int count = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        count += event->type() == QEvent::SockAct ? 1 : 0;
        return false;
    }
};

class RunLoopAdapterTest : public ::testing::Test {
protected:
    RunLoop loop_;
    RunLoopAdapter adapter_{loop_};
};

TEST_F(RunLoopAdapterTest, RunsPostedCallsOnTheQtThreadInPostingOrder) {
    constexpr int kCalls = 2000;
    std::vector<int> ran;
    bool allOnQtThread = true;
    std::thread poster([&] {
        for (int i = 0; i < kCalls; ++i)
            loop_.post([&, i] {
                ran.push_back(i);
                allOnQtThread = allOnQtThread && QThread::currentThread() == qApp->thread();
            });
    });
    poster.join();
    ASSERT_TRUE(QTest::qWaitFor([&] { return ran.size() == kCalls; }, kWaitLimitMs));
    EXPECT_TRUE(allOnQtThread);
    for (int i = 0; i < kCalls; ++i)
        ASSERT_EQ(ran[static_cast<std::size_t>(i)], i);
}

TEST_F(RunLoopAdapterTest, ABurstOfPostsWakesQtOnce) {
    QCoreApplication::processEvents();
    WakeUpCounter wakeUps;
    adapter_.findChild<QSocketNotifier*>()->installEventFilter(&wakeUps);
    int ran = 0;
    // The burst is posted while the Qt thread is busy (here: waiting for the poster).
    std::thread poster([&] {
        for (int i = 0; i < 1000; ++i)
            loop_.post([&] { ++ran; });
    });
    poster.join();
    ASSERT_TRUE(QTest::qWaitFor([&] { return ran == 1000; }, kWaitLimitMs));
    // Served, the wake-up is spent: more turns of Qt's loop find nothing to wake for.
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    EXPECT_EQ(wakeUps.count, 1);

    // The next post wakes Qt again.
    loop_.post([&] { ++ran; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return ran == 1001; }, kWaitLimitMs));
    EXPECT_EQ(wakeUps.count, 2);
}

TEST_F(RunLoopAdapterTest, ATimerMadeAfterPostsFiresByItsOwnDeadlineNotTheOneArmedBefore) {
    // Qt's timer is armed for a deadline 30 to 60 s away, and posted calls wake Qt without
    // moving it.
    int late = 0;
    const auto lateTimer =
        loop_.scheduledTimerWithTimeInterval(30.0, [&](RunLoopTimer&) { ++late; });
    int ran = 0;
    for (int batch = 1; batch <= 3; ++batch) {
        std::thread([&] { loop_.post([&] { ++ran; }); }).join();
        ASSERT_TRUE(QTest::qWaitFor([&] { return ran == batch; }, kWaitLimitMs));
    }
    // A nearer deadline must re-arm it: waiting for the armed one would take 30 s or more.
    int soon = 0;
    const auto soonTimer =
        loop_.scheduledTimerWithTimeInterval(0.01, [&](RunLoopTimer&) { ++soon; });
    EXPECT_TRUE(QTest::qWaitFor([&] { return soon >= 2; }, kWaitLimitMs));
    EXPECT_EQ(late, 0);
    soonTimer->invalidate();
    lateTimer->invalidate();
}

TEST_F(RunLoopAdapterTest, TimersAndPostedCallsRunInsideAModalLoop) {
    QDialog dialog;
    int firings = 0;
    std::thread poster;
    const auto timer = loop_.scheduledTimerWithTimeInterval(0.01, [&](RunLoopTimer&) {
        // The third firing has another thread post the call that ends the dialog.
        if (++firings == 3)
            poster = std::thread([&] { loop_.post([&] { dialog.accept(); }); });
    });
    // A dialog that is never served would otherwise keep the test waiting for ever.
    QTimer::singleShot(kWaitLimitMs, &dialog, &QDialog::reject);
    EXPECT_EQ(dialog.exec(), QDialog::Accepted);
    EXPECT_GE(firings, 3);
    timer->invalidate();
    if (poster.joinable())
        poster.join();
}

TEST_F(RunLoopAdapterTest, AHeldControlServesTheEventTrackingTimersOnly) {
    QPushButton button(QStringLiteral("Hold"));
    button.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&button));
    int defaultOnly = 0;
    const auto defaultMode =
        loop_.scheduledTimerWithTimeInterval(0.01, [&](RunLoopTimer&) { ++defaultOnly; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return defaultOnly >= 2; }, kWaitLimitMs));

    QTest::mousePress(&button, Qt::LeftButton);
    ASSERT_TRUE(button.isDown());
    QCoreApplication::processEvents();
    const int defaultWhenPressed = defaultOnly;
    // Five firings of one 10 ms timer span more than one interval of the other. The timer
    // then ends itself, so that afterwards no timer of the event-tracking mode is left and
    // only the release itself can bring the default timers back.
    int tracking = 0;
    const auto bothModes = loop_.scheduledTimerWithTimeInterval(0.01, [&](RunLoopTimer& self) {
        if (++tracking == 5)
            self.invalidate();
    });
    loop_.addTimer(bothModes, RunLoop::Mode::EventTracking);
    ASSERT_TRUE(QTest::qWaitFor([&] { return tracking == 5; }, kWaitLimitMs));
    EXPECT_EQ(defaultOnly, defaultWhenPressed);

    QTest::mouseRelease(&button, Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor([&] { return defaultOnly > defaultWhenPressed; }, kWaitLimitMs));
    defaultMode->invalidate();
}

TEST_F(RunLoopAdapterTest, AnOpenMenuServesTheEventTrackingTimers) {
    int tracking = 0;
    const auto timer =
        loop_.scheduledTimerWithTimeInterval(0.01, [&](RunLoopTimer&) { ++tracking; });
    loop_.addTimer(timer, RunLoop::Mode::EventTracking);
    int defaultOnly = 0;
    const auto defaultMode =
        loop_.scheduledTimerWithTimeInterval(0.01, [&](RunLoopTimer&) { ++defaultOnly; });
    QMenu menu;
    menu.addAction(QStringLiteral("Item"));
    int defaultWhenOpen = -1;
    const auto closer = loop_.scheduledTimerWithTimeInterval(0.01, [&](RunLoopTimer& self) {
        if (defaultWhenOpen < 0)
            defaultWhenOpen = defaultOnly;
        if (tracking >= 5) {
            self.invalidate();
            menu.close();
        }
    });
    loop_.addTimer(closer, RunLoop::Mode::EventTracking);
    QTimer::singleShot(kWaitLimitMs, &menu, &QMenu::close);
    menu.exec(QPoint(0, 0));
    EXPECT_GE(tracking, 5);
    EXPECT_EQ(defaultOnly, defaultWhenOpen);
    timer->invalidate();
    defaultMode->invalidate();
}

} // namespace
