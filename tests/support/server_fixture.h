#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "base/settings.h"
#include "base/settings_store.h"
#include "dispatch/clock.h"
#include "platform/sim/sim_platform.h"
#include "server/server.h"
#include "support/log_capture.h"
#include "support/test_phone.h"

namespace tarvello::test {

inline constexpr const char* kCode = "123456";

// A real server on loopback with ephemeral ports, the in-memory platform and a fresh
// settings store holding a known pairing code.
class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        store = std::make_shared<MemoryStore>();
        store->setString(SettingsKey::token, kCode);
        Settings::useStore(store);
        options.controlPort = 0;
        options.videoPort = 0;
        options.bindAddress = "127.0.0.1";
        options.rejectCloseDelay = 0.05;
    }

    void TearDown() override {
        if (server) server->stop();
        server.reset();
    }

    // Starts the server with the options as the test left them.
    void startServer() {
        platform = makeSimPlatform(sim);
        server = Server::create(platform, options);
        ASSERT_TRUE(server->start());
        ASSERT_NE(server->controlPort(), 0);
    }

    // A phone that connected and was accepted at a small size, so encoding stays cheap.
    std::unique_ptr<TestPhone> acceptedPhone(uint16_t w = 321, uint16_t h = 241, uint8_t refresh = 60,
                                             const std::string& name = "Phone") {
        auto p = std::make_unique<TestPhone>();
        EXPECT_TRUE(p->connect(server->controlPort()));
        auto ack = p->hello(std::string(kCode) + "\n" + name, w, h, refresh);
        EXPECT_TRUE(ack && ack->accepted) << (ack ? ack->text : "no helloAck");
        if (ack) lastAck = *ack;
        return p;
    }

    void registerVideo(TestPhone& p, uint32_t sessionId) {
        ASSERT_TRUE(p.openUdp());
        ASSERT_TRUE(p.sendUdp(server->videoPort(), buildRegistration(sessionId)));
    }

    std::shared_ptr<MemoryStore> store;
    ServerOptions options;
    SimHandles sim;
    Platform platform;
    std::shared_ptr<Server> server;
    HelloAck lastAck;
    LogCapture logs;
};

}  // namespace tarvello::test
