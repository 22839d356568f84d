#include "protocol/byte_codec.h"

#include <bit>
#include <cstring>

namespace tarvello {

void ByteWriter::writeU16(uint16_t v) {
    data.push_back(static_cast<uint8_t>(v >> 8));
    data.push_back(static_cast<uint8_t>(v));
}

void ByteWriter::writeU32(uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) data.push_back(static_cast<uint8_t>(v >> s));
}

void ByteWriter::writeU64(uint64_t v) {
    for (int s = 56; s >= 0; s -= 8) data.push_back(static_cast<uint8_t>(v >> s));
}

void ByteWriter::writeF32(float v) {
    writeU32(std::bit_cast<uint32_t>(v));
}

void ByteWriter::writeText(std::string_view utf8) {
    data.insert(data.end(), utf8.begin(), utf8.end());
}

void ByteWriter::writeData(std::span<const uint8_t> bytes) {
    data.insert(data.end(), bytes.begin(), bytes.end());
}

uint8_t ByteReader::readU8() {
    if (offset >= data.size()) return 0;
    return data[offset++];
}

uint16_t ByteReader::readU16() {
    uint16_t hi = readU8();
    return static_cast<uint16_t>((hi << 8) | readU8());
}

uint32_t ByteReader::readU32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 8) | readU8();
    return v;
}

uint64_t ByteReader::readU64() {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | readU8();
    return v;
}

float ByteReader::readF32() {
    return std::bit_cast<float>(readU32());
}

Bytes ByteReader::readRest() {
    Bytes out(data.begin() + static_cast<std::ptrdiff_t>(offset), data.end());
    offset = data.size();
    return out;
}

std::string ByteReader::readText() {
    auto rest = data.subspan(offset);
    offset = data.size();
    return repairUtf8(rest);
}

std::string repairUtf8(std::span<const uint8_t> b) {
    static constexpr char kReplacement[] = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(b.size());
    size_t i = 0;
    const size_t n = b.size();
    while (i < n) {
        uint8_t c = b[i];
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
            ++i;
            continue;
        }
        size_t len = 0;
        uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0) lo = 0xA0;  // no overlongs
            if (c == 0xED) hi = 0x9F;  // no surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0) lo = 0x90;  // no overlongs
            if (c == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
        } else {
            out += kReplacement;
            ++i;
            continue;
        }
        size_t j = 1;
        for (; j < len && i + j < n; ++j) {
            uint8_t cc = b[i + j];
            uint8_t l = (j == 1) ? lo : 0x80, h = (j == 1) ? hi : 0xBF;
            if (cc < l || cc > h) break;
        }
        if (j == len) {
            out.append(reinterpret_cast<const char*>(&b[i]), len);
        } else {
            out += kReplacement;  // one replacement per maximal invalid subpart
        }
        i += j;
    }
    return out;
}

}  // namespace tarvello
