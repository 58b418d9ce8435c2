#include <gtest/gtest.h>
#include "vantrel.h"

TEST(Skeleton, LocalTimeFlagStartsFalse) { EXPECT_FALSE(g_bUseLocalTime); }
