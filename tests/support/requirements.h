#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

namespace quorvane::testing {

// underCi: the CI environment (CI=true), where every service a test needs must be present and
// the tests run as root.
bool underCi();

}  // namespace quorvane::testing

// SKIP_WITHOUT_ROOT(why) skips the current test, saying `why`, when it does not run as root;
// under CI, which runs as root, a test that cannot run fails instead of passing unseen.
#define SKIP_WITHOUT_ROOT(why)                                                  \
    do {                                                                        \
        if (::geteuid() != 0) {                                                 \
            if (::quorvane::testing::underCi()) FAIL() << why << " (under CI)"; \
            GTEST_SKIP() << why;                                                \
        }                                                                       \
    } while (false)
