#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>

// The local socket between the application and the tarvello-camera extension.
// The application writes pictures, each a header and the NV12 bytes (luma rows,
// then interleaved CbCr rows, both `stride` bytes apart); the extension writes one
// status byte, kInUse or kNotInUse, on connect and whenever the value changes.
// Header fields are big-endian. Header-only: both processes include it, neither
// links the other.
namespace tarvello::camerafeed {

inline constexpr uint32_t kMagic = 0x5443464d;  // "TCFM"
inline constexpr size_t kHeaderSize = 20;
inline constexpr uint32_t kWidth = 1280;
inline constexpr uint32_t kHeight = 720;
inline constexpr uint32_t kMaxStride = 4 * kWidth;
inline constexpr uint8_t kInUse = '1';
inline constexpr uint8_t kNotInUse = '0';
inline constexpr const char* kSocketName = "tarvello-camera.sock";

struct FeedHeader {
    uint32_t width = kWidth;
    uint32_t height = kHeight;
    uint32_t stride = kWidth;
    uint32_t sequence = 0;

    size_t pictureBytes() const { return size_t(stride) * height + size_t(stride) * (height / 2); }
};

inline std::array<uint8_t, kHeaderSize> encodeHeader(const FeedHeader& h) {
    std::array<uint8_t, kHeaderSize> out{};
    const uint32_t fields[5] = {kMagic, h.width, h.height, h.stride, h.sequence};
    for (size_t i = 0; i < 5; ++i) {
        out[i * 4] = uint8_t(fields[i] >> 24);
        out[i * 4 + 1] = uint8_t(fields[i] >> 16);
        out[i * 4 + 2] = uint8_t(fields[i] >> 8);
        out[i * 4 + 3] = uint8_t(fields[i]);
    }
    return out;
}

// Nothing unless the bytes name the camera's one picture size with a usable stride:
// a sender that disagrees cannot be resynchronised, so the caller drops it.
inline std::optional<FeedHeader> decodeHeader(std::span<const uint8_t> b) {
    if (b.size() < kHeaderSize) return std::nullopt;
    auto field = [&](size_t i) {
        return uint32_t(b[i * 4]) << 24 | uint32_t(b[i * 4 + 1]) << 16 | uint32_t(b[i * 4 + 2]) << 8 |
               uint32_t(b[i * 4 + 3]);
    };
    if (field(0) != kMagic) return std::nullopt;
    FeedHeader h{field(1), field(2), field(3), field(4)};
    if (h.width != kWidth || h.height != kHeight) return std::nullopt;
    if (h.stride < h.width || h.stride > kMaxStride || h.stride % 2 != 0) return std::nullopt;
    return h;
}

// Why `dir` cannot hold the camera socket, or nothing when it can: it must be an
// absolute path to a directory of this user that no one else may enter (the runtime
// directory's 0700), since whoever can connect may feed the camera.
inline std::optional<std::string> unfitRuntimeDir(const char* dir) {
    if (!dir || !*dir) return std::string("XDG_RUNTIME_DIR is not set");
    if (dir[0] != '/') return std::string("XDG_RUNTIME_DIR is not an absolute path: ") + dir;
    struct stat st {};
    if (::stat(dir, &st) != 0 || !S_ISDIR(st.st_mode)) return std::string(dir) + " is not a directory";
    if (st.st_uid != ::getuid()) return std::string(dir) + " belongs to another user";
    if ((st.st_mode & 077) != 0) return std::string(dir) + " is open to other users";
    return std::nullopt;
}

// $XDG_RUNTIME_DIR/tarvello-camera.sock, or nothing with the reason in `why`: a shared
// directory such as /tmp is never used.
inline std::optional<std::string> defaultSocketPath(std::string& why) {
    const char* dir = std::getenv("XDG_RUNTIME_DIR");
    if (auto unfit = unfitRuntimeDir(dir)) {
        why = *unfit;
        return std::nullopt;
    }
    return std::string(dir) + "/" + kSocketName;
}

}  // namespace tarvello::camerafeed
