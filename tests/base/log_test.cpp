#include "base/log.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "app/server_state.h"
#include "dispatch/serial_queue.h"
#include "support/log_capture.h"
#include "video/encoder.h"

extern "C" {
#include <libavutil/log.h>
}

namespace tarvello {
namespace {

// ---- timestamp ----

struct TimeCase {
    int h, m, s, ms;
    const char* expected;
};

class LogTime : public ::testing::TestWithParam<TimeCase> {};

TEST_P(LogTime, TwelveCharactersWithLeadingZeros) {
    const auto& c = GetParam();
    std::string t = formatLogTime(c.h, c.m, c.s, c.ms);
    EXPECT_EQ(t, c.expected);
    EXPECT_EQ(t.size(), 12u);
}

INSTANTIATE_TEST_SUITE_P(
    Log, LogTime,
    ::testing::Values(TimeCase{0, 0, 0, 0, "00:00:00.000"}, TimeCase{23, 59, 59, 999, "23:59:59.999"},
                      TimeCase{9, 5, 7, 42, "09:05:07.042"}, TimeCase{14, 3, 27, 512, "14:03:27.512"},
                      TimeCase{12, 30, 60, 5, "12:30:60.005"}, TimeCase{24, 75, 99, 1000, "23:59:60.999"},
                      TimeCase{-1, -1, -1, -1, "00:00:00.000"}));

// ---- through the sink into the status model ----

// True when `line` is "HH:mm:ss.SSS", two spaces, then exactly `text`.
bool isStampedLine(const std::string& line, const std::string& text) {
    if (line.size() != 14 + text.size() || line.compare(12, 2, "  ") != 0) return false;
    for (size_t i = 0; i < 12; ++i) {
        const char c = line[i];
        const bool ok = (i == 2 || i == 5) ? c == ':' : i == 8 ? c == '.' : (c >= '0' && c <= '9');
        if (!ok) return false;
    }
    return line.compare(14, std::string::npos, text) == 0;
}

ServerStateValues mainSnapshot() {
    ServerStateValues copy;
    mainQueue().sync([&] { copy = ServerState::shared().snapshot(); });
    return copy;
}

std::vector<std::string> linesContaining(const std::string& marker) {
    std::vector<std::string> found;
    for (const auto& l : mainSnapshot().lines) {
        if (l.find(marker) != std::string::npos) found.push_back(l);
    }
    return found;
}

std::string uniqueMarker(const char* what) {
    static int n = 0;
    return std::string(what) + "-" + std::to_string(::getpid()) + "-" + std::to_string(++n);
}

TEST(Log, LineReachesStatusModelWithTimestampPrefix) {
    installServerStateLogSink();
    const std::string marker = uniqueMarker("prefix");
    log("Listening on port " + marker);
    auto found = linesContaining(marker);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_TRUE(isStampedLine(found[0], "Listening on port " + marker)) << found[0];
}

TEST(Log, EmbeddedNewlinesStayOneEntry) {
    installServerStateLogSink();
    const std::string marker = uniqueMarker("multi");
    log("first\nsecond " + marker + "\nthird");
    auto found = linesContaining(marker);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].substr(12), "  first\nsecond " + marker + "\nthird");
}

TEST(Log, LinesFromOneThreadKeepTheirOrder) {
    installServerStateLogSink();
    const std::string marker = uniqueMarker("order");
    std::thread t([&] {
        for (int i = 0; i < 50; ++i) log(marker + " #" + std::to_string(i));
    });
    t.join();
    auto found = linesContaining(marker);
    ASSERT_EQ(found.size(), 50u);
    for (int i = 0; i < 50; ++i) EXPECT_TRUE(found[i].ends_with(" #" + std::to_string(i))) << found[i];
}

TEST(Log, ListenerGetsEachWholeLineUntilRemoved) {
    std::vector<std::string> heard;
    int id = addLogListener([&](const std::string& line) { heard.push_back(line); });
    const std::string marker = uniqueMarker("listener");
    log("a\nb " + marker);
    // Removal also orders the listener's writes before the reads below.
    removeLogListener(id);
    log("after removal " + marker);
    std::vector<std::string> mine;
    for (const auto& l : heard) {
        if (l.find(marker) != std::string::npos) mine.push_back(l);
    }
    ASSERT_EQ(mine.size(), 1u);
    EXPECT_TRUE(isStampedLine(mine[0], "a\nb " + marker)) << mine[0];
    for (const auto& l : heard) EXPECT_EQ(l.find("after removal"), std::string::npos);
}

// The sink can only be installed once per process, so the time before it is observed
// in a fresh process of this test binary.
TEST(Log, BeforeSinkLinesGoOnlyToStandardOutput) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            char path[] = "/tmp/tarvello-log-XXXXXX";
            int fd = ::mkstemp(path);
            if (fd < 0) std::_Exit(2);
            std::fflush(stdout);
            ::dup2(fd, STDOUT_FILENO);
            log("early line");
            std::fflush(stdout);
            size_t beforeInstall = mainSnapshot().lines.size();
            installServerStateLogSink();
            log("late line");
            std::fflush(stdout);
            auto after = mainSnapshot().lines;
            std::ifstream in(path);
            std::stringstream out;
            out << in.rdbuf();
            ::unlink(path);
            std::string printed = out.str();
            const size_t cut = printed.find('\n') + 1;
            bool printedBoth = cut > 0 && isStampedLine(printed.substr(0, cut), "early line\n") &&
                               isStampedLine(printed.substr(cut), "late line\n");
            bool onlyLate = after.size() == 1 && after[0].ends_with("  late line");
            std::fprintf(stderr, "empty-before=%d printed-both=%d only-late=%d\n", beforeInstall == 0,
                         printedBoth, onlyLate);
            std::fflush(nullptr);
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "empty-before=1 printed-both=1 only-late=1");
}

// ---- ServerState ----

TEST(ServerState, StartsWithTheDocumentedValues) {
    ServerState s;
    EXPECT_EQ(s.status, "Starting\xE2\x80\xA6");
    EXPECT_EQ(s.client, std::nullopt);
    EXPECT_EQ(s.fps, 0);
    EXPECT_EQ(s.mbps, 0.0);
    EXPECT_EQ(s.targetMbps, 0);
    EXPECT_EQ(s.drops, 0);
    EXPECT_TRUE(s.resolution.empty());
    EXPECT_TRUE(s.codec.empty());
    EXPECT_TRUE(s.lines.empty());
    EXPECT_FALSE(s.locked);
}

struct AppendCase {
    int count;
    size_t size;
    int first;
    int last;
};

class ServerStateAppend : public ::testing::TestWithParam<AppendCase> {};

TEST_P(ServerStateAppend, KeepsTheNewest200) {
    ServerState s;
    int notified = 0;
    s.observe([&] { ++notified; });
    for (int i = 1; i <= GetParam().count; ++i) s.append("line " + std::to_string(i));
    ASSERT_EQ(s.lines.size(), GetParam().size);
    EXPECT_EQ(s.lines.front(), "line " + std::to_string(GetParam().first));
    EXPECT_EQ(s.lines.back(), "line " + std::to_string(GetParam().last));
    EXPECT_EQ(notified, GetParam().count);
}

INSTANTIATE_TEST_SUITE_P(ServerState, ServerStateAppend,
                         ::testing::Values(AppendCase{1, 1, 1, 1}, AppendCase{200, 200, 1, 200},
                                           AppendCase{201, 200, 2, 201}, AppendCase{500, 200, 301, 500}));

TEST(ServerState, ObserversMayUnobserveWhileBeingNotified) {
    ServerState s;
    int a = 0, b = 0, c = 0;
    int idB = 0;
    int idA = s.observe([&] {
        ++a;
        s.unobserve(idB);
    });
    idB = s.observe([&] { ++b; });
    int idC = 0;
    idC = s.observe([&] {
        ++c;
        s.unobserve(idC);
    });
    s.changed();
    s.changed();
    EXPECT_EQ(a, 2);
    EXPECT_EQ(b, 0);
    EXPECT_EQ(c, 1);
    s.unobserve(idA);
    s.changed();
    EXPECT_EQ(a, 2);
}

TEST(ServerState, ServerReportReplacesItsFieldsOnTheMainQueueAndKeepsTheLog) {
    auto& shared = ServerState::shared();
    const std::string marker = uniqueMarker("report");
    mainQueue().sync([&] { shared.append(marker); });
    int notified = 0;
    int id = 0;
    mainQueue().sync([&] { id = shared.observe([&] { ++notified; }); });

    ServerStatus report;
    report.status = "Connected: Ada's iPhone";
    report.client = "Ada's iPhone";
    report.fps = 59;
    report.warning = "Pairing code guessing: 21 wrong codes in the last hour";
    serverStateObserver()(report);

    ServerStateValues seen;
    mainQueue().sync([&] {
        seen = shared.snapshot();
        shared.unobserve(id);
    });
    EXPECT_EQ(notified, 1);
    EXPECT_EQ(seen.status, report.status);
    EXPECT_EQ(seen.client, report.client);
    EXPECT_EQ(seen.fps, 59);
    EXPECT_EQ(seen.warning, report.warning);
    ASSERT_FALSE(seen.lines.empty());
    EXPECT_EQ(seen.lines.back(), marker);
}

// ---- libavcodec's messages ----

TEST(LibavLog, WarningsAndWorseJoinTheLogAsWholeLinesFromAnyThread) {
    Encoder encoder([](Bytes, bool, VideoCodec, FrameTimes) {});  // installs the routing
    test::LogCapture logs;
    av_log(nullptr, AV_LOG_WARNING, "probe of %s failed\n", "hevc_vaapi");
    av_log(nullptr, AV_LOG_INFO, "banner: cpu capabilities\n");
    av_log(nullptr, AV_LOG_VERBOSE, "chatter\n");
    std::thread([] {
        av_log(nullptr, AV_LOG_ERROR, "first half, ");
        av_log(nullptr, AV_LOG_ERROR, "second half\n");
    }).join();

    EXPECT_EQ(logs.count("libav: probe of hevc_vaapi failed"), 1);
    EXPECT_EQ(logs.count("libav: first half, second half"), 1);
    EXPECT_FALSE(logs.contains("banner"));
    EXPECT_FALSE(logs.contains("chatter"));
}

TEST(LibavLog, AnEndlessMessageIsCutInsteadOfGrowing) {
    Encoder encoder([](Bytes, bool, VideoCodec, FrameTimes) {});
    test::LogCapture logs;
    const std::string piece(500, 'x');
    for (int i = 0; i < 40; ++i) av_log(nullptr, AV_LOG_WARNING, "%s", piece.c_str());
    av_log(nullptr, AV_LOG_WARNING, "\n");
    EXPECT_GE(logs.count("libav: xxx"), 4);
}

}  // namespace
}  // namespace tarvello
