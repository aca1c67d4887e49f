// Start-up helpers: descriptors, the program directory, working directories.
#include "scratch.h"
#include "supervisor/supervisor.h"

#include <chrono>
#include <climits>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>

static bool is_open(int fd) { return fcntl(fd, F_GETFD) != -1; }

// Runs body in a child process, so the test process keeps its descriptors.
// The child's exit status is the number of failed checks.
template <typename F> static int in_child(F body)
{
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0)
        _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

TEST(CloseFdsFrom, ClosesEveryDescriptorFromThreeUpAndNothingBelow)
{
    EXPECT_EQ(in_child([] {
                  int bad = 0;
                  for (int fd : {3, 4, 200, 9000})
                      dup2(1, fd);
                  close_fds_from(0);  // 0 or less means 3
                  for (int fd : {0, 1, 2})
                      bad += !is_open(fd);
                  for (int fd : {3, 4, 200, 9000})
                      bad += is_open(fd);
                  return bad;
              }),
              0);
}

TEST(CloseFdsFrom, CostsNoMoreUnderAHugeDescriptorLimit)
{
    EXPECT_EQ(in_child([] {
                  struct rlimit big = {1048576, 1048576};
                  if (setrlimit(RLIMIT_NOFILE, &big) != 0)
                      return 0;  // not allowed here: nothing to show
#ifdef SYS_close_range
                  if (syscall(SYS_close_range, 1048575U, 1048575U, 0U) != 0)
                      return 0;  // an older kernel: the loop is all there is
#else
                  return 0;
#endif
                  int bad = 0;
                  dup2(1, 1048000);
                  auto t0 = std::chrono::steady_clock::now();
                  close_fds_from(3);
                  auto took = std::chrono::steady_clock::now() - t0;
                  bad += is_open(1048000);
                  // A million close calls take far longer than this.
                  bad += took > std::chrono::milliseconds(50);
                  return bad;
              }),
              0);
}

TEST(OpenStdFds, ReopensAClosedStandardDescriptorOnDevNull)
{
    EXPECT_EQ(in_child([] {
                  close_fds_from(3);
                  close(0);
                  close(2);
                  open_std_fds();
                  char target[64] = "";
                  int bad = !is_open(0) + !is_open(2) + !is_open(1);
                  if (readlink("/proc/self/fd/0", target, sizeof target - 1) < 0)
                      bad++;
                  bad += std::string(target) != "/dev/null";
                  return bad + (open("/dev/null", O_RDONLY) != 3);
              }),
              0);
}

class ProgramDir : public scratch_test {};

TEST_F(ProgramDir, ChangesToTheDirectoryOfTheProgramPath)
{
    struct dir_case {
        const char *name;
        std::string path;
        int want;
        std::string cwd_after;
    };
    const std::string start = dir + "/bin";
    const dir_case cases[] = {
        {"null path", "", 0, start},
        {"bare name", "watchd", 0, start},
        {"absolute", dir + "/data/watchd", 0, dir + "/data"},
        {"relative", "../data/watchd", 0, dir + "/data"},
        {"directly below the root", "/watchd", 0, "/"},
        {"missing directory", dir + "/nope/watchd", -1, start},
        {"too long to hold", std::string(5000, 'a') + "/watchd", -1, start},
    };
    for (const dir_case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(chdir(start.c_str()), 0);
        EXPECT_EQ(chdir_to_program_dir(c.path.empty() ? nullptr : c.path.c_str()), c.want);
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        EXPECT_EQ(cwd, c.cwd_after);
    }
}

TEST_F(ProgramDir, EnsureDirCreatesOnlyTheLastLevel)
{
    EXPECT_EQ(ensure_dir("../data/"), 0);
    EXPECT_EQ(ensure_dir("fresh/"), 0);
    EXPECT_TRUE(file_exists("fresh"));
    write_file("plain-file", "x");
    EXPECT_EQ(ensure_dir("plain-file"), 0);  // present, if not a directory

    testing::internal::CaptureStdout();
    int result = ensure_dir("missing/child/");
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "mkdir (missing/child/) error: No such file or directory");
    EXPECT_EQ(result, -1);
}
