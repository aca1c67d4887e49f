// The run file: its lock and its event log.
#include "runfile/runfile.h"
#include "scratch.h"
#include "supervisor/supervisor.h"

#include <fcntl.h>
#include <memory>

class RunFile : public scratch_test {
protected:
    std::string out_of(const std::function<void()> &body)
    {
        testing::internal::CaptureStdout();
        body();
        fflush(stdout);
        return testing::internal::GetCapturedStdout();
    }
};

TEST_F(RunFile, OpensLocksEmptiesAndWritesTheFirstLine)
{
    write_file("w.run", std::string(3000, 'o') + "\nold events\n");
    umask(022);
    int fd = open_run_file("w.run", "/opt/dir", 8);
    ASSERT_GE(fd, 3);
    EXPECT_EQ(read_file("w.run"), "/opt/dir");
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);

    unlink("fresh.run");
    int fresh = open_run_file("fresh.run", "", 0);
    ASSERT_GE(fresh, 0);
    struct stat st;
    ASSERT_EQ(stat("fresh.run", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_EQ(st.st_size, 0);
    close(fresh);
    close(fd);
}

TEST_F(RunFile, SecondHolderIsRefusedAndTheFileKept)
{
    int first = open_run_file("w.run", "/first", 6);
    ASSERT_GE(first, 0);
    int second = 0;
    EXPECT_EQ(out_of([&] { second = open_run_file("w.run", "/second", 7); }),
              "already in use for w.run\n");
    EXPECT_EQ(second, -1);
    EXPECT_EQ(read_file("w.run"), "/first");

    close(first);  // the lock ends with its holder
    int third = open_run_file("w.run", "/third", 6);
    EXPECT_GE(third, 0);
    close(third);
}

TEST_F(RunFile, OpenFailuresSayWhy)
{
    int fd = 0;
    EXPECT_EQ(out_of([&] { fd = open_run_file(nullptr, "", 0); }), "NULL file name\n");
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(out_of([&] { fd = open_run_file("no-dir/w.run", "", 0); }),
              "failed to open no-dir/w.run\n");
    EXPECT_EQ(fd, -1);

    // A link planted at the run file's name is not followed, so the file it
    // points at is neither created, locked nor emptied.
    write_file("victim", "precious");
    ASSERT_EQ(symlink("victim", "w.run"), 0);
    ASSERT_EQ(symlink("new-victim", "x.run"), 0);
    EXPECT_EQ(out_of([&] { fd = open_run_file("w.run", "", 0); }), "failed to open w.run\n");
    EXPECT_EQ(out_of([&] { fd = open_run_file("x.run", "", 0); }), "failed to open x.run\n");
    EXPECT_EQ(read_file("victim"), "precious");
    EXPECT_FALSE(file_exists("new-victim"));
}

TEST_F(RunFile, ClaimRecordsTheWorkingDirectoryAndLogsEvents)
{
    auto state = std::make_unique<watch_state>();
    format_text(state->run_path, PATH_BUF, "%s/w.run", (dir + "/data").c_str());
    ASSERT_EQ(claim_run_file("./watchd", state.get()), 0);
    ASSERT_GT(state->log_fd, 0);

    EXPECT_EQ(log_event(state->log_fd, "one\n", 4), 0);
    EXPECT_EQ(log_event(state->log_fd, "two\n", 4), 0);
    EXPECT_EQ(read_file(dir + "/data/w.run"), dir + "/bin\none\ntwo\n");

    auto other = std::make_unique<watch_state>();
    format_text(other->run_path, PATH_BUF, "%s", state->run_path);
    EXPECT_EQ(out_of([&] { EXPECT_EQ(claim_run_file("/usr/sbin/watchd", other.get()), -1); }),
              "already in use for " + dir + "/data/w.run\nprocess(/usr/sbin/watchd) already run\n");
    EXPECT_EQ(other->log_fd, -1);
    close(state->log_fd);
}

TEST_F(RunFile, NoLogBeforeTheClaim)
{
    EXPECT_EQ(log_event(0, "line\n", 5), -1);
    EXPECT_EQ(log_event(-1, "line\n", 5), -1);
}
