// Replays every checked-in fuzz input (the seeds and every input that once
// made a target fail) through the same entry functions the fuzz targets
// use, so a fault found by fuzzing stays fixed in the ordinary test run.
#include <dirent.h>
#include <gtest/gtest.h>
#include <stdio.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fuzz_entries.h"
#include "test_support.h"

namespace {

std::string corpus_dir(const char* aipcTarget)
{
    std::string here = __FILE__;
    here.erase(here.find_last_of('/') + 1);
    return here + "corpus/" + aipcTarget;
}

std::vector<uint8_t> read_file(const std::string& aicPath)
{
    std::vector<uint8_t> b;
    FILE* f = fopen(aicPath.c_str(), "rb");
    if (f == nullptr) {
        return b;
    }
    uint8_t tmp[4096];
    size_t n;
    while ((n = fread(tmp, 1, sizeof(tmp), f)) > 0) {
        b.insert(b.end(), tmp, tmp + n);
    }
    fclose(f);
    return b;
}

// Runs every file of the target's folder; returns how many there were.
size_t replay(const char* aipcTarget)
{
    const v2xfuzz::Target* t = nullptr;
    for (size_t i = 0; i < v2xfuzz::kTargetCount; ++i) {
        if (std::string(v2xfuzz::kTargets[i].name) == aipcTarget) {
            t = &v2xfuzz::kTargets[i];
        }
    }
    if (t == nullptr) {
        ADD_FAILURE() << "no entry " << aipcTarget;
        return 0;
    }
    const std::string dir = corpus_dir(aipcTarget);
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        ADD_FAILURE() << "no corpus at " << dir;
        return 0;
    }
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') {
            names.push_back(e->d_name);
        }
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    // The libraries' error lines are expected here; keep them off the log.
    v2xtest::LevelGuard quiet(LOG_LEV_OFF);
    for (const std::string& n : names) {
        std::vector<uint8_t> b = read_file(dir + "/" + n);
        SCOPED_TRACE(n);
        // A failed property aborts with the file name on stderr.
        fprintf(stderr, "%s: %s (%zu bytes)\n", aipcTarget, n.c_str(), b.size());
        EXPECT_EQ(t->fn(b.data(), b.size()), 0);
    }
    return names.size();
}

}  // namespace

// Each folder holds at least its seeds; an empty one means the corpus was
// not found, which would make the replay pass without testing anything.
TEST(FuzzCorpus, AirFrame) { EXPECT_GE(replay("air_frame"), 5u); }
TEST(FuzzCorpus, AppStream) { EXPECT_GE(replay("app_stream"), 5u); }
TEST(FuzzCorpus, ClientReader) { EXPECT_GE(replay("client_reader"), 5u); }
TEST(FuzzCorpus, SysReader) { EXPECT_GE(replay("sys_reader"), 5u); }
TEST(FuzzCorpus, Base64) { EXPECT_GE(replay("base64"), 5u); }
TEST(FuzzCorpus, AesCbc) { EXPECT_GE(replay("aes_cbc"), 5u); }
TEST(FuzzCorpus, SecData) { EXPECT_GE(replay("sec_data"), 2u); }
TEST(FuzzCorpus, SecCert) { EXPECT_GE(replay("sec_cert"), 6u); }
