#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "support/require.h"
#include "video/decoder.h"
#include "video/encoder.h"
#include "video/nal.h"

extern "C" char** environ;

namespace tarvello {
namespace {

namespace fs = std::filesystem;
using enum VideoCodec;

struct Colour {
    const char* name;
    uint8_t r, g, b;
};

constexpr Colour kColours[] = {
    {"red", 255, 0, 0},       {"green", 0, 255, 0}, {"blue", 0, 0, 255},      {"grey", 128, 128, 128},
    {"white", 255, 255, 255}, {"black", 0, 0, 0},   {"orange", 230, 120, 30},
};
constexpr int kW = 128, kH = 96;

// Runs a program with its standard output into `out`; true when it exits 0.
bool run(const std::vector<std::string>& argv, const fs::path& out) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) return false;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool onPath(const char* program) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "");
    for (std::string dir; std::getline(dirs, dir, ':');)
        if (!dir.empty() && ::access((fs::path(dir) / program).c_str(), X_OK) == 0) return true;
    return false;
}

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class EncoderColourTest : public ::testing::TestWithParam<Encoder::Row> {
protected:
    void SetUp() override {
        if (!onPath("ffmpeg") || !onPath("ffprobe"))
            TARVELLO_SKIP_MISSING("ffmpeg and ffprobe (package ffmpeg)");
        dir_ = fs::temp_directory_path() / ("tarvello-colour-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    // Every colour as a keyframe of its own, in one Annex-B stream as a file. The
    // samples are BT.601 video range rounded to nearest, so what comes back measures
    // the stream and how it describes itself, not a converter's rounding.
    fs::path encodeColours() {
        Bytes stream;
        Encoder enc(
            [&stream](Bytes b, bool, VideoCodec, FrameTimes) {
                auto annexB = lengthPrefixedToAnnexB(b);
                if (annexB) stream.insert(stream.end(), annexB->begin(), annexB->end());
            },
            {GetParam()});
        // Generous for the size: this weighs colour, not compression.
        EXPECT_TRUE(enc.configure(kW, kH, 60, 40'000'000));
        for (const Colour& c : kColours) {
            const double r = c.r, g = c.g, b = c.b;
            const double y = 16 + (65.481 * r + 128.553 * g + 24.966 * b) / 255;
            const double cb = 128 + (-37.797 * r - 74.203 * g + 112.0 * b) / 255;
            const double cr = 128 + (112.0 * r - 93.786 * g - 18.214 * b) / 255;
            auto f = VideoFrame::make(kW, kH);
            std::fill(f->y.begin(), f->y.end(), uint8_t(std::lround(y)));
            for (size_t i = 0; i + 1 < f->uv.size(); i += 2) {
                f->uv[i] = uint8_t(std::lround(cb));
                f->uv[i + 1] = uint8_t(std::lround(cr));
            }
            enc.forceKeyframe = true;
            enc.encode(f);
        }
        enc.teardown();
        const fs::path file = dir_ / (GetParam().codec == hevc ? "colours.hevc" : "colours.h264");
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(stream.data()), std::streamsize(stream.size()));
        return file;
    }

    fs::path dir_;
};

TEST_P(EncoderColourTest, PureColoursDecodeBackThroughFfmpegWithItsDefaults) {
    const fs::path stream = encodeColours();
    ASSERT_FALSE(stream.empty());
    const fs::path rgb = dir_ / "decoded.rgb";
    ASSERT_TRUE(
        run({"ffmpeg", "-nostdin", "-v", "error", "-i", stream, "-f", "rawvideo", "-pix_fmt", "rgb24", "-"},
            rgb));
    const std::string pixels = slurp(rgb);
    const size_t frameBytes = size_t(kW) * kH * 3;
    ASSERT_EQ(pixels.size(), frameBytes * std::size(kColours));
    for (size_t i = 0; i < std::size(kColours); ++i) {
        const Colour& c = kColours[i];
        // The middle of the picture and a corner: a flat colour is flat everywhere.
        for (size_t at : {size_t(kH / 2 * kW + kW / 2), size_t(0)}) {
            const auto* p = reinterpret_cast<const uint8_t*>(pixels.data()) + i * frameBytes + at * 3;
            EXPECT_NEAR(p[0], c.r, 2) << c.name;
            EXPECT_NEAR(p[1], c.g, 2) << c.name;
            EXPECT_NEAR(p[2], c.b, 2) << c.name;
        }
    }
}

TEST_P(EncoderColourTest, TheStreamSaysItsColourDescription) {
    const fs::path stream = encodeColours();
    ASSERT_FALSE(stream.empty());
    const fs::path out = dir_ / "probe.txt";
    ASSERT_TRUE(run({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                     "stream=color_range,color_space,color_primaries,color_transfer", "-of",
                     "default=noprint_wrappers=1", stream},
                    out));
    std::map<std::string, std::string> fields;
    std::stringstream lines(slurp(out));
    for (std::string line; std::getline(lines, line);) {
        const auto eq = line.find('=');
        if (eq != std::string::npos) fields[line.substr(0, eq)] = line.substr(eq + 1);
    }
    EXPECT_EQ(fields["color_range"], "tv");
    EXPECT_EQ(fields["color_space"], "smpte170m");
    EXPECT_EQ(fields["color_primaries"], "bt709");
    EXPECT_EQ(fields["color_transfer"], "iec61966-2-1");
}

// The entropy_coding_mode_flag of an H.264 stream's first picture parameter set: with
// pps_id and sps_id 0 (one bit each as Exp-Golomb codes) it is the third bit after the
// NAL header.
std::optional<bool> cabacOf(const Encoder::Row& row) {
    std::optional<bool> cabac;
    Encoder enc(
        [&cabac](Bytes b, bool, VideoCodec, FrameTimes) {
            for (ByteSpan nal : splitLengthPrefixed(b))
                if (!cabac && nalUnitType(h264, nal) == 8 && nal.size() >= 2 && (nal[1] & 0xC0) == 0xC0)
                    cabac = (nal[1] & 0x20) != 0;
        },
        {row});
    if (!enc.configure(kW, kH, 60, 4'000'000)) return std::nullopt;
    enc.encode(VideoFrame::make(kW, kH));
    enc.teardown();
    return cabac;
}

TEST(EncoderStream, X264CodesWithCabacUnlessTheRowSaysOtherwise) {
    EXPECT_EQ(cabacOf({"libx264", h264, true, false}), true);
    EXPECT_EQ(cabacOf({"libx264", h264, true, false, {}, "cabac=0"}), false);
    // The preset a row names replaces ours; parameters still come after it.
    EXPECT_EQ(cabacOf({"libx264", h264, true, false, "superfast", "cabac=0"}), false);
}

INSTANTIATE_TEST_SUITE_P(Software, EncoderColourTest,
                         ::testing::Values(Encoder::Row{"libx264", h264, true, false},
                                           Encoder::Row{"libx265", hevc, true, false}),
                         [](const auto& row) { return row.param.encoderName.substr(3); });

}  // namespace
}  // namespace tarvello
