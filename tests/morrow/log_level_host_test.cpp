// SPDX-License-Identifier: Apache-2.0
// A host's own gLogLevl (test_support.cpp defines one) is the one libmorrow
// reads and writes, not the library's weak default.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "self_log.h"
#include "test_support.h"

TEST(LogLevelHost, TheHostsDefinitionIsTheOneTheLibraryUses)
{
    EXPECT_EQ(dlsym(RTLD_DEFAULT, "gLogLevl"), static_cast<void*>(&gLogLevl));
    v2xtest::LevelGuard lvl(LOG_LEV_ERROR);
    // Direct notices pass the level once the host routes them (a sink).
    ASSERT_EQ(log_set_sink(nullptr, nullptr, LOG_LEVELS_ALL & ~LOG_LEVEL_BIT(LOG_LEV_LOUD)), 0);
    EXPECT_EQ(log_direct_wanted(LOG_LEV_WARN), 0);
    gLogLevl = LOG_LEV_WARN;  // the host's write reaches the library's gate
    EXPECT_EQ(log_direct_wanted(LOG_LEV_WARN), 1);
    v2xtest::StdoutCapture cap;
    set_global_log_level(LOG_LEV_OFF);  // and the library's write reaches the host
    cap.stop();
    EXPECT_EQ(gLogLevl, LOG_LEV_OFF);
    EXPECT_EQ(log_set_sink(nullptr, nullptr, LOG_LEVELS_ALL), 0);
}
