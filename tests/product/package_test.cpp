// SPDX-License-Identifier: Apache-2.0
// The Debian packages as a user gets them: scripts/package builds them for
// this machine's architecture; their split (which file is in which
// package), control fields and -dbgsym packages are checked and lintian
// --pedantic finds nothing but the documented overrides; dpkg installs them
// into a throwaway root, running the maintainer scripts without chroot on
// that root's files; from there the station checks its configurations and
// a C program built out of tree with the packaged pkg-config files runs.
// Where the arm64 cross toolchain is set up, the arm64 library and -dev
// packages are built too and installed beside the amd64 ones in that root.
// One test: the packages are rebuilt in place, so two tests could not share
// them.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <map>
#include <set>

#include "product_support.hpp"

using namespace product;
using v2xtest::unique_path;

#if defined(V2X_SOURCE_DIR) && defined(V2X_C_COMPILER) && defined(V2X_PROJECT_VERSION)

namespace {

bool exists(const std::string& path)
{
    return access(path.c_str(), F_OK) == 0;
}

bool starts_with(const std::string& s, const std::string& prefix)
{
    return s.compare(0, prefix.size(), prefix) == 0;
}

// The files (not folders) a package holds, from `dpkg-deb -c`
// ("./usr/bin/x" -> "/usr/bin/x"; a link's "-> target" is dropped).
std::set<std::string> contents(const std::string& deb)
{
    std::string out;
    shell("dpkg-deb -c " + q(deb), out);
    std::set<std::string> names;
    std::istringstream is(out);
    for (std::string line; std::getline(is, line);) {
        std::istringstream fields(line);
        std::string f[6];
        for (std::string& x : f) {
            fields >> x;
        }
        if (f[5].size() > 1 && f[5][0] == '.' && f[5].back() != '/') {
            names.insert(f[5].substr(1));
        }
    }
    return names;
}

// A package's md5sums: path ("/usr/...") -> digest.
std::map<std::string, std::string> md5sums(const std::string& deb)
{
    std::string out;
    shell("dpkg-deb --ctrl-tarfile " + q(deb) + " | tar -xO ./md5sums", out);
    std::map<std::string, std::string> sums;
    std::istringstream is(out);
    for (std::string sum, path; is >> sum >> path;) {
        sums["/" + path] = sum;
    }
    return sums;
}

// Package name -> file, from the paths scripts/package prints last.
std::map<std::string, std::string> packages_made(const std::string& out, std::string& all)
{
    std::map<std::string, std::string> deb;
    for (const std::string& line : lines_with(out, ".deb")) {
        if (line.front() == '/' && line.size() > 4 && line.compare(line.size() - 4, 4, ".deb") == 0) {
            const std::string base = line.substr(line.rfind('/') + 1);
            deb[base.substr(0, base.find('_'))] = line;
            all += " " + q(line);
        }
    }
    return deb;
}

// scripts/package for one architecture, installing nothing: the tests never
// run apt (scripts/test installs and downloads everything first). When
// something is missing the script ends with kNotInstalled and names it.
constexpr int kNotInstalled = 77;
int make_packages(const std::string& arch, std::string& out)
{
    return shell("V2X_NO_INSTALL=1 " + q(std::string(V2X_SOURCE_DIR) + "/scripts/package") + " " + arch, out);
}

// Why a package build found something missing, from its output.
std::string what_is_missing(const std::string& out)
{
    std::string why;
    for (const std::string& line : lines_with(out, "V2X_NO_INSTALL=1 forbids")) {
        why += "\n" + line;
    }
    return why.empty() ? out : why;
}

std::string build_id(const std::string& elf)
{
    std::string out;
    shell("readelf -n " + q(elf), out);
    const size_t at = out.find("Build ID: ");
    return at == std::string::npos ? "" : first_line(out.substr(at + 10));
}

// Removes a folder when the test ends, also after a failed assertion.
struct Scratch {
    const std::string path;
    ~Scratch()
    {
        std::string out;
        shell("rm -rf '" + path + "'", out);
    }
};

// Lines of an account file naming the service's account.
int count_accounts(const std::string& file)
{
    return v2xtest::count_lines_with(slurp(file), "vestra:");
}

const std::vector<std::string> kPackages = {"libmorrow1", "libvestra1", "libvestra-dev", "vestra-tools",
                                            "vestra-sim", "python3-vestra"};
// Those of two architectures install side by side.
const std::set<std::string> kMultiArchSame = {"libmorrow1", "libvestra1", "libvestra-dev",
                                              "libmorrow1-dbgsym", "libvestra1-dbgsym"};
// Packages holding programs or libraries, whose debug information is in
// PACKAGE-dbgsym.
const std::vector<std::string> kWithDbgsym = {"libmorrow1", "libvestra1", "vestra-tools", "vestra-sim"};

} // namespace

TEST(Package, BuildInstallIntoThrowawayRootAndBuildAgainst)
{
    if (getenv("V2X_UNDER_QEMU") != nullptr) {
        GTEST_SKIP() << "cross build under qemu-user: the packages are built and installed for the "
                        "build machine's architecture";
    }
    std::string out;
    if (shell("command -v dpkg-deb", out) != 0) {
        GTEST_SKIP() << "dpkg-deb is not installed: not a Debian system";
    }
    if (geteuid() != 0) {
        GTEST_SKIP() << "dpkg installs files owned by root, also into a throwaway root: run as root";
    }
    const std::string src = V2X_SOURCE_DIR;
    ASSERT_EQ(shell("dpkg --print-architecture", out), 0);
    const std::string arch = first_line(out);
    ASSERT_EQ(shell("dpkg-architecture -qDEB_HOST_MULTIARCH", out), 0) << out;
    const std::string lib = "/usr/lib/" + first_line(out);

    int rc = make_packages(arch, out);
    if (rc == kNotInstalled) {
        GTEST_SKIP() << "not installed (scripts/deps installs it):" << what_is_missing(out);
    }
    ASSERT_EQ(rc, 0) << out;
    std::string debs;
    std::map<std::string, std::string> deb = packages_made(out, debs);
    std::vector<std::string> names = kPackages;
    for (const std::string& p : kWithDbgsym) {
        names.push_back(p + "-dbgsym");
    }
    ASSERT_EQ(deb.size(), names.size()) << out;
    for (const std::string& pkg : names) {
        ASSERT_EQ(deb.count(pkg), 1u) << pkg << "\n" << out;
    }

    // Control fields and files.
    auto control = [&](const std::string& file, const std::string& what, bool member = false) {
        std::string o;
        EXPECT_EQ(shell("dpkg-deb " + std::string(member ? "-I " : "-f ") + q(file) + " " + what, o), 0)
            << file << " " << what << ": " << o;
        return member ? o : first_line(o);
    };
    const std::string version = control(deb["libvestra1"], "Version");
    EXPECT_EQ(version.rfind(std::string(V2X_PROJECT_VERSION) + "-", 0), 0u) << version;
    const std::map<std::string, std::string> sections = {{"libmorrow1", "libs"},
                                                         {"libvestra1", "libs"},
                                                         {"libvestra-dev", "libdevel"},
                                                         {"vestra-tools", "net"},
                                                         {"vestra-sim", "net"},
                                                         {"python3-vestra", "python"}};
    for (const std::string& pkg : names) {
        const auto s = sections.find(pkg);
        EXPECT_EQ(control(deb[pkg], "Package"), pkg);
        EXPECT_EQ(control(deb[pkg], "Version"), version) << pkg;
        EXPECT_EQ(control(deb[pkg], "Architecture"), pkg == "python3-vestra" ? "all" : arch) << pkg;
        EXPECT_EQ(control(deb[pkg], "Section"), s == sections.end() ? "debug" : s->second) << pkg;
        EXPECT_EQ(control(deb[pkg], "Multi-Arch") == "same", kMultiArchSame.count(pkg) == 1) << pkg;
    }
    auto exact = [&](const std::string& pkg) { return pkg + " (= " + version + ")"; };
    const std::map<std::string, std::vector<std::string>> needs = {
        {"libmorrow1", {"libc6", "libconfig"}},
        {"libvestra1", {exact("libmorrow1"), "libc6", "libevent-2", "libevent-pthreads"}},
        {"libvestra-dev", {exact("libvestra1"), exact("libmorrow1"), "libevent-dev", "libconfig-dev"}},
        {"vestra-tools", {exact("libvestra1"), exact("libmorrow1"), "libc6", "libconfig", "passwd"}},
        {"vestra-sim", {exact("libvestra1"), exact("libmorrow1"), "libc6"}},
        {"python3-vestra", {exact("libvestra1"), exact("libmorrow1"), "python3"}}};
    for (const auto& n : needs) {
        const std::string depends = control(deb[n.first], "Depends");
        for (const std::string& d : n.second) {
            EXPECT_NE(depends.find(d), std::string::npos) << n.first << " Depends: " << depends;
        }
    }
    EXPECT_EQ(control(deb["libvestra1"], "Depends").find("libvestra1"), std::string::npos);
    for (const std::string& p : kWithDbgsym) {
        EXPECT_EQ(control(deb[p + "-dbgsym"], "Depends"), exact(p));
    }
    for (const char* l : {"libmorrow", "libvestra"}) {
        const std::string pkg = std::string(l) + "1";
        EXPECT_EQ(control(deb[pkg], "shlibs", true), std::string(l) + " 1 " + pkg + " (>= " + version + ")\n");
        EXPECT_NE(control(deb[pkg], "triggers", true).find("activate-noawait ldconfig"), std::string::npos);
        const std::string symbols = src + "/packaging/debian/" + pkg + "/symbols";
        if (exists(symbols)) {
            EXPECT_EQ(control(deb[pkg], "symbols", true), slurp(symbols)) << pkg;
        }
    }

    // The split: each file in one package, each where it belongs.
    std::map<std::string, std::set<std::string>> files;
    std::map<std::string, std::string> owner;
    for (const std::string& pkg : names) {
        files[pkg] = contents(deb[pkg]);
        for (const std::string& f : files[pkg]) {
            const auto added = owner.emplace(f, pkg);
            EXPECT_TRUE(added.second) << f << " is in " << pkg << " and " << added.first->second;
        }
    }
    std::vector<std::pair<std::string, std::string>> held = {
        {"libmorrow1", lib + "/libmorrow.so.1"},
        {"libvestra1", lib + "/libvestra.so.1"},
        {"libvestra-dev", lib + "/libvestra.so"},
        {"libvestra-dev", lib + "/libmorrow.so"},
        {"libvestra-dev", lib + "/pkgconfig/vestra.pc"},
        {"libvestra-dev", lib + "/pkgconfig/morrow.pc"},
        {"libvestra-dev", lib + "/cmake/vestra/vestraConfig.cmake"},
        {"libvestra-dev", "/usr/include/vestra/cv2x_app.h"},
        {"libvestra-dev", "/usr/include/vestra/v2x_types.h"},
        {"libvestra-dev", "/usr/include/vestra/v2x_core.h"},
        {"libvestra-dev", "/usr/share/doc/libvestra-dev/html/index.html"},
        {"vestra-tools", "/usr/bin/v2x-station"},
        {"vestra-tools", "/usr/bin/v2x-ctl"},
        {"vestra-tools", "/usr/bin/v2x-cert"},
        {"vestra-tools", lib + "/wireshark/plugins/v2x_dsmp.lua"},
        {"vestra-sim", "/usr/bin/radio-sim"},
        {"vestra-sim", "/usr/bin/sys-api-min"},
        {"python3-vestra", "/usr/lib/python3/dist-packages/vestra/__init__.py"}};
    for (const std::string& pkg : kPackages) {
        held.emplace_back(pkg, "/usr/share/doc/" + pkg + "/copyright");
    }
    for (const auto& h : held) {
        EXPECT_EQ(owner[h.second], h.first) << h.second;
    }
    for (const std::string& f : files["vestra-tools"]) {
        EXPECT_TRUE(!starts_with(f, "/usr/bin/") || f == "/usr/bin/v2x-station" ||
                    f == "/usr/bin/v2x-ctl" || f == "/usr/bin/v2x-cert")
            << f << ": test tools belong in vestra-sim";
    }
    for (const auto& o : owner) {
        // A program's man page is in the program's package.
        const std::string man = "/usr/share/man/man1/";
        if (starts_with(o.first, man)) {
            const std::string page = o.first.substr(man.size());
            const std::string prog = page.substr(0, page.find(".1"));
            const auto program = owner.find("/usr/bin/" + prog);
            EXPECT_TRUE(program != owner.end() && program->second == o.second) << o.first;
        }
        // What two architectures share is the same for both; only the
        // multiarch folder and the build IDs differ.
        if (kMultiArchSame.count(o.second) == 1) {
            EXPECT_TRUE(starts_with(o.first, lib + "/") || starts_with(o.first, "/usr/include/") ||
                        starts_with(o.first, "/usr/share/doc/") ||
                        starts_with(o.first, "/usr/share/doc-base/") ||
                        starts_with(o.first, "/usr/share/lintian/overrides/") ||
                        starts_with(o.first, "/usr/lib/debug/.build-id/"))
                << o.second << ": " << o.first << " is outside the multiarch paths";
        }
    }
    const std::set<std::string>& tools = files["vestra-tools"];
    const bool unit = exists(src + "/packaging/systemd/v2x-station.service");
    const bool conf = exists(src + "/packaging/systemd/station.cfg");
    EXPECT_EQ(tools.count("/usr/lib/systemd/system/v2x-station.service"), unit ? 1u : 0u);
    for (const char* u : {"v2x-prometheus.service", "v2x-prometheus.timer"}) {
        EXPECT_EQ(tools.count(std::string("/usr/lib/systemd/system/") + u),
                  exists(src + "/packaging/systemd/" + u) ? 1u : 0u)
            << u;
    }
    EXPECT_EQ(tools.count("/etc/vestra/station.cfg"), conf ? 1u : 0u);
    if (conf) {
        EXPECT_NE(control(deb["vestra-tools"], "conffiles", true).find("/etc/vestra/station.cfg"),
                  std::string::npos);
    }

    // lintian at its most pedantic reports nothing that is not overridden
    // with a reason in packaging/debian/PACKAGE/lintian-overrides. (Symbols
    // files and man pages are tolerated missing only while the tree has
    // none.)
    std::string suppress;
    if (!exists(src + "/packaging/debian/libvestra1/symbols") ||
        !exists(src + "/packaging/debian/libmorrow1/symbols")) {
        suppress += ",no-symbols-control-file";
    }
    if (!exists(src + "/man")) {
        suppress += ",no-manual-page";
    }
    EXPECT_EQ(shell("lintian --pedantic --display-info --fail-on error,warning,info,pedantic" +
                        (suppress.empty() ? "" : " --suppress-tags " + suppress.substr(1)) + debs,
                    out),
              0)
        << out;

    // Installed into a throwaway root holding just the account files. The
    // postinst adds the account there, and again on a reinstall finds it.
    const Scratch scratch{unique_path("pkgroot")};
    const std::string root = scratch.path;
    ASSERT_EQ(shell("mkdir -p " + q(root + "/var/lib/dpkg/info") + " " + q(root + "/var/lib/dpkg/updates") +
                        " " + q(root + "/etc") + " && touch " + q(root + "/var/lib/dpkg/status"),
                    out),
              0)
        << out;
    spill(root + "/etc/passwd", "root:x:0:0:root:/root:/bin/sh\n");
    spill(root + "/etc/group", "root:x:0:\n");
    spill(root + "/etc/shadow", "root:*:19000:0:99999:7:::\n");
    spill(root + "/etc/gshadow", "root:*::\n");
    const std::string dpkg =
        "dpkg --root=" + q(root) + " --force-script-chrootless --force-depends --force-confold";
    const int hostAccount = shell("getent passwd vestra", out);
    ASSERT_EQ(shell(dpkg + " -i" + debs, out), 0) << out;
    EXPECT_EQ(count_accounts(root + "/etc/passwd"), 1) << slurp(root + "/etc/passwd");
    EXPECT_EQ(count_accounts(root + "/etc/group"), 1) << slurp(root + "/etc/group");
    EXPECT_NE(slurp(root + "/etc/passwd").find(":/nonexistent:/usr/sbin/nologin\n"), std::string::npos);
    // The API reference (doxygen's HTML) comes with the -dev package.
    EXPECT_NE(slurp(root + "/usr/share/doc/libvestra-dev/html/index.html").find("vestra"), std::string::npos);
    const std::string cfg = root + "/etc/vestra/station.cfg";
    if (conf) {
        spill(cfg, slurp(cfg) + "# edited here\n");
    }
    ASSERT_EQ(shell(dpkg + " -i" + debs, out), 0) << out;
    EXPECT_EQ(count_accounts(root + "/etc/passwd"), 1) << slurp(root + "/etc/passwd");
    if (conf) {
        EXPECT_NE(slurp(cfg).find("# edited here"), std::string::npos)
            << "a reinstall overwrote the conffile";
    }
    EXPECT_EQ(shell("getent passwd vestra", out), hostAccount)
        << "the maintainer scripts changed this system's accounts";

    // Installed files carry no debug information but a build ID whose
    // .debug file is in the package's -dbgsym package.
    for (const std::string& f : {lib + "/libmorrow.so.1", lib + "/libvestra.so.1",
                                 std::string("/usr/bin/v2x-station"), std::string("/usr/bin/radio-sim")}) {
        const std::string id = build_id(root + f);
        ASSERT_GT(id.size(), 2u) << f;
        const std::string debug = "/usr/lib/debug/.build-id/" + id.substr(0, 2) + "/" + id.substr(2) + ".debug";
        EXPECT_EQ(owner[debug], owner[f] + "-dbgsym") << f << ": " << debug;
        EXPECT_TRUE(exists(root + debug)) << debug;
        EXPECT_NE(control(deb[owner[f] + "-dbgsym"], "Build-Ids").find(id), std::string::npos) << f;
        ASSERT_EQ(shell("readelf -S -W " + q(root + f), out), 0) << out;
        EXPECT_EQ(out.find(".debug_info"), std::string::npos) << f;
        EXPECT_NE(out.find(".gnu_debuglink"), std::string::npos) << f;
    }

    // The arm64 libraries and -dev beside the amd64 ones, where the cross
    // toolchain is set up (scripts/cross-build does it): dpkg itself refuses
    // Multi-Arch: same packages whose shared files differ.
    const bool cross = arch == "amd64" && shell("command -v aarch64-linux-gnu-gcc", out) == 0 &&
                       shell("dpkg --print-foreign-architectures | grep -qx arm64", out) == 0;
    if (!cross) {
        std::cout << "[ NOTE     ] no arm64 cross toolchain: the arm64 -dev package is not co-installed\n";
    } else {
        rc = make_packages("arm64", out);
        if (rc == kNotInstalled) {
            GTEST_SKIP() << "the arm64 packages need what is not installed (scripts/package arm64 --deps "
                            "installs and downloads it):"
                         << what_is_missing(out);
        }
        ASSERT_EQ(rc, 0) << out;
        std::string all;
        std::map<std::string, std::string> foreign = packages_made(out, all);
        std::string debs64;
        for (const std::string& pkg : kMultiArchSame) {
            ASSERT_EQ(foreign.count(pkg), 1u) << pkg << "\n" << out;
            EXPECT_EQ(control(foreign[pkg], "Multi-Arch"), "same") << pkg;
            EXPECT_EQ(control(foreign[pkg], "Version"), version) << pkg;
            debs64 += " " + q(foreign[pkg]);
            const auto native = md5sums(deb[pkg]);
            for (const auto& f : md5sums(foreign[pkg])) {
                const auto same = native.find(f.first);
                if (same != native.end()) {
                    EXPECT_EQ(f.second, same->second) << pkg << ": " << f.first << " differs between architectures";
                } else {
                    EXPECT_TRUE(starts_with(f.first, "/usr/lib/aarch64-linux-gnu/") ||
                                starts_with(f.first, "/usr/lib/debug/.build-id/"))
                        << pkg << ": " << f.first;
                }
            }
        }
        ASSERT_EQ(shell("dpkg --root=" + q(root) + " --add-architecture arm64", out), 0) << out;
        ASSERT_EQ(shell(dpkg + " -i" + debs64, out), 0) << out;
        ASSERT_EQ(shell("dpkg-query --root=" + q(root) + " -W -f '${binary:Package} ${Status}\\n'", out), 0) << out;
        for (const char* a : {"amd64", "arm64"}) {
            for (const char* pkg : {"libmorrow1", "libvestra1", "libvestra-dev"}) {
                EXPECT_NE(out.find(std::string(pkg) + ":" + a + " install ok installed"), std::string::npos)
                    << pkg << ":" << a << "\n" << out;
            }
        }
        // libconfig, a public requirement, is found among the machine's own
        // modules: only vestra's own variables matter here.
        ASSERT_EQ(shell("PKG_CONFIG_LIBDIR=" + q(root + "/usr/lib/aarch64-linux-gnu/pkgconfig") +
                            ":$(pkg-config --variable=pc_path pkg-config)"
                            " pkg-config --variable=libdir vestra",
                        out),
                  0)
            << out;
        ASSERT_EQ(shell("readlink -f " + q(first_line(out)), out), 0);
        EXPECT_EQ(first_line(out), root + "/usr/lib/aarch64-linux-gnu");
        EXPECT_TRUE(exists(root + "/usr/lib/aarch64-linux-gnu/libvestra.so"));
        EXPECT_TRUE(exists(root + lib + "/libvestra.so"));
    }

    // The packaged programs and libraries, found through the loader's path:
    // the packages carry no RPATH.
    const std::string libdir = root + lib;
    const std::string env = "LD_LIBRARY_PATH=" + q(libdir) + " ";
    std::vector<std::string> cfgs = {root + "/usr/share/vestra/examples/station-a.cfg",
                                     root + "/usr/share/vestra/examples/station-b.cfg"};
    if (conf) {
        // The service's file names the group the packages create in the
        // throwaway root; this system may not have it, so the check reads a
        // copy that names this process's own group.
        std::string text = slurp(cfg);
        const std::string named = "sockGroup = \"vestra\"";
        const size_t at = text.find(named);
        ASSERT_NE(at, std::string::npos) << text;
        ASSERT_EQ(shell("id -gn", out), 0);
        text.replace(at, named.size(), "sockGroup = \"" + first_line(out) + "\"");
        spill(root + "/station-check.cfg", text);
        cfgs.push_back(root + "/station-check.cfg");
    }
    for (const std::string& c : cfgs) {
        EXPECT_EQ(shell(env + q(root + "/usr/bin/v2x-station") + " -c " + q(c) + " --check", out), 0)
            << c << ": " << out;
    }
    ASSERT_EQ(shell(env + "ldd " + q(root + "/usr/bin/v2x-station"), out), 0) << out;
    EXPECT_NE(out.find(libdir + "/libvestra.so.1"), std::string::npos) << out;

    const std::string pc = "PKG_CONFIG_PATH=" + q(libdir + "/pkgconfig") + " pkg-config";
    ASSERT_EQ(shell(pc + " --variable=prefix vestra", out), 0) << out;
    ASSERT_EQ(shell("cd " + q(first_line(out)) + " && pwd -P", out), 0) << out;
    EXPECT_EQ(first_line(out), root + "/usr") << "the packaged vestra.pc points into the root";
    const std::string exe = root + "/app";
    ASSERT_EQ(shell(q(V2X_C_COMPILER) + " -std=c11 -Wall -Wextra -Werror -o " + q(exe) + " " +
                        q(src + "/tests/product/install_app/app.c") + " $(" + pc +
                        " --cflags --libs vestra morrow)",
                    out),
              0)
        << out;
    const std::vector<uint16_t> ports = free_ports(2);
    const std::string sock = root + "/app.sock";
    EXPECT_EQ(shell(env + q(exe) + " " + q(sock) + " " + std::to_string(ports[0]) + " " +
                        std::to_string(ports[1]),
                    out),
              0)
        << out;
    EXPECT_NE(out.find("app: ok"), std::string::npos) << out;
    // The Python binding from the root, on the root's libraries: attaching
    // to a socket nobody serves fails with the library's own result.
    const std::string py = root + "/usr/lib/python3/dist-packages";
    EXPECT_EQ(shell("cd / && PYTHONDONTWRITEBYTECODE=1 PYTHONPATH=" + q(py) + " VESTRA_LIB_DIR=" + q(libdir) +
                        " VROOT=" + q(py) + " /usr/bin/python3 -c " +
                        q("import os, vestra\n"
                          "assert vestra.__file__.startswith(os.environ[\"VROOT\"]), vestra.__file__\n"
                          "try:\n    vestra.Client(\"/nonexistent/v.sock\")\n"
                          "except vestra.VestraError as e:\n    print(\"python:\", e.name)\n"),
                    out),
              0)
        << out;
    EXPECT_NE(out.find("python: ERR_V2X_SOCKET_CONECT"), std::string::npos) << out;
    ASSERT_EQ(shell(env + "ldd " + q(exe), out), 0) << out;
    EXPECT_NE(out.find(libdir + "/libvestra.so.1"), std::string::npos) << out;
    // The callback client example builds from the installed headers alone
    // (it defines no gLogLevl: libmorrow's default serves) and runs.
    const std::string example = root + "/callback-client";
    ASSERT_EQ(shell(q(V2X_C_COMPILER) + " -std=c11 -Wall -Wextra -Werror -o " + q(example) + " " +
                        q(src + "/examples/callback-client/main.c") + " $(" + pc +
                        " --cflags --libs vestra morrow)",
                    out),
              0)
        << out;
    EXPECT_EQ(shell(env + q(example) + " --socket " + q(root + "/example.sock") + " --port " +
                        std::to_string(free_ports(1).at(0)),
                    out),
              0)
        << out;
    EXPECT_NE(out.find("callback-client: ok"), std::string::npos) << out;

    // A purge takes every file and the conffile; the account stays.
    ASSERT_EQ(shell("dpkg-query --root=" + q(root) + " -W -f '${binary:Package} '", out), 0) << out;
    ASSERT_EQ(shell(dpkg + " --purge " + out, out), 0) << out;
    ASSERT_EQ(shell("dpkg-query --root=" + q(root) + " -W -f '${binary:Package} ${Status}\\n'", out), 0) << out;
    EXPECT_EQ(out.find(" installed"), std::string::npos) << out;
    for (const std::string& p : {root + "/usr/bin/v2x-station", root + "/usr/bin/radio-sim",
                                 libdir + "/libvestra.so.1", libdir + "/libmorrow.so.1", cfg}) {
        EXPECT_FALSE(exists(p)) << p;
    }
    EXPECT_EQ(count_accounts(root + "/etc/passwd"), 1);
}

#endif
