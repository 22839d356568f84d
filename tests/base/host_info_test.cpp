#include "base/host_info.h"

#include <gtest/gtest.h>

#include "base/text_format.h"

namespace tarvello {
namespace {

TEST(HostInfo, TailscaleBlockIs100Point64To127) {
    EXPECT_TRUE(isTailscaleAddress("100.101.102.103"));
    EXPECT_TRUE(isTailscaleAddress("100.64.0.1"));
    EXPECT_TRUE(isTailscaleAddress("100.127.255.255"));
    EXPECT_FALSE(isTailscaleAddress("100.128.0.1"));
    EXPECT_FALSE(isTailscaleAddress("100.63.0.1"));
    EXPECT_FALSE(isTailscaleAddress("192.168.1.5"));
    EXPECT_FALSE(isTailscaleAddress("100.101.102"));
    EXPECT_FALSE(isTailscaleAddress("101.100.0.1"));
}

TEST(HostInfo, TailscaleAddressesComeOnlyFromThatBlock) {
    for (const auto& a : tailscaleAddresses()) EXPECT_TRUE(isTailscaleAddress(a)) << a;
}

TEST(HostInfo, PrettyHostName) {
    EXPECT_EQ(prettyHostNameFrom("CHASSIS=laptop\nPRETTY_HOSTNAME=\"Ana's \\\"Desk\\\"\"\n"),
              "Ana's \"Desk\"");
    EXPECT_EQ(prettyHostNameFrom("PRETTY_HOSTNAME=Plain\n"), "Plain");
    EXPECT_EQ(prettyHostNameFrom("CHASSIS=desktop\n"), "");
    EXPECT_FALSE(localizedHostName().empty());
}

TEST(TextFormat, ShortestRoundTripKeepsPointZero) {
    EXPECT_EQ(formatShortestDouble(2.0), "2.0");
    EXPECT_EQ(formatShortestDouble(4.0), "4.0");
    EXPECT_EQ(formatShortestDouble(2.5), "2.5");
    EXPECT_EQ(formatShortestDouble(double(1.1f)), "1.100000023841858");
    EXPECT_EQ(formatHex(0xF7F), "f7f");
    EXPECT_EQ(formatHex(0), "0");
}

TEST(TailscaleAddresses, IPv6PrefixAndMappedIPv4CountAndMalformedTextDoesNot) {
    EXPECT_TRUE(isTailscaleAddress("fd7a:115c:a1e0::1"));
    EXPECT_TRUE(isTailscaleAddress("fd7a:115c:a1e0:ab12:4843:cd96:6258:b240"));
    EXPECT_TRUE(isTailscaleAddress("::ffff:100.101.102.103"));
    EXPECT_FALSE(isTailscaleAddress("fd7a:115c:a1e1::1"));
    EXPECT_FALSE(isTailscaleAddress("::ffff:192.168.1.5"));
    EXPECT_FALSE(isTailscaleAddress("::1"));
    EXPECT_FALSE(isTailscaleAddress("100.64.0.999"));
    EXPECT_FALSE(isTailscaleAddress("100.64.0.1.5"));
    EXPECT_FALSE(isTailscaleAddress(""));
}

}  // namespace
}  // namespace tarvello
