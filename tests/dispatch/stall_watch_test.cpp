#include "dispatch/stall_watch.h"

#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <vector>

#include "support/eventually.h"

namespace tarvello {
namespace {

using test::eventually;

// A task that holds its queue until released; construction returns once it runs and
// release() once it has ended.
class Blocker {
public:
    enum class Via { async, timer, sync };
    Blocker(Queue& q, Via via = Via::async) {
        auto body = [s = state_] {
            s->entered.set_value();
            s->released.wait();
            s->left.set_value();
        };
        if (via == Via::async) q.async(body);
        if (via == Via::timer) timer_ = q.after(0, body);
        if (via == Via::sync) syncer_ = std::thread([&q, body] { q.sync(body); });
        state_->entered.get_future().wait();
    }
    ~Blocker() { release(); }
    void release() {
        std::call_once(released_, [this] {
            state_->release.set_value();
            state_->left.get_future().wait();
        });
        if (syncer_.joinable()) syncer_.join();
    }

private:
    struct State {
        std::promise<void> entered, release, left;
        std::shared_future<void> released = release.get_future().share();
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
    std::once_flag released_;
    TimerHandle timer_;
    std::thread syncer_;
};

// Reports routed to the test for its lifetime.
class Reports {
public:
    Reports() {
        setStallReporter([this](const std::string& label, double seconds) {
            std::lock_guard lock(m_);
            seen_.push_back({label, seconds});
        });
    }
    ~Reports() { setStallReporter({}); }
    std::vector<StallWatch::Stall> about(const std::string& label) const {
        std::lock_guard lock(m_);
        std::vector<StallWatch::Stall> out;
        for (const auto& s : seen_)
            if (s.label == label) out.push_back(s);
        return out;
    }

private:
    mutable std::mutex m_;
    std::vector<StallWatch::Stall> seen_;
};

bool stalledNamed(const StallWatch& watch, const std::string& label) {
    for (const auto& s : watch.stalled())
        if (s.label == label) return true;
    return false;
}

TEST(StallWatch, ReportsALongTaskOnceWithItsQueueAndRunTime) {
    Reports reports;
    auto clock = std::make_shared<ManualClock>();
    StallWatch watch(clock, 2.0);
    SerialQueue q("test.stall.long");
    Blocker task(q);

    watch.check();
    clock->advance(1.9);
    watch.check();
    EXPECT_FALSE(stalledNamed(watch, "test.stall.long"));
    EXPECT_TRUE(reports.about("test.stall.long").empty());

    clock->advance(0.6);
    watch.check();
    EXPECT_TRUE(watch.anyStalled());
    ASSERT_EQ(reports.about("test.stall.long").size(), 1u);
    EXPECT_NEAR(reports.about("test.stall.long")[0].seconds, 2.5, 1e-9);

    clock->advance(5);
    watch.check();
    EXPECT_EQ(reports.about("test.stall.long").size(), 1u);  // once per task
    ASSERT_TRUE(stalledNamed(watch, "test.stall.long"));

    task.release();
    ASSERT_TRUE(q.sync([] {}));
    watch.check();
    EXPECT_FALSE(stalledNamed(watch, "test.stall.long"));
}

TEST(StallWatch, TimesEachTaskOnItsOwnNotTheQueuesBusyStretch) {
    Reports reports;
    auto clock = std::make_shared<ManualClock>();
    StallWatch watch(clock, 2.0);
    SerialQueue q("test.stall.chain");
    {
        Blocker first(q);
        watch.check();
        clock->advance(1.5);
        watch.check();
    }
    Blocker second(q);
    clock->advance(1.5);
    watch.check();  // busy for 3 s, but with a task first seen now
    EXPECT_FALSE(stalledNamed(watch, "test.stall.chain"));
    clock->advance(2.1);
    watch.check();
    EXPECT_TRUE(stalledNamed(watch, "test.stall.chain"));
    EXPECT_EQ(reports.about("test.stall.chain").size(), 1u);
}

TEST(StallWatch, SeesTimerCallbacksAndSyncWorkButNotAnIdleQueue) {
    Reports reports;
    auto clock = std::make_shared<ManualClock>();
    StallWatch watch(clock, 2.0);
    SerialQueue idle("test.stall.idle");
    SerialQueue timed("test.stall.timer");
    SerialQueue synced("test.stall.sync");
    Blocker t(timed, Blocker::Via::timer);
    Blocker s(synced, Blocker::Via::sync);
    watch.check();
    clock->advance(3);
    watch.check();
    EXPECT_TRUE(stalledNamed(watch, "test.stall.timer"));
    EXPECT_TRUE(stalledNamed(watch, "test.stall.sync"));
    EXPECT_FALSE(stalledNamed(watch, "test.stall.idle"));
    EXPECT_TRUE(reports.about("test.stall.idle").empty());
}

TEST(StallWatch, ADestroyedQueueIsForgotten) {
    auto clock = std::make_shared<ManualClock>();
    StallWatch watch(clock, 2.0);
    // By label: other queues (the main queue among them) may appear meanwhile.
    auto listed = [] {
        int n = 0;
        for (const auto& a : liveQueueActivities()) n += a->label == "test.stall.gone";
        return n;
    };
    {
        SerialQueue q("test.stall.gone");
        EXPECT_EQ(listed(), 1);
    }
    EXPECT_EQ(listed(), 0);
}

TEST(StallWatch, StartedWatchChecksOnItsOwn) {
    Reports reports;
    auto clock = std::make_shared<ManualClock>();
    StallWatch watch(clock, 2.0);
    SerialQueue q("test.stall.started");
    Blocker task(q);
    watch.start(0.001);
    // The first check must see the task before time moves, or it would be timed from later.
    ASSERT_TRUE(eventually([&] {
        clock->advance(0.01);
        return !reports.about("test.stall.started").empty();
    }));
    EXPECT_TRUE(watch.anyStalled());
    watch.stop();
    watch.stop();  // idempotent
}

}  // namespace
}  // namespace tarvello
