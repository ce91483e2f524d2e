# SPDX-License-Identifier: Apache-2.0
# Shared part of the ARM toolchain files; they set V2X_CROSS_TRIPLET and
# V2X_CROSS_QEMU and then include this file.
#
# Debian multiarch layout: the cross compiler is <triplet>-gcc/g++, the
# target's libraries sit in /usr/lib/<triplet> and their pkg-config files in
# /usr/lib/<triplet>/pkgconfig. A board sysroot works too: pass
# -DCMAKE_SYSROOT=/path/to/sysroot.
#
# V2X_CROSS_EXTRA_ROOT (cache variable or environment) names a folder into
# which target packages were unpacked by hand (scripts/cross-build puts
# libevent there); its pkg-config files are searched first and its libraries
# are found at run time under the emulator.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER   ${V2X_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${V2X_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${V2X_CROSS_TRIPLET})

if(NOT V2X_CROSS_EXTRA_ROOT AND DEFINED ENV{V2X_CROSS_EXTRA_ROOT})
  set(V2X_CROSS_EXTRA_ROOT "$ENV{V2X_CROSS_EXTRA_ROOT}")
endif()
# try_compile projects read this file again: hand them the setting.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES V2X_CROSS_EXTRA_ROOT)

# Programs (pkg-config, the emulator) come from the build machine; headers,
# libraries and packages from the target.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
if(CMAKE_SYSROOT)
  set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
endif()

# pkg-config must see only the target's .pc files, never the build machine's.
set(_v2x_pc_dirs
  ${CMAKE_SYSROOT}/usr/lib/${V2X_CROSS_TRIPLET}/pkgconfig
  ${CMAKE_SYSROOT}/usr/lib/pkgconfig
  ${CMAKE_SYSROOT}/usr/share/pkgconfig)
set(_v2x_lib_path "")
if(V2X_CROSS_EXTRA_ROOT)
  list(PREPEND _v2x_pc_dirs ${V2X_CROSS_EXTRA_ROOT}/usr/lib/${V2X_CROSS_TRIPLET}/pkgconfig)
  set(_v2x_lib_path ${V2X_CROSS_EXTRA_ROOT}/usr/lib/${V2X_CROSS_TRIPLET})
  # OpenSSL keeps its configuration headers in the triplet's folder, which
  # the compiler searches only under /usr/include.
  string(APPEND CMAKE_C_FLAGS_INIT " -isystem ${V2X_CROSS_EXTRA_ROOT}/usr/include/${V2X_CROSS_TRIPLET}")
  string(APPEND CMAKE_CXX_FLAGS_INIT " -isystem ${V2X_CROSS_EXTRA_ROOT}/usr/include/${V2X_CROSS_TRIPLET}")
  # The unpacked libraries depend on each other; the linker must find them.
  string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -Wl,-rpath-link,${_v2x_lib_path}")
  string(APPEND CMAKE_SHARED_LINKER_FLAGS_INIT " -Wl,-rpath-link,${_v2x_lib_path}")
endif()
string(REPLACE ";" ":" _v2x_pc_path "${_v2x_pc_dirs}")
set(ENV{PKG_CONFIG_LIBDIR} "${_v2x_pc_path}")
set(ENV{PKG_CONFIG_PATH} "")
if(CMAKE_SYSROOT)
  set(ENV{PKG_CONFIG_SYSROOT_DIR} "${CMAKE_SYSROOT}")
endif()

# Test programs run under qemu-user: CMake's test discovery and ctest both go
# through this. The target's C library is installed multiarch on the build
# machine, so qemu finds its loader without -L (with -L /usr/<triplet> the
# programs hang). The privately unpacked libraries are handed to the target's
# loader through the guest environment.
find_program(V2X_CROSS_QEMU_PATH ${V2X_CROSS_QEMU})
if(V2X_CROSS_QEMU_PATH)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${V2X_CROSS_QEMU_PATH})
  if(CMAKE_SYSROOT)
    list(APPEND CMAKE_CROSSCOMPILING_EMULATOR -L ${CMAKE_SYSROOT})
  endif()
  if(_v2x_lib_path)
    list(APPEND CMAKE_CROSSCOMPILING_EMULATOR -E LD_LIBRARY_PATH=${_v2x_lib_path})
  endif()
endif()
