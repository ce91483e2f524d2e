# SPDX-License-Identifier: Apache-2.0
# 64-bit ARM boards (aarch64) with Debian's cross compiler; see
# toolchain-cross-common.cmake and docs/integration.md on cross-building.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(V2X_CROSS_TRIPLET aarch64-linux-gnu)
set(V2X_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-cross-common.cmake)
