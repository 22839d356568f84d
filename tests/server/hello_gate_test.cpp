#include "server/hello_gate.h"

#include <gtest/gtest.h>

#include "protocol/messages.h"
#include "server/line_folder.h"

namespace tarvello {
namespace {

Bytes payloadOf(const Hello& h) {
    const Bytes framed = buildHello(h);
    return Bytes(framed.begin() + 3, framed.end());  // u16 length, type
}

TEST(HelloGate, AcceptsTheCodeAndClampsThePictureToWhatWeServe) {
    HelloGate gate;
    auto v =
        gate.check("10.0.0.2", payloadOf({3, 60000, 2556, 120, "123456\nAda's phone"}), 1, "123456", 2.0);
    ASSERT_TRUE(v.accepted) << v.refusal;
    EXPECT_EQ(v.width, HelloGate::maxSide);
    EXPECT_EQ(v.height, 2556);
    EXPECT_EQ(v.refreshRate, 120);
    EXPECT_EQ(v.clientName, "Ada's phone");
    EXPECT_FALSE(v.storeScale);
}

TEST(HelloGate, AnEmptyStoredCodeMatchesNothing) {
    HelloGate gate;
    auto v = gate.check("10.0.0.2", payloadOf({3, 320, 240, 60, ""}), 1, "", 2.0);
    EXPECT_FALSE(v.accepted);
    EXPECT_EQ(v.refusal, "Wrong code");
}

TEST(HelloGate, TextSizeTravelsInRefusedHellosButIsWrittenOnlyWhenNewAndAtMostOnceASecond) {
    HelloGate gate;
    auto v = gate.check("a", payloadOf({3, 320, 240, 60, "000000\nP\n2.5"}), 10.0, "123456", 2.0);
    EXPECT_FALSE(v.accepted);
    EXPECT_EQ(v.storeScale, 2.5);
    v = gate.check("b", payloadOf({3, 320, 240, 60, "000000\nP\n3"}), 10.5, "123456", 2.5);
    EXPECT_FALSE(v.storeScale);
    v = gate.check("c", payloadOf({3, 320, 240, 60, "000000\nP\n2.5"}), 11.0, "123456", 2.5);
    EXPECT_FALSE(v.storeScale);  // unchanged
    v = gate.check("d", payloadOf({3, 320, 240, 60, "000000\nP\n3"}), 11.0, "123456", 2.5);
    EXPECT_EQ(v.storeScale, 3.0);
}

TEST(HelloGate, ANewCodeClearsTheThrottles) {
    HelloGate gate;
    double now = 50;
    for (int i = 0; i < 6; ++i)
        gate.check("10.0.0.9", payloadOf({3, 320, 240, 60, "999999"}), now += 0.2, "123456", 2);
    auto v = gate.check("10.0.0.9", payloadOf({3, 320, 240, 60, "123456"}), now, "123456", 2);
    EXPECT_EQ(v.refusal.rfind("Too many attempts", 0), 0u) << v.refusal;
    v = gate.check("10.0.0.9", payloadOf({3, 320, 240, 60, "222222"}), now, "222222", 2);
    EXPECT_TRUE(v.accepted) << v.refusal;
}

TEST(LineFolder, PassesTwentyAMinuteThenSummarisesTheRest) {
    LineFolder folder("refusals");
    int passed = 0;
    for (int i = 0; i < 100; ++i) passed += folder.add(100 + i * 0.1).pass;
    EXPECT_EQ(passed, 20);
    EXPECT_TRUE(folder.holding());
    EXPECT_FALSE(folder.flush(159.9));  // the minute is not over
    EXPECT_EQ(folder.flush(160.0), "\u2026 80 more refusals in the last minute");
    EXPECT_FALSE(folder.flush(161.0));
    // A new minute starts afresh; its own summary rides on the first line after it.
    for (int i = 0; i < 25; ++i) folder.add(161.0);
    auto out = folder.add(221.5);
    EXPECT_TRUE(out.pass);
    EXPECT_EQ(out.summary, "\u2026 5 more refusals in the last minute");
}

}  // namespace
}  // namespace tarvello
