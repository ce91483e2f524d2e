// The Debian packages as a user gets them: scripts/package builds them for
// this machine's architecture; their control fields and contents are
// checked and lintian finds no error; dpkg installs them into a throwaway
// root, running the maintainer scripts without chroot on that root's files;
// from there the station checks its configurations and a C program built
// out of tree with the packaged pkg-config files runs. One test: the
// packages are rebuilt in place, so two tests could not share them.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
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

// The paths a package holds, from `dpkg-deb -c` ("./usr/bin/x" -> "/usr/bin/x").
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
        if (f[5].size() > 1 && f[5][0] == '.') {
            names.insert(f[5].substr(1));
        }
    }
    return names;
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

    ASSERT_EQ(shell(q(src + "/scripts/package") + " " + arch, out), 0) << out;
    std::map<std::string, std::string> deb;
    std::string debs;
    for (const std::string& line : lines_with(out, ".deb")) {
        if (line.front() == '/' && line.size() > 4 && line.compare(line.size() - 4, 4, ".deb") == 0) {
            const std::string base = line.substr(line.rfind('/') + 1);
            deb[base.substr(0, base.find('_'))] = line;
            debs += " " + q(line);
        }
    }
    ASSERT_EQ(deb.size(), 3u) << out;
    for (const char* pkg : {"libvestra1", "libvestra-dev", "vestra-tools"}) {
        ASSERT_EQ(deb.count(pkg), 1u) << pkg << "\n" << out;
    }

    // Control fields and files.
    auto control = [&](const std::string& pkg, const std::string& what, bool member = false) {
        std::string o;
        EXPECT_EQ(shell("dpkg-deb " + std::string(member ? "-I " : "-f ") + q(deb[pkg]) + " " + what, o), 0)
            << pkg << " " << what << ": " << o;
        return member ? o : first_line(o);
    };
    const std::string version = control("libvestra1", "Version");
    EXPECT_EQ(version.rfind(std::string(V2X_PROJECT_VERSION) + "-", 0), 0u) << version;
    const std::map<std::string, std::string> sections = {
        {"libvestra1", "libs"}, {"libvestra-dev", "libdevel"}, {"vestra-tools", "net"}};
    for (const auto& s : sections) {
        EXPECT_EQ(control(s.first, "Package"), s.first);
        EXPECT_EQ(control(s.first, "Version"), version) << s.first;
        EXPECT_EQ(control(s.first, "Architecture"), arch) << s.first;
        EXPECT_EQ(control(s.first, "Section"), s.second) << s.first;
    }
    const std::string exact = "libvestra1 (= " + version + ")";
    const std::map<std::string, std::vector<std::string>> needs = {
        {"libvestra1", {"libc6", "libevent-2", "libevent-pthreads", "libconfig"}},
        {"libvestra-dev", {exact, "libevent-dev", "libconfig-dev"}},
        {"vestra-tools", {exact, "libc6", "libconfig", "passwd"}}};
    for (const auto& n : needs) {
        const std::string depends = control(n.first, "Depends");
        for (const std::string& d : n.second) {
            EXPECT_NE(depends.find(d), std::string::npos) << n.first << " Depends: " << depends;
        }
    }
    const std::string shlibs = control("libvestra1", "shlibs", true);
    EXPECT_NE(shlibs.find("libvestra 1 libvestra1 (>= " + version + ")"), std::string::npos) << shlibs;
    EXPECT_NE(shlibs.find("libmorrow 1 libvestra1 (>= " + version + ")"), std::string::npos) << shlibs;
    EXPECT_NE(control("libvestra1", "triggers", true).find("activate-noawait ldconfig"), std::string::npos);

    // Contents the run below does not reach, each in its package; the
    // service files when the tree has them.
    std::map<std::string, std::set<std::string>> files;
    for (const auto& d : deb) {
        files[d.first] = contents(d.second);
    }
    const std::vector<std::pair<std::string, std::string>> held = {
        {"libvestra1", "/usr/share/doc/libvestra1/copyright"},
        {"libvestra-dev", lib + "/cmake/vestra/vestraConfig.cmake"},
        {"vestra-tools", "/usr/bin/radio-sim"},
        {"vestra-tools", "/usr/bin/v2x-ctl"},
        {"vestra-tools", "/usr/bin/sys-api-min"},
        {"vestra-tools", lib + "/wireshark/plugins/v2x_dsmp.lua"}};
    for (const auto& h : held) {
        EXPECT_EQ(files[h.first].count(h.second), 1u) << h.first << ": " << h.second;
    }
    EXPECT_EQ(files["libvestra1"].count(lib + "/libvestra.so"), 0u) << "the linker's link belongs in -dev";
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
        EXPECT_NE(control("vestra-tools", "conffiles", true).find("/etc/vestra/station.cfg"),
                  std::string::npos);
    }

    EXPECT_EQ(shell("lintian --fail-on error" + debs, out), 0) << out;

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
    ASSERT_EQ(shell(env + "ldd " + q(exe), out), 0) << out;
    EXPECT_NE(out.find(libdir + "/libvestra.so.1"), std::string::npos) << out;

    // A purge takes every file and the conffile; the account stays.
    ASSERT_EQ(shell(dpkg + " --purge vestra-tools libvestra-dev libvestra1", out), 0) << out;
    for (const std::string& p : {root + "/usr/bin/v2x-station", libdir + "/libvestra.so.1", cfg}) {
        EXPECT_FALSE(exists(p)) << p;
    }
    EXPECT_EQ(count_accounts(root + "/etc/passwd"), 1);
}

#endif
