// Installation as an application developer uses it: the build is installed
// into a staging root, a C program is built out of tree with the flags of
// `pkg-config --cflags --libs vestra morrow` and run against that copy.
#include <gtest/gtest.h>

#include <cstdlib>

#include "product_support.hpp"

using namespace product;
using v2xtest::unique_path;

#if defined(V2X_BINARY_DIR) && defined(V2X_CMAKE_COMMAND) && defined(V2X_C_COMPILER) && \
    defined(V2X_INSTALL_PREFIX) && defined(V2X_INSTALL_LIBDIR) && defined(V2X_SOURCE_DIR)

namespace {

#ifdef V2X_TEST_SANITIZE
// The installed libraries carry the sanitizer runtime: the program loads it first.
const std::string kSanFlags = " -fsanitize=address,undefined";
#else
const std::string kSanFlags;
#endif

std::string q(const std::string& s)
{
    return "'" + s + "'";
}

} // namespace

TEST(Install, OutOfTreeProgramBuildsWithPkgConfigAndRuns)
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
    const std::string prefix = root + V2X_INSTALL_PREFIX;
    const std::string libdir = std::string(V2X_INSTALL_LIBDIR).front() == '/'
                                   ? root + V2X_INSTALL_LIBDIR
                                   : prefix + "/" + V2X_INSTALL_LIBDIR;
    ASSERT_EQ(shell("DESTDIR=" + q(root) + " " + q(V2X_CMAKE_COMMAND) + " --install " +
                        q(V2X_BINARY_DIR),
                    out),
              0)
        << out;

    // The installed tree holds the libraries, both header sets and the
    // pkg-config files.
    for (const std::string& f :
         {libdir + "/libvestra.so", libdir + "/libmorrow.so", libdir + "/pkgconfig/vestra.pc",
          libdir + "/pkgconfig/morrow.pc", prefix + "/include/vestra/cv2x_app.h",
          prefix + "/include/vestra/core_app.h", prefix + "/include/vestra/cv2x_app_sys.h",
          prefix + "/include/morrow/v2x_api.h", prefix + "/include/morrow/self_log.h"}) {
        EXPECT_EQ(access(f.c_str(), F_OK), 0) << f << " is not installed";
    }

    // The staging root stands in for "/": pkg-config puts it before every path.
    const std::string pc = "PKG_CONFIG_PATH=" + q(libdir + "/pkgconfig") +
                           " PKG_CONFIG_SYSROOT_DIR=" + q(root) + " pkg-config";
    ASSERT_EQ(shell(pc + " --cflags --libs vestra morrow", out), 0) << out;
    const std::string flags = out.substr(0, out.find('\n'));
    EXPECT_NE(flags.find("-I" + prefix + "/include/vestra"), std::string::npos) << flags;
    EXPECT_NE(flags.find("-I" + prefix + "/include/morrow"), std::string::npos) << flags;
    EXPECT_NE(flags.find("-lvestra"), std::string::npos) << flags;
    EXPECT_NE(flags.find("-lmorrow"), std::string::npos) << flags;

    const std::string exe = root + "-app";
    const std::string app = std::string(V2X_SOURCE_DIR) + "/tests/product/install_app/app.c";
    ASSERT_EQ(shell(q(V2X_C_COMPILER) + " -std=c11 -Wall -Wextra -Werror" + kSanFlags + " -o " +
                        q(exe) + " " + q(app) + " $(" + pc + " --cflags --libs vestra morrow)",
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

    const std::vector<uint16_t> ports = free_ports(2);
    const std::string sock = unique_path("instsock");
    ASSERT_EQ(shell("LD_LIBRARY_PATH=" + q(libdir) + " " + q(exe) + " " + q(sock) + " " +
                        std::to_string(ports[0]) + " " + std::to_string(ports[1]),
                    out),
              0)
        << out;
    EXPECT_NE(out.find("app: ok"), std::string::npos) << out;
    // The program ran on the installed copy, not on the build tree.
    ASSERT_EQ(shell("LD_LIBRARY_PATH=" + q(libdir) + " ldd " + q(exe), out), 0) << out;
    EXPECT_NE(out.find(libdir + "/libvestra.so"), std::string::npos) << out;

    shell("rm -rf " + q(root) + " " + q(exe) + " " + q(exe + "-sys") + " " + q(sock), out);
}

#endif
