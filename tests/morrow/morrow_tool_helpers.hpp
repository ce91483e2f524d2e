// SPDX-License-Identifier: Apache-2.0
// Helpers for the utility-library tests that compare against tools of the
// system (md5sum, sha224sum, sha256sum, base64, openssl).
#ifndef MORROW_TEST_TOOL_HELPERS_HPP
#define MORROW_TEST_TOOL_HELPERS_HPP

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace mtest {

// Output of a shell command (standard popen of the C library).
inline std::string run_cmd(const std::string& cmd)
{
    std::string out;
    FILE* p = ::popen(cmd.c_str(), "r");
    if (p == nullptr) {
        return out;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0) {
        out.append(buf, n);
    }
    ::pclose(p);
    return out;
}

inline bool have_tool(const char* name)
{
    std::string cmd = std::string("command -v ") + name + " >/dev/null 2>&1 && echo yes";
    return run_cmd(cmd).find("yes") != std::string::npos;
}

// A fresh temporary directory, removed by the destructor.
struct TmpDir {
    std::string path;
    TmpDir()
    {
        char tmpl[] = "/tmp/v2xt-morrow-XXXXXX";
        char* p = mkdtemp(tmpl);
        path = p != nullptr ? p : "";
    }
    ~TmpDir()
    {
        if (!path.empty()) {
            run_cmd("rm -rf '" + path + "'");
        }
    }
    std::string file(const std::string& name) const { return path + "/" + name; }
};

inline bool write_file(const std::string& path, const std::vector<uint8_t>& data)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) {
        return false;
    }
    bool ok = data.empty() || fwrite(data.data(), 1, data.size(), f) == data.size();
    fclose(f);
    return ok;
}

// Runs a reference tool over each input: writes input i to a file of dir,
// joins the shell lines line(i, path) into one script and runs it. Each
// line must print one line: the printed lines in order, fewer when a file
// or the script fails.
inline std::vector<std::string> run_per_input(
    const TmpDir& dir, const std::vector<std::vector<uint8_t>>& inputs,
    const std::function<std::string(size_t, const std::string&)>& line)
{
    std::string script;
    for (size_t i = 0; i < inputs.size(); ++i) {
        const std::string f = dir.file("in" + std::to_string(i));
        if (!write_file(f, inputs[i])) {
            return {};
        }
        script += line(i, f) + "\n";
    }
    const std::string sf = dir.file("run.sh");
    if (!write_file(sf, std::vector<uint8_t>(script.begin(), script.end()))) {
        return {};
    }
    std::vector<std::string> out;
    std::istringstream is(run_cmd("sh '" + sf + "'"));
    for (std::string l; std::getline(is, l);) {
        out.push_back(l);
    }
    return out;
}

inline std::string hex(const void* p, size_t n)
{
    static const char* d = "0123456789abcdef";
    const uint8_t* b = static_cast<const uint8_t*>(p);
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += d[b[i] >> 4];
        s += d[b[i] & 15];
    }
    return s;
}

inline std::vector<uint8_t> unhex(const std::string& h)
{
    std::vector<uint8_t> v;
    for (size_t i = 0; i + 1 < h.size(); i += 2) {
        v.push_back(static_cast<uint8_t>(std::stoul(h.substr(i, 2), nullptr, 16)));
    }
    return v;
}

inline std::vector<uint8_t> random_bytes(std::mt19937& rng, size_t n)
{
    std::vector<uint8_t> v(n);
    for (auto& b : v) {
        b = static_cast<uint8_t>(rng());
    }
    return v;
}

// Descriptor 1 into a temporary file; text() reads what has been written so
// far without ending the capture.
using LiveCapture = v2xtest::StdoutCapture;

inline bool wait_until(const std::function<bool()>& cond, int ms)
{
    return v2xtest::wait_for(cond, ms);
}

using v2xtest::unix_connect;
using v2xtest::unix_listen;

}  // namespace mtest

#endif
