#include "platform/linux/linux_processes.h"

#include <gtest/gtest.h>

namespace tarvello::test {
namespace {

TEST(LinuxProcesses, ReturnsStandardOutputAndExitStatus) {
    LinuxProcesses tools;
    auto r = tools.run("/bin/sh", {"-c", "printf 'one two\\n'; echo noise >&2; exit 3"});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->output, "one two\n");  // standard error is not mixed in
    EXPECT_EQ(r->exitStatus, 3);

    r = tools.run("/bin/sh", {"-c", "read line; echo \"[$line]\""});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->output, "[]\n") << "standard input is empty";
}

TEST(LinuxProcesses, ASignalEndsWithItsNumberAbove128) {
    LinuxProcesses tools;
    auto r = tools.run("/bin/sh", {"-c", "kill -TERM $$"});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->exitStatus, 128 + SIGTERM);
}

TEST(LinuxProcesses, AMissingToolCannotBeLaunched) {
    LinuxProcesses tools;
    EXPECT_FALSE(tools.run("/nonexistent/tarvello-tool", {}).has_value());
    EXPECT_FALSE(tools.run("/etc/passwd", {}).has_value()) << "not executable";
}

TEST(LinuxProcesses, EndlessOutputIsCappedButTheToolStillFinishes) {
    LinuxProcesses tools;
    auto r = tools.run("/bin/sh", {"-c", "head -c 3000000 /dev/zero; exit 0"});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->output.size(), size_t(1) << 20);
    EXPECT_EQ(r->exitStatus, 0);
}

}  // namespace
}  // namespace tarvello::test
