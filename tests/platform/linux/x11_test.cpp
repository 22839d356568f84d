// clang-format off
// gtest first: Xlib's macros (None, Bool) break its headers.
#include <gtest/gtest.h>
#include "support/require.h"
#include "platform/linux/x11.h"
#include <X11/extensions/XShm.h>
// clang-format on

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "base/child_process.h"
#include "platform/linux/xvfb_server.h"
#include "support/eventually.h"

namespace tarvello::test {
namespace {

// Sessions end and begin while capture, input and the power hold each open and close
// their own connections on their own threads. Xlib and libXext share state between
// those connections (the process ends when a server dies during XOpenDisplay; the
// generic-event record is freed when its last display closes); done wrong, this
// crashes or corrupts the heap within a few rounds.
TEST(XConnection, ThreadsOpenAndCloseWhileServersComeAndGo) {
    XvfbServer::Options options;
    options.executable = findOnPath("Xvfb");
    if (options.executable.empty()) TARVELLO_SKIP_MISSING("Xvfb is not installed");
    options.width = 64;
    options.height = 64;

    std::mutex mutex;
    std::vector<std::unique_ptr<XvfbServer>> servers;
    std::string error;
    for (int i = 0; i < 2; ++i) {
        auto s = XvfbServer::start(options, error);
        ASSERT_TRUE(s) << error;
        servers.push_back(std::move(s));
    }
    auto someName = [&](unsigned pick) {
        std::lock_guard lock(mutex);
        return servers[pick % servers.size()]->name();
    };

    std::atomic<bool> done{false};
    std::atomic<int> opened{0};
    std::vector<std::thread> users;
    for (unsigned t = 0; t < 3; ++t) {
        users.emplace_back([&, t] {
            for (unsigned i = t; !done.load(); ++i) {
                std::string why;
                auto x = XConnection::open(someName(i), why);
                if (!x) continue;
                // MIT-SHM lives in libXext: its first use registers the display there.
                XShmQueryExtension(x->get());
                ++opened;
            }
        });
    }
    bool restarted = true;
    for (int round = 0; round < 12 && restarted; ++round) {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        auto fresh = XvfbServer::start(options, error);
        restarted = fresh != nullptr;
        if (!fresh) break;
        std::unique_ptr<XvfbServer> old;
        {
            std::lock_guard lock(mutex);
            old = std::exchange(servers[size_t(round) % servers.size()], std::move(fresh));
        }
        old.reset();  // ends the server while the threads keep connecting
    }
    done = true;
    for (auto& t : users) t.join();
    EXPECT_TRUE(restarted) << error;
    EXPECT_GT(opened.load(), 0);
}

// Runs fn on a thread of its own; true once it has returned (bounded wait). A call that
// hangs is left behind on its thread, detached, and reported as false.
bool returnsOnAnotherThread(std::function<void()> fn) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread([fn = std::move(fn), done] {
        fn();
        done->store(true);
    }).detach();
    return eventually([&] { return done->load(); }, 20);
}

class LostXConnection : public ::testing::Test {
protected:
    void SetUp() override {
        XvfbServer::Options options;
        options.executable = findOnPath("Xvfb");
        ASSERT_FALSE(options.executable.empty()) << "Xvfb is not installed";
        options.width = 64;
        options.height = 64;
        std::string error;
        server = XvfbServer::start(options, error);
        ASSERT_TRUE(server) << error;
        x = XConnection::open(server->name(), error);
        ASSERT_TRUE(x) << error;
        ASSERT_FALSE(x->lost());
    }

    std::unique_ptr<XvfbServer> server;
    std::unique_ptr<XConnection> x;
};

// Xlib's I/O error path leaves the display locked for the thread that ran into it; the
// session's connections are used and closed from different queues.
TEST_F(LostXConnection, ClosesOnAnotherThreadThanTheCallThatFoundTheServerGone) {
    server.reset();
    Display* d = x->get();
    // The failing thread stays alive meanwhile: a new thread could otherwise reuse its
    // identity and pass for the lock's owner.
    auto found = std::make_shared<std::atomic<bool>>(false);
    auto leave = std::make_shared<std::atomic<bool>>(false);
    std::thread failing([d, found, leave] {
        Window root = 0, child = 0;
        int rx = 0, ry = 0, wx = 0, wy = 0;
        unsigned mask = 0;
        XQueryPointer(d, DefaultRootWindow(d), &root, &child, &rx, &ry, &wx, &wy, &mask);
        XSync(d, False);
        found->store(true);
        eventually([&] { return leave->load(); }, 60);
    });
    const bool returned = eventually([&] { return found->load(); }, 20);
    EXPECT_TRUE(returned);
    EXPECT_TRUE(x->lost());
    EXPECT_TRUE(returnsOnAnotherThread([d] { XPending(d); }));
    auto* connection = x.release();
    EXPECT_TRUE(returnsOnAnotherThread([connection] { delete connection; }));
    leave->store(true);
    if (returned) {
        failing.join();
    } else {
        failing.detach();
    }
}

TEST_F(LostXConnection, IsSeenLostBeforeAnyCallAndThenCostsNothing) {
    server.reset();
    EXPECT_TRUE(eventually([&] { return x->lost(); }));
    Display* d = x->get();
    EXPECT_TRUE(returnsOnAnotherThread([d] {
        XSync(d, False);
        XPending(d);
    }));
    auto* connection = x.release();
    EXPECT_TRUE(returnsOnAnotherThread([connection] { delete connection; }));
}

}  // namespace
}  // namespace tarvello::test
