// SPDX-License-Identifier: Apache-2.0
// The public headers of libmorrow used from C (see c_headers_probe.c).
#include <gtest/gtest.h>

extern "C" int morrow_c_headers_probe(void);

TEST(MorrowCHeaders, CompileAndLinkFromC)
{
    EXPECT_EQ(morrow_c_headers_probe(), 0);
}
