// The video frame reassembler under fuzzer-chosen fragment streams: memory stays
// within the limits, every frame it returns is whole and in order, and no frame
// comes out twice or after a newer one.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>

#include "fragments.h"
#include "fuzz_check.h"
#include "protocol/datagram.h"
#include "protocol/frame_reassembler.h"
#include "protocol/pontel.h"

using namespace tarvello;

namespace {

FrameReassembler::Limits limitsFrom(FuzzedDataProvider& fdp) {
    FrameReassembler::Limits l;
    l.maxFramesInFlight = fdp.ConsumeIntegralInRange<size_t>(0, 6);
    l.maxBytesInFlight = fdp.ConsumeIntegralInRange<size_t>(0, 64 << 10);
    l.staleWindow = fdp.ConsumeIntegralInRange<uint32_t>(0, 300);
    l.resyncDistance = fdp.ConsumeIntegralInRange<uint32_t>(1, 1u << 16);
    return l;
}

void checkBounds(const FrameReassembler& r, const FrameReassembler::Limits& l) {
    FUZZ_CHECK(r.framesInFlight() <= std::max<size_t>(1, l.maxFramesInFlight));
    FUZZ_CHECK(r.bytesInFlight() <= l.maxBytesInFlight);
}

// Self-naming fragments of frames near a fuzzer-chosen base id (so the numbering
// wraps now and then). Ids stay closer than the stale window and the resync
// distance, so the sender never looks restarted and completed ids must only grow.
void orderedStream(FuzzedDataProvider& fdp) {
    FrameReassembler::Limits l = limitsFrom(fdp);
    l.staleWindow = std::max<uint32_t>(l.staleWindow, 64);
    l.resyncDistance = std::max<uint32_t>(l.resyncDistance, 64);
    FrameReassembler r(l);
    const uint32_t base = fdp.ConsumeIntegral<uint32_t>();
    bool haveLast = false;
    uint32_t last = 0;
    uint64_t completed = 0;
    while (fdp.remaining_bytes() > 0) {
        VideoPacketHeader h;
        h.frameId = base + fdp.ConsumeIntegralInRange<uint32_t>(0, 63);
        h.fragCount = fdp.ConsumeIntegralInRange<uint16_t>(0, 9);
        h.fragIndex = fdp.ConsumeIntegralInRange<uint16_t>(0, 9);
        h.flags = fdp.ConsumeIntegral<uint8_t>();
        const size_t length = fdp.ConsumeIntegralInRange<size_t>(0, 1200);
        const Bytes payload = fuzz::selfNamingFragment(h.frameId, h.fragIndex, h.fragCount, length);
        auto frame = r.push(h, payload);
        checkBounds(r, l);
        if (!frame) continue;
        ++completed;
        FUZZ_CHECK(frame->frameId == h.frameId);
        FUZZ_CHECK(!haveLast || serialNewer(frame->frameId, last));
        fuzz::checkSelfNamingFrame(frame->data, frame->frameId, true);
        haveLast = true;
        last = frame->frameId;
    }
    FUZZ_CHECK(r.counters().framesCompleted == completed);
}

// Raw datagrams with any header at all: only the bounds and the accounting can be checked.
void rawDatagrams(FuzzedDataProvider& fdp) {
    const FrameReassembler::Limits l = limitsFrom(fdp);
    FrameReassembler r(l);
    uint64_t fed = 0, completed = 0;
    while (fdp.remaining_bytes() > 0) {
        const Bytes d = fdp.ConsumeBytes<uint8_t>(fdp.ConsumeIntegralInRange<size_t>(0, 64));
        auto frame = r.pushDatagram(d);
        ++fed;
        checkBounds(r, l);
        if (frame) {
            ++completed;
            FUZZ_CHECK(!frame->data.empty());
        }
        if (fdp.ConsumeIntegralInRange<int>(0, 63) == 0) {
            r.reset();
            FUZZ_CHECK(r.framesInFlight() == 0 && r.bytesInFlight() == 0);
        }
    }
    FUZZ_CHECK(r.counters().datagrams == fed);
    FUZZ_CHECK(r.counters().framesCompleted == completed);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider fdp(data, size);
    if (fdp.ConsumeBool()) {
        orderedStream(fdp);
    } else {
        rawDatagrams(fdp);
    }
    return 0;
}
