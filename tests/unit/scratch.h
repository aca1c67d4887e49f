// A scratch directory for one test: made with mkdtemp, entered in SetUp,
// removed in TearDown. Optionally a private /tmp, for code whose paths are
// fixed below /tmp/.uci.
#pragma once

#include "files.h"

#include <gtest/gtest.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

// Gives this test process its own /tmp: every test runs in a process of its
// own under CTest, so nothing is left on the machine's /tmp.
inline bool private_tmp()
{
    static bool done = false;
    if (!done) {
        done = unshare(CLONE_NEWNS) == 0 &&
               mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
               mount("tmpfs", "/tmp", "tmpfs", 0, nullptr) == 0;
    }
    return done;
}

class scratch_test : public ::testing::Test {
protected:
    std::string dir;  // holds bin/ (the working directory) and data/
    std::string old_cwd;

    void SetUp() override
    {
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        old_cwd = cwd;
        char templ[] = "/var/tmp/watchd-test-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        dir = templ;
        ASSERT_EQ(mkdir((dir + "/bin").c_str(), 0755), 0);
        ASSERT_EQ(mkdir((dir + "/data").c_str(), 0755), 0);
        ASSERT_EQ(chdir((dir + "/bin").c_str()), 0);
    }

    void TearDown() override
    {
        ASSERT_EQ(chdir(old_cwd.c_str()), 0);
        ASSERT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0);
    }
};
