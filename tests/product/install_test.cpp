// SPDX-License-Identifier: Apache-2.0
// Installation as an application developer uses it: the build is installed
// into a staging root, a C program is built out of tree with the flags of
// `pkg-config --cflags --libs vestra morrow` and run against that copy.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "product_support.hpp"

using namespace product;
using v2xtest::unique_path;

#if defined(V2X_BINARY_DIR) && defined(V2X_CMAKE_COMMAND) && defined(V2X_C_COMPILER) && \
    defined(V2X_CXX_COMPILER) && defined(V2X_INSTALL_LIBDIR) && defined(V2X_SOURCE_DIR)

namespace {

#ifdef V2X_TEST_SANITIZE
// The installed libraries carry the sanitizer runtime: the program loads it first.
const std::string kSanFlags = " -fsanitize=address,undefined";
#else
const std::string kSanFlags;
#endif


// What the install holds, and what it must not: the layers' own headers stay
// in the source tree.
void check_installed_files(const std::string& prefix, const std::string& libdir)
{
    for (const std::string& f :
         {libdir + "/libvestra.so", libdir + "/libmorrow.so", libdir + "/libvestra.so.1",
          libdir + "/pkgconfig/vestra.pc", libdir + "/pkgconfig/morrow.pc",
          libdir + "/pkgconfig/vestra-compat.pc", libdir + "/pkgconfig/morrow-compat.pc",
          libdir + "/cmake/vestra/vestraConfig.cmake", libdir + "/cmake/vestra/vestraTargets.cmake",
          prefix + "/include/vestra/cv2x_app.h", prefix + "/include/vestra/core_app.h",
          prefix + "/include/vestra/cv2x_app_sys.h", prefix + "/include/vestra/v2x_stats.h",
          prefix + "/include/vestra/v2x_types.h", prefix + "/include/vestra/v2x_core.h",
          prefix + "/include/morrow/v2x_api.h", prefix + "/include/morrow/self_log.h",
          prefix + "/bin/v2x-station", prefix + "/bin/radio-sim", prefix + "/bin/v2x-ctl",
          prefix + "/bin/v2x-cert",
          prefix + "/bin/sys-api-min", libdir + "/wireshark/plugins/v2x_dsmp.lua"}) {
        EXPECT_EQ(access(f.c_str(), F_OK), 0) << f << " is not installed";
    }
    for (const char* h : {"core.h", "rlink.h", "domn_serv.h", "dme.h", "dme_dsm.h", "core_mib.h",
                          "adap_lyr.h", "aces_lyr.h", "self_list.h"}) {
        EXPECT_NE(access((prefix + "/include/vestra/" + h).c_str(), F_OK), 0) << h;
    }
}

// Every installed header compiles alone, as C11 (POSIX types need
// _POSIX_C_SOURCE in strict C, as for any POSIX header) and as C++17: as
// <vestra/h> with the include flags of vestra.pc, and by its short name with
// those of vestra-compat.pc.
void check_headers_alone(const std::string& prefix, const std::string& pc)
{
    std::string out;
    std::string flags;
    std::string compat;
    ASSERT_EQ(shell(pc + " --cflags vestra morrow", flags), 0) << flags;
    ASSERT_EQ(shell(pc + " --cflags vestra-compat", compat), 0) << compat;
    flags = " " + first_line(flags);
    compat = " " + first_line(compat);
    for (const char* dir : {"vestra", "morrow"}) {
        std::string list;
        ASSERT_EQ(shell("ls " + q(prefix + "/include/" + dir), list), 0);
        std::istringstream names(list);
        for (std::string h; std::getline(names, h);) {
            for (const auto& [name, inc] : {std::pair{std::string(dir) + "/" + h, flags}, std::pair{h, compat}}) {
                const std::string src = "'#include <" + name + ">\nint v2x_probe;\n'";
                EXPECT_EQ(shell("printf %s " + src + " | " + q(V2X_C_COMPILER) +
                                    " -std=c11 -D_POSIX_C_SOURCE=200809L -Wall -Wextra -Werror -fsyntax-only" +
                                    inc + " -x c -",
                                out),
                          0)
                    << name << " as C with" << inc << ": " << out;
                EXPECT_EQ(shell("printf %s " + src + " | " + q(V2X_CXX_COMPILER) +
                                    " -std=c++17 -Wall -Wextra -Werror -fsyntax-only" + inc + " -x c++ -",
                                out),
                          0)
                    << name << " as C++ with" << inc << ": " << out;
            }
        }
    }
    // The plain flags put no header of either library on the path by its
    // short name, where it could shadow another project's.
    for (const char* h : {"cv2x_app.h", "self_log.h"}) {
        EXPECT_NE(shell("printf '#include <%s>\\n' " + std::string(h) + " | " + q(V2X_C_COMPILER) +
                            " -fsyntax-only" + flags + " -x c -",
                        out),
                  0)
            << h << " is found by its short name with" << flags;
    }
}

} // namespace

// Installed into one prefix, the tree is moved to another folder: the
// pkg-config files and the CMake package find it there, two programs built
// out of tree with them run against a core, and the installed station runs
// without ldconfig.
TEST(Install, MovedPrefixServesPkgConfigAndCMakeConsumers)
{
    if (getenv("V2X_UNDER_QEMU") != nullptr) {
        GTEST_SKIP() << "cross build under qemu-user: the program built out of tree would need "
                        "the target's library folders at link time and the emulator to run";
    }
    std::string out;
    if (shell("command -v pkg-config", out) != 0) {
        GTEST_SKIP() << "pkg-config is not installed (scripts/deps installs it)";
    }
    const std::string root = unique_path("inst");
    const std::string first = root + "/first";
    const std::string moved = root + "/moved/here";
    const std::string rel = std::string(V2X_INSTALL_LIBDIR).front() == '/' ? "lib" : V2X_INSTALL_LIBDIR;
    ASSERT_EQ(shell(q(V2X_CMAKE_COMMAND) + " --install " + q(V2X_BINARY_DIR) + " --prefix " + q(first),
                    out),
              0)
        << out;
    ASSERT_EQ(shell("mkdir -p " + q(root + "/moved") + " && mv " + q(first) + " " + q(moved), out), 0);
    const std::string libdir = moved + "/" + rel;
    check_installed_files(moved, libdir);
    const std::string pc = "PKG_CONFIG_PATH=" + q(libdir + "/pkgconfig") + " pkg-config";
    check_headers_alone(moved, pc);

    ASSERT_EQ(shell(pc + " --variable=prefix vestra", out), 0) << out;
    ASSERT_EQ(shell("cd " + q(first_line(out)) + " && pwd -P", out), 0);
    EXPECT_EQ(first_line(out), moved) << "the prefix follows the moved tree";

    const std::string app = std::string(V2X_SOURCE_DIR) + "/tests/product/install_app/app.c";
    const std::string exe = root + "/app-pc";
    ASSERT_EQ(shell(q(V2X_C_COMPILER) + " -std=c11 -Wall -Wextra -Werror" + kSanFlags + " -o " +
                        q(exe) + " " + q(app) + " $(" + pc + " --cflags --libs vestra morrow)",
                    out),
              0)
        << out;
    // A program of release 1.0, with the short names, through the
    // compatibility modules.
    EXPECT_EQ(shell(q(V2X_C_COMPILER) + " -std=c11 -Wall -Wextra -Werror -DV2X_FLAT_INCLUDES" + kSanFlags +
                        " -o " + q(exe + "-flat") + " " + q(app) + " $(" + pc +
                        " --cflags --libs vestra-compat morrow-compat)",
                    out),
              0)
        << out;
    // The shipped minimal program of the system API compiles the same way
    // (it is not run: its defaults address a board's radio module).
    const std::string sysMin = std::string(V2X_SOURCE_DIR) + "/examples/sys-api-min/main.c";
    EXPECT_EQ(shell(q(V2X_C_COMPILER) + " -std=c11 -Wall -Wextra -Werror" + kSanFlags + " -o " +
                        q(exe + "-sys") + " " + q(sysMin) + " $(" + pc +
                        " --cflags --libs vestra morrow)",
                    out),
              0)
        << out;

    // The CMake consumer: find_package and the two imported targets, and a
    // program with the short names through vestra::compat_includes.
    const std::string proj = root + "/cmake-app";
    ASSERT_EQ(shell("mkdir -p " + q(proj) + " && cp " + q(app) + " " + q(proj + "/app.c"), out), 0);
    spill(proj + "/CMakeLists.txt",
          "cmake_minimum_required(VERSION 3.16)\nproject(consumer C)\n"
          "find_package(vestra 1 CONFIG REQUIRED)\nadd_executable(app app.c)\n"
          "target_link_libraries(app PRIVATE vestra::vestra vestra::morrow)\n"
          "add_executable(app_flat app.c)\n"
          "target_compile_definitions(app_flat PRIVATE V2X_FLAT_INCLUDES)\n"
          "target_link_libraries(app_flat PRIVATE vestra::compat_includes)\n");
    ASSERT_EQ(shell(q(V2X_CMAKE_COMMAND) + " -S " + q(proj) + " -B " + q(proj + "/b") +
                        " -DCMAKE_PREFIX_PATH=" + q(moved) + " -DCMAKE_C_COMPILER=" +
                        q(V2X_C_COMPILER) + " -DCMAKE_C_FLAGS=" + q(kSanFlags) +
                        " -DCMAKE_EXE_LINKER_FLAGS=" + q(kSanFlags) + " && " +
                        q(V2X_CMAKE_COMMAND) + " --build " + q(proj + "/b"),
                    out),
              0)
        << out;

    for (const std::string& prog : {exe, exe + "-flat", proj + "/b/app", proj + "/b/app_flat"}) {
        const std::vector<uint16_t> ports = free_ports(2);
        const std::string sock = unique_path("instsock");
        ASSERT_EQ(shell("LD_LIBRARY_PATH=" + q(libdir) + " " + q(prog) + " " + q(sock) + " " +
                            std::to_string(ports[0]) + " " + std::to_string(ports[1]),
                        out),
                  0)
            << prog << ": " << out;
        EXPECT_NE(out.find("app: ok"), std::string::npos) << prog << ": " << out;
        // It ran on the moved copy, not on the build tree.
        ASSERT_EQ(shell("LD_LIBRARY_PATH=" + q(libdir) + " ldd " + q(prog), out), 0) << out;
        EXPECT_NE(out.find(libdir + "/libvestra.so"), std::string::npos) << out;
        shell("rm -f " + q(sock), out);
    }
    // The installed programs find the moved libraries by themselves.
    EXPECT_EQ(shell(q(moved + "/bin/v2x-station") + " --help", out), 0) << out;
    EXPECT_EQ(shell(q(moved + "/bin/v2x-ctl") + " --help", out), 0) << out;
    shell("rm -rf " + q(root), out);
}

#endif
