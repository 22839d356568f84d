#include <gtest/gtest.h>
#include "protocol/messages.h"
TEST(Smoke, Builds) { EXPECT_EQ(tarvello::buildPing(1).size(), 11u); }
