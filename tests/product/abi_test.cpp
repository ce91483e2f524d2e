// The libraries' binary interface: both export C names only, and exactly
// those of the list kept beside this test.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include "product_support.hpp"

using namespace product;

#if defined(V2X_BINARY_DIR) && defined(V2X_SOURCE_DIR)

namespace {

// Defined dynamic symbols of a library, without version suffixes and the
// linker's own markers.
std::set<std::string> exported(const std::string& lib, std::string& out)
{
    std::set<std::string> names;
    if (shell("nm -D --defined-only " + lib, out) != 0) {
        return names;
    }
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        std::string addr, type, name;
        std::istringstream(line) >> addr >> type >> name;
        name = name.substr(0, name.find('@'));
        // The sanitizers' instrumentation adds names of its own.
        const bool sanitizer = name.rfind("__odr_asan", 0) == 0 || name.rfind("__asan", 0) == 0 ||
                               name.rfind("__ubsan", 0) == 0 || name.rfind("__sanitizer", 0) == 0;
        if (!name.empty() && !sanitizer && name != "__bss_start" && name != "_edata" &&
            name != "_end") {
            names.insert(name);
        }
    }
    return names;
}

} // namespace

TEST(Abi, LibrariesExportOnlyTheListedCNames)
{
    std::string out;
    if (getenv("V2X_UNDER_QEMU") != nullptr) {
        GTEST_SKIP() << "cross build: the build machine's nm does not read the target's "
                        "libraries; the native build checks the same list";
    }
    if (shell("command -v nm", out) != 0) {
        GTEST_SKIP() << "nm is not installed (binutils)";
    }
    std::set<std::string> allowed;
    std::ifstream list(std::string(V2X_SOURCE_DIR) + "/tests/product/abi_symbols.txt");
    for (std::string line; std::getline(list, line);) {
        if (!line.empty() && line[0] != '#') {
            allowed.insert(line);
        }
    }
    ASSERT_GT(allowed.size(), 100u);
    std::set<std::string> all;
    for (const char* lib : {"/vestra/libvestra.so", "/morrow/libmorrow.so"}) {
        const std::set<std::string> names = exported(std::string(V2X_BINARY_DIR) + lib, out);
        ASSERT_FALSE(names.empty()) << lib << ": " << out;
        for (const std::string& n : names) {
            EXPECT_NE(n.rfind("_Z", 0), 0u) << lib << " exports a C++ name: " << n;
            EXPECT_EQ(allowed.count(n), 1u) << lib << " exports " << n << ", which is not listed";
            all.insert(n);
        }
    }
    for (const std::string& n : allowed) {
        EXPECT_EQ(all.count(n), 1u) << n << " is listed but no longer exported";
    }
}

#endif
