#include "protocol/peer_script.h"

#include <gtest/gtest.h>

#include <string>

namespace tarvello {
namespace {

struct Golden {
    const char* line;
    const char* hex;  // the control frame on the wire
};

class PeerScriptGolden : public ::testing::TestWithParam<Golden> {};

TEST_P(PeerScriptGolden, BuildsTheFrameOnTheWire) {
    auto parsed = parseScriptLine(GetParam().line);
    ASSERT_EQ(parsed.error, "");
    ASSERT_TRUE(parsed.action);
    EXPECT_EQ(parsed.action->kind, ScriptAction::Kind::control);
    EXPECT_EQ(parsed.action->bytes, *parseHex(GetParam().hex));
}

INSTANTIATE_TEST_SUITE_P(
    Lines, PeerScriptGolden,
    ::testing::Values(
        Golden{"key 4 1", "0004 10 0004 01"}, Golden{"key 0xE1 0", "0004 10 00E1 00"},
        Golden{"mouseRel 10 -5", "0009 11 41200000 C0A00000"},
        Golden{"mouseAbs 0.5 0.5", "0009 12 3F000000 3F000000"}, Golden{"button 1 1", "0003 13 01 01"},
        Golden{"scroll 0 -12 wheel", "000A 14 00000000 C1400000 00"},
        Golden{"scroll 1 2 ended", "000A 14 3F800000 40000000 03"},
        Golden{"scroll 1 2 7", "000A 14 3F800000 40000000 07"},
        Golden{"gesture magnify 0.1 changed", "0007 16 09 3DCCCCCD 02"},
        Golden{"gesture 3 1", "0007 16 03 3F800000 02"}, Golden{"gesture 0 1", "0007 16 00 3F800000 02"},
        Golden{"text hello", "0006 15 68656C6C6F"},
        Golden{"text  a\\nb\\x41\\\\", "0007 15 20 61 0A 62 41 5C"}, Golden{"text", "0001 15"},
        Golden{"ping 42", "0009 21 000000000000002A"}, Golden{"requestKeyframe", "0001 20"},
        Golden{"releaseAll", "0001 24"}, Golden{"resize 800 600", "0005 03 0320 0258"},
        Golden{"uiScale 2.0", "0005 05 40000000"}, Golden{"uiScale nan", "0005 05 7FC00000"},
        Golden{"stats 100 3", "0009 23 00000064 00000003"}, Golden{"raw 00 05 21 00 00 00", "0005 21 000000"},
        Golden{"  key 4 0\r", "0004 10 0004 00"}));

TEST(PeerScript, SleepAndUdpAreNotControlFrames) {
    auto s = parseScriptLine("sleep 0.25");
    ASSERT_TRUE(s.action);
    EXPECT_EQ(s.action->kind, ScriptAction::Kind::sleep);
    EXPECT_DOUBLE_EQ(s.action->seconds, 0.25);

    auto u = parseScriptLine("rawudp 504E5550 00000001");
    ASSERT_TRUE(u.action);
    EXPECT_EQ(u.action->kind, ScriptAction::Kind::udp);
    EXPECT_EQ(u.action->bytes, (Bytes{0x50, 0x4E, 0x55, 0x50, 0, 0, 0, 1}));
}

TEST(PeerScript, BlankAndCommentLinesAreNeitherActionsNorErrors) {
    for (const char* line : {"", "   ", "# key 4 1", "  # comment", "\r"}) {
        auto s = parseScriptLine(line);
        EXPECT_FALSE(s.action) << line;
        EXPECT_EQ(s.error, "") << line;
    }
}

TEST(PeerScript, MalformedLinesAreReported) {
    for (const char* line : {"key 4",
                             "key 4 1 2",
                             "key 70000 1",
                             "key -1 1",
                             "key 4 x",
                             "mouseRel 1",
                             "mouseAbs a b",
                             "button 1",
                             "scroll 1 2 sideways",
                             "gesture pinch 1",
                             "gesture 256 1",
                             "ping -1",
                             "ping 18446744073709551616",
                             "resize 800",
                             "resize 65536 1",
                             "uiScale",
                             "sleep -1",
                             "sleep inf",
                             "sleep 99999",
                             "raw",
                             "raw 0",
                             "raw 0 1",
                             "raw zz",
                             "rawudp",
                             "text \\q",
                             "text ab\\x4",
                             "requestKeyframe now",
                             "Key 4 1",
                             "bogus"}) {
        auto s = parseScriptLine(line);
        EXPECT_FALSE(s.action) << line;
        EXPECT_NE(s.error, "") << line;
    }
}

TEST(PeerScript, TextLongerThanOneFrameIsAnErrorNotAnEmptyFrame) {
    const auto fits = parseScriptLine("text " + std::string(60000, 'a'));
    ASSERT_TRUE(fits.action) << fits.error;
    EXPECT_GT(fits.action->bytes.size(), 60000u);

    const auto tooLong = parseScriptLine("text " + std::string(70000, 'a'));
    EXPECT_FALSE(tooLong.action);
    EXPECT_NE(tooLong.error.find("longer than one frame"), std::string::npos) << tooLong.error;
}

TEST(PeerScript, ScriptKeepsOrderAndNamesTheFirstBadLine) {
    auto ok = parseScript("key 4 1\n\n# pause\nsleep 0.5\nkey 4 0\n");
    ASSERT_EQ(ok.error, "");
    ASSERT_EQ(ok.actions.size(), 3u);
    EXPECT_EQ(ok.actions[0].command, "key");
    EXPECT_EQ(ok.actions[1].kind, ScriptAction::Kind::sleep);
    EXPECT_EQ(ok.actions[2].bytes, *parseHex("0004 10 0004 00"));

    auto bad = parseScript("key 4 1\r\nsleep 1\r\nwobble\r\nkey 4 0\r\n");
    EXPECT_TRUE(bad.actions.empty());
    EXPECT_EQ(bad.error.rfind("line 3: ", 0), 0u) << bad.error;
}

}  // namespace
}  // namespace tarvello
