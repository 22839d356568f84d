#include "base/notification_center.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "dispatch/serial_queue.h"

namespace tarvello {
namespace {

void drainMainQueue() {
    ASSERT_TRUE(mainQueue().sync([] {}));
}

TEST(NotificationCenter, PostFromAnotherThreadIsDeliveredOnTheMainQueue) {
    auto& center = NotificationCenter::shared();
    std::promise<bool> onMain;
    auto delivered = onMain.get_future();
    std::atomic<int> calls{0};
    int id = center.observe(Notification::showOnboarding, [&] {
        if (calls++ == 0) onMain.set_value(mainQueue().isCurrent());
    });
    std::thread([&] { center.post(Notification::showOnboarding); }).join();
    ASSERT_EQ(delivered.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_TRUE(delivered.get());
    drainMainQueue();
    center.unobserve(id);
    EXPECT_EQ(calls.load(), 1);
}

TEST(NotificationCenter, PostOnTheMainQueueDeliversBeforeReturning) {
    auto& center = NotificationCenter::shared();
    int calls = 0;
    int id = center.observe(Notification::settingsChanged, [&] { ++calls; });
    int seenRightAfterPost = -1;
    ASSERT_TRUE(mainQueue().sync([&] {
        center.post(Notification::settingsChanged);
        seenRightAfterPost = calls;
    }));
    center.unobserve(id);
    EXPECT_EQ(seenRightAfterPost, 1);
}

TEST(NotificationCenter, OnlyObserversOfThatNameStillRegisteredAreCalled) {
    auto& center = NotificationCenter::shared();
    std::atomic<int> settings{0}, onboarding{0}, removed{0};
    int a = center.observe(Notification::settingsChanged, [&] { ++settings; });
    int b = center.observe(Notification::showOnboarding, [&] { ++onboarding; });
    int c = center.observe(Notification::settingsChanged, [&] { ++removed; });
    center.unobserve(c);
    center.post(Notification::settingsChanged);
    center.post(Notification::settingsChanged);
    drainMainQueue();
    center.unobserve(a);
    center.unobserve(b);
    EXPECT_EQ(settings.load(), 2);
    EXPECT_EQ(onboarding.load(), 0);
    EXPECT_EQ(removed.load(), 0);
}

TEST(NotificationCenter, ObserverMayUnobserveAnotherDuringDelivery) {
    auto& center = NotificationCenter::shared();
    int first = 0, second = 0;
    int secondId = 0;
    int firstId = center.observe("tarvelloTest", [&] {
        ++first;
        NotificationCenter::shared().unobserve(secondId);
    });
    secondId = center.observe("tarvelloTest", [&] { ++second; });
    center.post("tarvelloTest");
    drainMainQueue();
    center.unobserve(firstId);
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 0);
}

TEST(NotificationCenter, PostsFromManyThreadsAllArrive) {
    auto& center = NotificationCenter::shared();
    std::atomic<int> calls{0}, offMain{0};
    int id = center.observe("tarvelloBurst", [&] {
        ++calls;
        if (!mainQueue().isCurrent()) ++offMain;
    });
    std::vector<std::thread> posters;
    for (int t = 0; t < 4; ++t) {
        posters.emplace_back([&] {
            for (int i = 0; i < 100; ++i) center.post("tarvelloBurst");
        });
    }
    for (auto& t : posters) t.join();
    drainMainQueue();
    center.unobserve(id);
    EXPECT_EQ(calls.load(), 400);
    EXPECT_EQ(offMain.load(), 0);
}

}  // namespace
}  // namespace tarvello
