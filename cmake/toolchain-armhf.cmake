# SPDX-License-Identifier: Apache-2.0
# 32-bit ARM boards (ARMv7, hard-float ABI) with Debian's cross compiler; see
# toolchain-cross-common.cmake and docs/integration.md on cross-building.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(V2X_CROSS_TRIPLET arm-linux-gnueabihf)
set(V2X_CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-cross-common.cmake)
