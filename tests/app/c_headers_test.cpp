// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include "buffer.h"
#include "cv2x_app.h"

extern "C" int v2x_c_headers_probe(void);

// The C translation unit sees the same record layouts as C++.
TEST(PublicHeaders, CompileAsCWithTheSameLayout)
{
    EXPECT_EQ(v2x_c_headers_probe(), 298 + 1 + static_cast<int>(sizeof(buffer_t)) + 7);
}
