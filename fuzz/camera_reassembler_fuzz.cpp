// The camera frame reassembler under fuzzer-chosen fragment streams: memory stays
// within its limits, each returned frame is whole and in index order, and frames
// come out in increasing serial order, none twice.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>

#include "camera/camera_reassembler.h"
#include "fragments.h"
#include "fuzz_check.h"

using namespace tarvello;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider fdp(data, size);
    CameraReassembler::Limits limits;
    limits.maxFrames = fdp.ConsumeIntegralInRange<size_t>(0, 8);
    limits.maxBytes = fdp.ConsumeIntegralInRange<size_t>(0, 64 << 10);
    CameraReassembler r(limits);
    const uint32_t base = fdp.ConsumeIntegral<uint32_t>();
    const bool wide = fdp.ConsumeBool();  // ids anywhere, not only near the base
    std::optional<uint32_t> last;
    while (fdp.remaining_bytes() > 0) {
        const uint32_t id =
            wide ? fdp.ConsumeIntegral<uint32_t>() : base + fdp.ConsumeIntegralInRange<uint32_t>(0, 40);
        // Mostly small counts, now and then one near the 16-bit limit.
        const uint16_t count =
            fdp.ConsumeBool() ? fdp.ConsumeIntegralInRange<uint16_t>(0, 8) : fdp.ConsumeIntegral<uint16_t>();
        const uint16_t index = fdp.ConsumeIntegralInRange<uint16_t>(0, 8);
        const size_t length = fdp.ConsumeIntegralInRange<size_t>(0, 1200);
        const Bytes payload = fuzz::selfNamingFragment(id, index, count, length);
        auto frame = r.push(id, index, count, payload);
        FUZZ_CHECK(r.framesInFlight() <= std::max<size_t>(1, limits.maxFrames));
        FUZZ_CHECK(r.bytesInFlight() <= limits.maxBytes);
        if (frame) {
            FUZZ_CHECK(!last || int32_t(id - *last) > 0);
            FUZZ_CHECK(r.lastFrame() == id);
            FUZZ_CHECK(!r.holds(id));
            // Fragments may name other counts: only the first fragment's count binds the frame.
            fuzz::checkSelfNamingFrame(*frame, id, false);
            last = id;
        } else {
            FUZZ_CHECK(r.lastFrame() == last);
        }
        if (fdp.ConsumeIntegralInRange<int>(0, 99) == 0) {
            r.reset();
            last.reset();
            FUZZ_CHECK(r.framesInFlight() == 0 && r.bytesInFlight() == 0 && !r.lastFrame());
        }
    }
    return 0;
}
