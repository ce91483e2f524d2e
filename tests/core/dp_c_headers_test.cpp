// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include "aces_lyr.h"
#include "core_mib.h"
#include "dme_dsm.h"

extern "C" int v2x_dp_c_headers_probe(void);

// C sees the same packed sizes, and the header byte's bit fields put the
// version in bits 0-2 and the option indicator in bit 3 (0x0D).
TEST(DataPlaneHeaders, CompileAsCWithTheSameLayout)
{
    EXPECT_EQ(v2x_dp_c_headers_probe(), 13 * 1000000 + 6 * 10000 + 5 * 1000 + 0x0D * 10 + 1);
}
