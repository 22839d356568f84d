#include "dispatch/serial_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace tarvello {
namespace {

// Waits until pred holds; a hang is reported by the test runner's timeout, not by timing here.
class Signal {
public:
    void notify() {
        std::lock_guard lock(m_);
        cv_.notify_all();
    }
    template <class Pred>
    void waitFor(Pred pred) {
        std::unique_lock lock(m_);
        cv_.wait(lock, [&] { return pred(); });
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
};

// Holds the queue busy until released, so work can be lined up behind it.
class Gate {
public:
    void block(Queue& q) {
        q.async([this] { released_.wait(); });
    }
    void release() { open_.set_value(); }

private:
    std::promise<void> open_;
    std::shared_future<void> released_{open_.get_future().share()};
};

// A marker timer on the queue: returns once a timer scheduled now with this delay has run,
// proving earlier-due timers had their turn.
void waitForTimer(Queue& q, double seconds) {
    std::promise<void> fired;
    auto fut = fired.get_future();
    q.after(seconds, [&] { fired.set_value(); });
    fut.get();
}

TEST(SerialQueue, AsyncTasksRunInOrderOnTheQueueThread) {
    SerialQueue q("test.order");
    EXPECT_EQ(q.label(), "test.order");
    std::vector<int> seen;
    std::atomic<int> offQueue{0};
    std::thread::id queueThread;
    for (int i = 0; i < 1000; ++i) {
        q.async([&, i] {
            if (!q.isCurrent()) ++offQueue;
            if (i == 0) queueThread = std::this_thread::get_id();
            if (std::this_thread::get_id() != queueThread) ++offQueue;
            seen.push_back(i);
        });
    }
    ASSERT_TRUE(q.sync([] {}));
    ASSERT_EQ(seen.size(), 1000u);
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(seen[size_t(i)], i);
    EXPECT_EQ(offQueue.load(), 0);
    EXPECT_NE(queueThread, std::this_thread::get_id());
    EXPECT_FALSE(q.isCurrent());
}

TEST(SerialQueue, AsyncFromManyThreadsKeepsEachThreadsOrder) {
    SerialQueue q("test.producers");
    constexpr int kThreads = 4, kPerThread = 500;
    std::vector<int> lastSeen(kThreads, -1);
    std::atomic<int> outOfOrder{0};
    std::vector<std::thread> producers;
    for (int t = 0; t < kThreads; ++t) {
        producers.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                q.async([&, t, i] {
                    if (lastSeen[size_t(t)] != i - 1) ++outOfOrder;
                    lastSeen[size_t(t)] = i;
                });
            }
        });
    }
    for (auto& p : producers) p.join();
    ASSERT_TRUE(q.sync([] {}));
    EXPECT_EQ(outOfOrder.load(), 0);
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(lastSeen[size_t(t)], kPerThread - 1);
}

TEST(SerialQueue, SyncFromAnotherThreadWaitsForPriorWorkAndRuns) {
    SerialQueue q("test.sync");
    Gate gate;
    gate.block(q);
    std::atomic<bool> earlierDone{false};
    q.async([&] { earlierDone = true; });

    bool ranOnQueue = false;
    bool sawEarlier = false;
    auto caller = std::async(std::launch::async, [&] {
        return q.sync([&] {
            ranOnQueue = q.isCurrent();
            sawEarlier = earlierDone.load();
        });
    });
    gate.release();
    EXPECT_TRUE(caller.get());
    EXPECT_TRUE(ranOnQueue);
    EXPECT_TRUE(sawEarlier);
}

TEST(SerialQueue, SyncFromItsOwnQueueReturnsFalseWithoutRunning) {
    SerialQueue q("test.reentrant");
    bool innerRan = false;
    bool result = true;
    ASSERT_TRUE(q.sync([&] { result = q.sync([&] { innerRan = true; }); }));
    EXPECT_FALSE(result);
    EXPECT_FALSE(innerRan);
}

TEST(SerialQueue, SyncOntoAnotherQueueFromAQueueWorks) {
    SerialQueue a("test.a"), b("test.b");
    bool onB = false, notOnA = false;
    ASSERT_TRUE(a.sync([&] {
        EXPECT_TRUE(b.sync([&] {
            onB = b.isCurrent();
            notOnA = !a.isCurrent();
        }));
    }));
    EXPECT_TRUE(onB);
    EXPECT_TRUE(notOnA);
}

TEST(SerialQueueTimers, AfterRunsOnceOnTheQueue) {
    SerialQueue q("test.after");
    std::atomic<int> runs{0};
    std::atomic<bool> onQueue{false};
    Signal sig;
    TimerHandle h = q.after(0.001, [&] {
        onQueue = q.isCurrent();
        ++runs;
        sig.notify();
    });
    sig.waitFor([&] { return runs.load() == 1; });
    waitForTimer(q, 0.02);
    EXPECT_EQ(runs.load(), 1);
    EXPECT_TRUE(onQueue.load());
    EXPECT_FALSE(h.active());
}

TEST(SerialQueueTimers, CancelBeforeFireNeverRuns) {
    SerialQueue q("test.cancel");
    std::atomic<bool> ran{false};
    Gate gate;
    gate.block(q);
    TimerHandle h = q.after(0, [&] { ran = true; });
    EXPECT_TRUE(h.active());
    h.cancel();
    EXPECT_FALSE(h.active());
    gate.release();
    waitForTimer(q, 0.02);
    q.stop();  // joins: nothing can run afterwards
    EXPECT_FALSE(ran.load());
}

TEST(SerialQueueTimers, CancelOfACopyCancelsTheSharedTimer) {
    SerialQueue q("test.copy");
    std::atomic<bool> ran{false};
    TimerHandle h = q.after(3600, [&] { ran = true; });
    TimerHandle copy = h;
    copy.cancel();
    EXPECT_FALSE(h.active());
    TimerHandle empty;
    EXPECT_FALSE(empty.active());
    empty.cancel();  // harmless
}

TEST(SerialQueueTimers, CancelReleasesTheCallbackBeforeExpiry) {
    SerialQueue q("test.release");
    auto token = std::make_shared<int>(0);
    TimerHandle once = q.after(3600, [token] {});
    TimerHandle repeat = q.every(3600, 3600, [token] {});
    ASSERT_EQ(token.use_count(), 3);
    once.cancel();
    repeat.cancel();
    // Each round trip lets the queue run what the cancels scheduled.
    for (int i = 0; i < 10 && token.use_count() > 1; ++i) ASSERT_TRUE(q.sync([] {}));
    EXPECT_EQ(token.use_count(), 1);
}

TEST(SerialQueueTimers, EveryRepeatsUntilCancelled) {
    SerialQueue q("test.every");
    std::atomic<int> runs{0};
    Signal sig;
    TimerHandle h = q.every(0, 0.001, [&] {
        ++runs;
        sig.notify();
    });
    sig.waitFor([&] { return runs.load() >= 3; });
    EXPECT_TRUE(h.active());
    h.cancel();
    ASSERT_TRUE(q.sync([] {}));  // a run in progress at cancel has finished
    const int atCancel = runs.load();
    waitForTimer(q, 0.02);
    EXPECT_EQ(runs.load(), atCancel);
    EXPECT_FALSE(h.active());
}

TEST(SerialQueueTimers, EveryCanCancelItselfFromItsCallback) {
    SerialQueue q("test.selfcancel");
    std::atomic<int> runs{0};
    auto handle = std::make_shared<TimerHandle>();
    Signal sig;
    Gate gate;  // the handle is stored before the callback can read it
    gate.block(q);
    *handle = q.every(0, 0.001, [&, handle] {
        if (++runs == 2) handle->cancel();
        sig.notify();
    });
    gate.release();
    sig.waitFor([&] { return runs.load() >= 2; });
    waitForTimer(q, 0.02);
    EXPECT_EQ(runs.load(), 2);
    EXPECT_FALSE(handle->active());
    q.stop();
}

// The camera bridge's pattern: the queue's work replaces the handle while another
// thread cancels and reads the same handle object (run under ThreadSanitizer in CI).
TEST(SerialQueueTimers, HandleCancelledFromAnotherThreadWhileTheQueueReplacesIt) {
    SerialQueue q("test.crossthread");
    TimerHandle h;
    std::atomic<int> runs{0};
    std::atomic<bool> keepArming{true};
    std::function<void()> arm = [&] {
        h = q.after(0, [&] {
            ++runs;
            if (keepArming) arm();
        });
    };
    ASSERT_TRUE(q.sync(arm));
    std::thread canceller([&] {
        while (runs.load() < 2000) {
            h.cancel();
            (void)h.active();
            TimerHandle copy = h;
            copy.cancel();
        }
    });
    // A cancel that lands between a run and its re-arm leaves the chain ended: restart it.
    while (runs.load() < 2000) {
        q.sync([&] {
            if (!h.active()) arm();
        });
    }
    canceller.join();
    keepArming = false;
    ASSERT_TRUE(q.sync([&] { h.cancel(); }));
    const int atCancel = runs.load();
    waitForTimer(q, 0.01);
    EXPECT_EQ(runs.load(), atCancel);
    EXPECT_FALSE(h.active());
}

struct Owner {
    Owner(std::atomic<int>* e, std::atomic<bool>* d) : effects(e), destroyed(d) {}
    std::atomic<int>* effects;
    std::atomic<bool>* destroyed;
    ~Owner() { *destroyed = true; }
};

TEST(Weakly, CallsWithOwnerAndArgumentsOnlyWhileAlive) {
    std::atomic<int> effects{0};
    std::atomic<bool> destroyed{false};
    auto owner = std::make_shared<Owner>(&effects, &destroyed);
    int lastArg = 0;
    auto fn = weakly(owner, [&](Owner& o, int add) {
        *o.effects += add;
        lastArg = add;
    });
    fn(5);
    EXPECT_EQ(effects.load(), 5);
    EXPECT_EQ(lastArg, 5);
    EXPECT_EQ(owner.use_count(), 1);  // the wrapper holds no strong reference
    owner.reset();
    EXPECT_TRUE(destroyed.load());
    fn(7);
    EXPECT_EQ(effects.load(), 5);
    EXPECT_EQ(lastArg, 5);
}

TEST(Weakly, TimerHoldingAWeakOwnerDoesNothingOnceOwnerIsGone) {
    SerialQueue q("test.weak");
    std::atomic<int> effects{0};
    std::atomic<bool> destroyed{false};
    auto owner = std::make_shared<Owner>(&effects, &destroyed);
    std::atomic<int> ticks{0};
    Signal sig;
    TimerHandle h = q.every(0, 0.001, [&, inner = weakly(owner, [](Owner& o) { ++*o.effects; })]() mutable {
        inner();
        ++ticks;
        sig.notify();
    });
    sig.waitFor([&] { return ticks.load() >= 3; });
    int atRelease = 0;
    ASSERT_TRUE(q.sync([&] {
        EXPECT_EQ(effects.load(), ticks.load());
        owner.reset();
        atRelease = effects.load();
    }));
    EXPECT_TRUE(destroyed.load());
    const int ticksAtRelease = ticks.load();
    sig.waitFor([&] { return ticks.load() >= ticksAtRelease + 3; });
    EXPECT_EQ(effects.load(), atRelease);
    h.cancel();
}

TEST(SerialQueueStop, WithPendingLongTimersReturnsAndCancelsThem) {
    SerialQueue q("test.stop");
    std::atomic<bool> ran{false};
    TimerHandle once = q.after(3600, [&] { ran = true; });
    TimerHandle repeat = q.every(3600, 3600, [&] { ran = true; });
    q.stop();
    EXPECT_TRUE(q.stopping());
    EXPECT_FALSE(once.active());
    EXPECT_FALSE(repeat.active());
    EXPECT_FALSE(ran.load());
    q.stop();  // idempotent
    EXPECT_TRUE(q.stopping());
}

TEST(SerialQueueStop, LetsQueuedWorkFinishThenRefusesNewWork) {
    SerialQueue q("test.refuse");
    Gate gate;
    gate.block(q);
    std::atomic<int> queued{0};
    for (int i = 0; i < 10; ++i) q.async([&] { ++queued; });
    auto stopper = std::async(std::launch::async, [&] { q.stop(); });
    gate.release();
    stopper.get();
    EXPECT_EQ(queued.load(), 10);

    std::atomic<bool> late{false};
    q.async([&] { late = true; });
    EXPECT_FALSE(q.sync([&] { late = true; }));
    TimerHandle t = q.after(0, [&] { late = true; });
    TimerHandle e = q.every(0, 0.001, [&] { late = true; });
    EXPECT_FALSE(t.active());
    EXPECT_FALSE(e.active());
    EXPECT_FALSE(late.load());
}

TEST(SerialQueueStop, StopFromItsOwnQueueDoesNotDeadlock) {
    SerialQueue q("test.selfstop");
    std::atomic<bool> after{false};
    ASSERT_TRUE(q.sync([&] { q.stop(); }));
    EXPECT_TRUE(q.stopping());
    q.async([&] { after = true; });
    q.stop();
    EXPECT_FALSE(after.load());
}

TEST(SerialQueueStop, DestroyingAQueueWithPendingTimersReleasesTheirCallbacks) {
    auto token = std::make_shared<int>(0);
    {
        auto q = std::make_unique<SerialQueue>("test.destroy");
        q->after(3600, [token] {});
        q->every(0.5, 3600, [token] {});
        q->async([token] {});
        EXPECT_GT(token.use_count(), 1);
    }
    EXPECT_EQ(token.use_count(), 1);
}

TEST(MainQueueInstance, DestroyedWithoutRunningReleasesPendingWork) {
    auto token = std::make_shared<int>(0);
    {
        MainQueue q;
        q.after(3600, [token] {});
        q.every(0, 3600, [token] {});
        q.async([token] {});
        EXPECT_EQ(token.use_count(), 4);
    }
    EXPECT_EQ(token.use_count(), 1);
}

TEST(MainQueueInstance, QuitLetsWorkSubmittedBeforeItRun) {
    MainQueue q;
    std::atomic<bool> ran{false};
    auto caller = std::async(std::launch::async, [&] { return q.sync([&] { ran = true; }); });
    // sync() may not have posted yet; either it ran or it was refused, never left hanging.
    q.async([] {});
    q.quit();
    q.run();
    const bool result = caller.get();
    EXPECT_EQ(result, ran.load());
    EXPECT_FALSE(q.sync([] {}));
}

TEST(SerialQueueStop, LastReferenceDroppedOnItsOwnQueueIsSafe) {
    auto q = std::make_shared<SerialQueue>("test.ownthread");
    std::promise<bool> ran;
    auto fut = ran.get_future();
    std::weak_ptr<SerialQueue> weak = q;
    q->after(3600, [] {});
    q->async([&ran, keep = q] { ran.set_value(keep->isCurrent()); });
    q.reset();
    EXPECT_TRUE(fut.get());
    // The queue is destroyed on its own thread once the task above is released; a
    // fault here terminates the process.
    while (!weak.expired()) std::this_thread::yield();
}

TEST(SerialQueueStop, SyncRacingWithStopNeverHangs) {
    for (int round = 0; round < 200; ++round) {
        SerialQueue q("test.race");
        std::atomic<int> results{0};
        std::thread caller([&] {
            for (int i = 0; i < 20; ++i) {
                q.sync([] {});
                ++results;
            }
        });
        std::thread timers([&] {
            for (int i = 0; i < 20; ++i) q.after(3600, [] {});
        });
        q.stop();
        caller.join();
        timers.join();
        ASSERT_EQ(results.load(), 20);
    }
}

TEST(MainQueue, RunsPostedWorkOnTheTestsMainThread) {
    bool inside = false;
    ASSERT_TRUE(mainQueue().sync([&] { inside = mainQueue().isCurrent(); }));
    EXPECT_TRUE(inside);
    EXPECT_FALSE(mainQueue().isCurrent());
    EXPECT_EQ(mainQueue().label(), "main");
}

}  // namespace
}  // namespace tarvello
