// SPDX-License-Identifier: Apache-2.0
// The libraries' binary interface: both export C names only, exactly those
// of the list kept beside this test, each with the version node its
// library's version script gives it;
// the packages' symbols files say the same; and the libraries' own calls
// reach their own definitions whatever a program loads ahead of them.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "cv2x_app.h"
#include "product_support.hpp"

using namespace product;

#if defined(V2X_BINARY_DIR) && defined(V2X_SOURCE_DIR)

namespace {

// A version script's nodes and, under each node's "global:", its names:
// name -> node. Each release that adds names adds a node.
struct VersionScript {
    std::map<std::string, std::string> node_of;
    std::set<std::string> nodes;
};
VersionScript read_version_script(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream all;
    all << in.rdbuf();
    std::string text = all.str();
    for (size_t at; (at = text.find("/*")) != std::string::npos;) {
        const size_t end = text.find("*/", at + 2);
        text.erase(at, end == std::string::npos ? std::string::npos : end + 2 - at);
    }
    // "NODE { global: a; b; local: *; } PARENT;", with "{", "}" and ";"
    // made words of their own.
    std::string spaced;
    for (const char c : text) {
        spaced += c == '{' || c == '}' || c == ';' ? std::string(" ") + c + " " : std::string(1, c);
    }
    VersionScript vs;
    enum { kName, kOpen, kBody, kTail } at = kName;
    std::string node;
    bool global = false;
    std::istringstream words(spaced);
    for (std::string w; words >> w;) {
        switch (at) {
        case kName:
            node = w;
            vs.nodes.insert(w);
            at = kOpen;
            break;
        case kOpen: // "{"
            global = false;
            at = kBody;
            break;
        case kBody:
            if (w == "}") {
                at = kTail;
            } else if (w == "global:" || w == "local:") {
                global = w == "global:";
            } else if (global && w != ";") {
                vs.node_of[w] = node;
            }
            break;
        case kTail: // the node it inherits, if any, then ";"
            if (w == ";") {
                at = kName;
            }
            break;
        }
    }
    return vs;
}

// Defined global dynamic symbols of a library, name -> version as readelf
// shows it ("@@NODE" for the default version, "@NODE" for a hidden one, ""
// for none), without the linker's own markers and the sanitizers' names.
std::map<std::string, std::string> exported(const std::string& lib,
                                            const std::set<std::string>& nodes, std::string& out)
{
    std::map<std::string, std::string> names;
    if (shell("readelf --dyn-syms -W " + q(lib), out) != 0) {
        return names;
    }
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        std::string num, value, size, type, bind, vis, ndx, sym;
        std::istringstream(line) >> num >> value >> size >> type >> bind >> vis >> ndx >> sym;
        if (num.empty() || num.back() != ':' || num == "Num:" || ndx == "UND" || bind == "LOCAL") {
            continue;
        }
        const size_t at = sym.find('@');
        const std::string name = sym.substr(0, at);
        const std::string version = at == std::string::npos ? "" : sym.substr(at);
        // GNU ld defines an absolute symbol named after each version node.
        // (ABS on x86-64; other targets may place it in a section.)
        const bool node_marker = nodes.count(name) != 0;
        const bool sanitizer = name.rfind("__odr_asan", 0) == 0 || name.rfind("__asan", 0) == 0 ||
                               name.rfind("__ubsan", 0) == 0 || name.rfind("__sanitizer", 0) == 0;
        if (!name.empty() && !node_marker && !sanitizer && name != "__bss_start" &&
            name != "_edata" && name != "_end") {
            names[name] = version;
        }
    }
    return names;
}

struct Lib {
    const char* path; // in the build tree
    const char* map;  // its version script, in the source tree
    const char* package;
};
const Lib kLibs[] = {{"/vestra/libvestra.so", "/cmake/vestra.map", "libvestra1"},
                     {"/morrow/libmorrow.so", "/cmake/morrow.map", "libmorrow1"}};

} // namespace

TEST(Abi, LibrariesExportOnlyTheListedCNamesEachWithItsNode)
{
    std::string out;
    if (shell("command -v readelf", out) != 0) {
        GTEST_SKIP() << "readelf is not installed (binutils)";
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
    for (const Lib& lib : kLibs) {
        const VersionScript vs = read_version_script(std::string(V2X_SOURCE_DIR) + lib.map);
        ASSERT_FALSE(vs.node_of.empty()) << lib.map;
        const auto names = exported(std::string(V2X_BINARY_DIR) + lib.path, vs.nodes, out);
        ASSERT_FALSE(names.empty()) << lib.path << ": " << out;
        for (const auto& [n, version] : names) {
            EXPECT_NE(n.rfind("_Z", 0), 0u) << lib.path << " exports a C++ name: " << n;
            EXPECT_EQ(allowed.count(n), 1u) << lib.path << " exports " << n << ", which is not listed";
            const auto node = vs.node_of.find(n);
            EXPECT_EQ(version, node == vs.node_of.end() ? std::string("(not in ") + lib.map + ")"
                                                        : "@@" + node->second)
                << lib.path << ": " << n;
            EXPECT_TRUE(all.insert(n).second) << n << " is exported by both libraries";
        }
    }
    for (const std::string& n : allowed) {
        EXPECT_EQ(all.count(n), 1u) << n << " is listed but no longer exported";
    }
}

// dpkg-gensymbols -c4 fails on any symbol that appeared, disappeared or
// changed its version against the package's symbols file; the output,
// written for this version, is the file itself. A name added since the last
// release is recorded with the coming release's number while the tree still
// carries the last one's; dpkg-gensymbols would lower that to the version it
// is given, so it is given the newest the file records when that is ahead.
#ifdef V2X_PROJECT_VERSION
TEST(Abi, SymbolsFilesAgreeWithTheBuiltLibraries)
{
    std::string out;
    if (getenv("V2X_UNDER_QEMU") != nullptr) {
        GTEST_SKIP() << "cross build: dpkg-gensymbols reads the libraries with the build "
                        "machine's objdump; the native build checks the same files";
    }
    if (shell("command -v dpkg-gensymbols", out) != 0) {
        GTEST_SKIP() << "dpkg-gensymbols is not installed (dpkg-dev)";
    }
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "sanitizer build: AddressSanitizer adds an exported __odr_asan name for "
                    "each exported variable; the plain build checks the packaged libraries";
#endif
    const std::string dir = v2xtest::unique_path("symbols");
    ASSERT_EQ(shell("mkdir -p " + q(dir + "/pkg"), out), 0) << out;
    for (const Lib& lib : kLibs) {
        const std::string want =
            std::string(V2X_SOURCE_DIR) + "/packaging/debian/" + lib.package + "/symbols";
        const std::string got = dir + "/" + lib.package + ".symbols";
        std::string version = V2X_PROJECT_VERSION;
        std::string newest;
        ASSERT_EQ(shell("awk '/^ /{print $2}' " + q(want) + " | sort -V | tail -n1", newest), 0)
            << newest;
        newest = newest.substr(0, newest.find('\n'));
        if (!newest.empty() &&
            shell("dpkg --compare-versions " + q(newest) + " gt " + q(version), out) == 0) {
            version = newest;
        }
        EXPECT_EQ(shell("cd " + q(dir) + " && dpkg-gensymbols -q -c4 -v" + q(version) + " -p" + lib.package +
                            " -P" + q(dir + "/pkg") + " -e" +
                            q(std::string(V2X_BINARY_DIR) + lib.path) + " -I" + q(want) +
                            " -O" + q(got),
                        out),
                  0)
            << lib.package << ": " << out;
        EXPECT_EQ(slurp(got), slurp(want)) << lib.package;
    }
    shell("rm -rf " + q(dir), out);
}
#endif

#if defined(V2X_INTERPOSE_PROBE) && defined(V2X_INTERPOSE_PROBE_FIRST) && \
    defined(V2X_IMPOSTOR) && defined(V2X_IMPOSTOR_VERSIONED)
// The probe's line (probe.c): the libraries' own calls must reach their own
// definitions (the right digest, the refusal of a null request, no call to
// the impostor) in every case; the program's own references reach whatever
// the loader's rules give, which docs/integration.md states.
TEST(Abi, LibrariesOwnCallsReachTheirOwnDefinitionsWhateverIsLoadedFirst)
{
    const std::string inside = "digest=900150983cd24fb0d6963f7d28e17f72 dsm=" +
                               std::to_string(-ERR_V2X_PARM_CONT) + " internal=";
    auto run = [](const std::string& env, const char* probe) {
        std::string out;
        const int rc = shell(env + " " + q(probe), out);
        const auto lines = lines_with(out, "digest=");
        return std::to_string(rc) + " " + (lines.empty() ? out : lines.front());
    };
    // Nothing ahead: all of it is the libraries'.
    EXPECT_EQ(run("", V2X_INTERPOSE_PROBE), "0 " + inside + "-1 own_md5=morrow own_buffer=morrow");
    // Linked ahead of the libraries: the program's references were resolved
    // against the impostor at link time and carry no version.
    EXPECT_EQ(run("", V2X_INTERPOSE_PROBE_FIRST),
              "0 " + inside + "0 own_md5=impostor own_buffer=impostor");

    if (getenv("V2X_UNDER_QEMU") != nullptr) {
        GTEST_SKIP() << "cross build: LD_PRELOAD would reach the emulator, not the program; "
                        "the link-order cases above ran";
    }
    std::string env = "LD_PRELOAD=";
#ifdef V2X_TEST_SANITIZE
    // The sanitizer runtime insists on coming first; here it need not.
    env = "ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0 " + env;
#endif
    // Preloaded without versions: the loader takes an unversioned
    // definition for the program's references to md5_init_ctx@MORROW_1.
    EXPECT_EQ(run(env + q(V2X_IMPOSTOR), V2X_INTERPOSE_PROBE),
              "0 " + inside + "0 own_md5=impostor own_buffer=impostor");
    // Preloaded with a version node of its own: MORROW_1 references pass it by.
    EXPECT_EQ(run(env + q(V2X_IMPOSTOR_VERSIONED), V2X_INTERPOSE_PROBE),
              "0 " + inside + "0 own_md5=morrow own_buffer=morrow");
}
#endif

#endif
