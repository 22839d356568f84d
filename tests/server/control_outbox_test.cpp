#include "server/control_outbox.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "protocol/messages.h"

namespace tarvello::test {
namespace {

using Push = ControlOutbox::Push;

// Writes everything queued, in order, as the connection would.
std::vector<Bytes> drain(ControlOutbox& box) {
    std::vector<Bytes> out;
    while (const Bytes* f = box.beginWrite()) {
        out.push_back(*f);
        box.finishWrite();
    }
    return out;
}

// A framed one-shot message (a text-focus type) with `payload` bytes after its type.
Bytes bigOneShot(size_t payload) {
    Bytes frame(3 + payload, 0);
    frame[0] = static_cast<uint8_t>((payload + 1) >> 8);
    frame[1] = static_cast<uint8_t>(payload + 1);
    frame[2] = static_cast<uint8_t>(MsgType::textFocus);
    return frame;
}

TEST(ControlOutbox, RefreshedKindsKeepOnlyTheirNewestUnsentFrameInItsPlace) {
    ControlOutbox box;
    EXPECT_EQ(box.push(buildCursor(0.1f, 0.1f)), Push::queued);
    EXPECT_EQ(box.push(buildMicRequest(true)), Push::queued);
    EXPECT_EQ(box.push(buildCursor(0.2f, 0.2f)), Push::replaced);
    EXPECT_EQ(box.push(buildServerStats(1000, 60)), Push::queued);
    EXPECT_EQ(box.push(buildServerStats(2000, 60)), Push::replaced);
    EXPECT_EQ(box.push(buildPong(7)), Push::queued);
    EXPECT_EQ(box.push(buildPong(8)), Push::queued);  // every echo counts
    EXPECT_EQ(box.bytes(), buildCursor(0, 0).size() + buildMicRequest(true).size() +
                               buildServerStats(0, 0).size() + 2 * buildPong(0).size());
    EXPECT_EQ(drain(box), (std::vector<Bytes>{buildCursor(0.2f, 0.2f), buildMicRequest(true),
                                              buildServerStats(2000, 60), buildPong(7), buildPong(8)}));
    EXPECT_EQ(box.bytes(), 0u);
}

TEST(ControlOutbox, FrameOnTheWireIsNeverReplaced) {
    ControlOutbox box;
    box.push(buildCursor(0.1f, 0.1f));
    const Bytes* writing = box.beginWrite();
    ASSERT_NE(writing, nullptr);
    EXPECT_EQ(box.beginWrite(), nullptr) << "one write at a time";
    EXPECT_EQ(box.push(buildCursor(0.2f, 0.2f)), Push::queued);
    EXPECT_EQ(*writing, buildCursor(0.1f, 0.1f));
    EXPECT_EQ(box.push(buildCursor(0.3f, 0.3f)), Push::replaced);
    box.finishWrite();
    EXPECT_EQ(drain(box), std::vector<Bytes>{buildCursor(0.3f, 0.3f)});
}

TEST(ControlOutbox, ASlowReaderLosesRefreshedFramesNeverOneShots) {
    ControlOutbox box;
    const Bytes chunk = bigOneShot(60000);
    while (box.bytes() <= ControlOutbox::kSoftBudget) ASSERT_EQ(box.push(chunk), Push::queued);
    EXPECT_EQ(box.push(buildCursor(0.5f, 0.5f)), Push::dropped);
    EXPECT_EQ(box.push(buildServerStats(1, 1)), Push::dropped);
    EXPECT_EQ(box.push(buildPong(1)), Push::queued) << "not a refreshed kind";
    EXPECT_EQ(box.push(buildMicRequest(true)), Push::queued);
    EXPECT_EQ(box.push(buildTextFocus(true)), Push::queued);

    // Past the hard budget the reader has stopped: the caller closes the connection.
    Push last = Push::queued;
    while (last == Push::queued) last = box.push(chunk);
    EXPECT_EQ(last, Push::overflow);
    EXPECT_LE(box.bytes(), ControlOutbox::kHardBudget);
    const auto written = drain(box);
    EXPECT_EQ(std::count(written.begin(), written.end(), buildMicRequest(true)), 1);
    EXPECT_EQ(std::count(written.begin(), written.end(), buildTextFocus(true)), 1);
}

TEST(ControlOutbox, EmptyOrTruncatedFramesAreHandledAsOrdinaryBytes) {
    ControlOutbox box;
    EXPECT_EQ(box.push({}), Push::dropped);
    EXPECT_EQ(box.push(Bytes{0x00}), Push::queued);
    EXPECT_EQ(box.push(Bytes{0x00}), Push::queued);
    EXPECT_EQ(box.size(), 2u);
}

}  // namespace
}  // namespace tarvello::test
