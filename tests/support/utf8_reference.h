#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tarvello::test {

// Independent UTF-8 validator for checking the codec's repair: it decodes by code
// point value rather than by lead-byte ranges, so it does not share the codec's mistakes.
inline bool isValidUtf8(const std::string& s) {
    size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<uint8_t>(s[i]);
        int len = 0;
        uint32_t cp = 0;
        if (c < 0x80) {
            len = 1;
            cp = c;
        } else if ((c & 0xE0) == 0xC0) {
            len = 2;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + size_t(len) > s.size()) return false;
        for (int k = 1; k < len; ++k) {
            const auto cc = static_cast<uint8_t>(s[i + size_t(k)]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        static constexpr uint32_t minForLength[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < minForLength[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += size_t(len);
    }
    return true;
}

}  // namespace tarvello::test
