#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tarvello {

using Bytes = std::vector<uint8_t>;

// Big-endian writer; only ever appends.
class ByteWriter {
public:
    ByteWriter() = default;
    explicit ByteWriter(size_t capacity) { data.reserve(capacity); }

    void writeU8(uint8_t v) { data.push_back(v); }
    void writeU16(uint16_t v);
    void writeU32(uint32_t v);
    void writeU64(uint64_t v);
    void writeF32(float v);
    void writeText(std::string_view utf8);
    void writeData(std::span<const uint8_t> bytes);

    Bytes data;
};

// Big-endian reader over a payload it does not own. Reading past the end never
// fails: missing bytes read as zero and the offset stays at the end.
class ByteReader {
public:
    explicit ByteReader(std::span<const uint8_t> d) : data(d) {}

    uint8_t readU8();
    uint16_t readU16();
    uint32_t readU32();
    uint64_t readU64();
    float readF32();
    Bytes readRest();
    // The rest as UTF-8 text, invalid sequences replaced by U+FFFD.
    std::string readText();
    size_t remaining() const { return data.size() - offset; }

    std::span<const uint8_t> data;
    size_t offset = 0;
};

// Replaces every invalid UTF-8 sequence with U+FFFD (maximal-subpart rule).
std::string repairUtf8(std::span<const uint8_t> bytes);

}  // namespace tarvello
