#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string_view>

namespace tarvello::test {

// CI sets TARVELLO_REQUIRE_ALL_TESTS: there a test that cannot run for want of a
// package is a failure, not a skip, so a missing install step cannot pass unseen.
inline bool allTestsRequired() {
    const char* v = std::getenv("TARVELLO_REQUIRE_ALL_TESTS");
    return v && *v && std::string_view(v) != "0";
}

}  // namespace tarvello::test

// Skips the test for a missing tool or package, or fails it where every test must run.
#define TARVELLO_SKIP_MISSING(why)                                                           \
    do {                                                                                     \
        if (::tarvello::test::allTestsRequired()) FAIL() << "required but missing: " << why; \
        GTEST_SKIP() << why;                                                                 \
    } while (0)
