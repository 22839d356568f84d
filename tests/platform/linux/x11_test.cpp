// clang-format off
// gtest first: Xlib's macros (None, Bool) break its headers.
#include <gtest/gtest.h>
#include "platform/linux/x11.h"
#include <X11/extensions/XShm.h>
// clang-format on

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/linux/child_process.h"
#include "platform/linux/xvfb_server.h"

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
    if (options.executable.empty()) GTEST_SKIP() << "Xvfb is not installed";
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

}  // namespace
}  // namespace tarvello::test
