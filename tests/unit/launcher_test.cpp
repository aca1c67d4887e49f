// The child launcher: command lines, and real children started from them.
#include "scratch.h"
#include "supervisor/supervisor.h"

#include <fcntl.h>
#include <string>
#include <sys/wait.h>

static std::string joined(const child_args &args)
{
    std::string line;
    for (int i = 0; i < args.argc; i++)
        line += (i ? " " : "") + std::string(args.argv[i]);
    return line;
}

TEST(BuildChildArgs, EachGroupOnlyUnderItsCondition)
{
    struct args_case {
        const char *name;
        const char *path;
        const char *alive;
        int code;
        uint32_t debug;
        int data;
        const char *want;
    };
    const args_case cases[] = {
        {"first start", "torvin-dpi-inner", "", 0, 0, 0, "torvin-dpi-inner"},
        {"restart code", "eng", "", 199, 0, 0, "eng -r 199"},
        {"negative code", "eng", "", -3, 0, 0, "eng -r -3"},
        {"debug is 1 only", "eng", "", 0, 2, 0, "eng"},
        {"debug", "eng", "", 0, 1, 0, "eng -d"},
        {"alive path", "eng", "/tmp/.uci//eng.alive", 0, 0, 0, "eng -A /tmp/.uci//eng.alive"},
        {"data layout", "../data//eng", "", 130, 0, 1,
         "../data//eng -r 130 -T /tmp/.uci/ -D ../data/ -O brd_R7740QX"},
        {"everything", "../data//torvin-dpi-inner", "/tmp/.uci//torvin-dpi-inner.alive", 11, 1,
         1,
         "../data//torvin-dpi-inner -r 11 -d -A /tmp/.uci//torvin-dpi-inner.alive -T /tmp/.uci/ "
         "-D ../data/ -O brd_R7740QX"},
    };
    for (const args_case &c : cases) {
        SCOPED_TRACE(c.name);
        child_args args;
        build_child_args(&args, c.path, c.alive, c.code, c.debug, c.data);
        EXPECT_EQ(joined(args), c.want);
        EXPECT_EQ(args.argv[args.argc], nullptr);
    }
}

TEST(BuildChildArgs, TwelveArgumentsAtMostAndNoneCut)
{
    std::string path = "../data//" + std::string(3000, 'p');
    std::string alive = "/tmp/.uci//" + std::string(3000, 'p') + ".alive";
    child_args args;
    build_child_args(&args, path.c_str(), alive.c_str(), 11, 1, 1);
    ASSERT_EQ(args.argc, MAX_CHILD_ARGS);
    EXPECT_EQ(args.argv[0], path);
    EXPECT_EQ(args.argv[5], alive);
    EXPECT_EQ(args.argv[12], nullptr);
}

class Launcher : public scratch_test {
protected:
    // A program that records its command line and open descriptors.
    void recorder(const std::string &path)
    {
        write_file(path, "#!/bin/sh\n"
                         "echo \"$0 $*\" > args\n"
                         "ls /proc/self/fd | sort -n | tr '\\n' ' ' > fds\n");
        chmod(path.c_str(), 0755);
    }
    int wait_exit(pid_t pid)
    {
        int status = 0;
        EXPECT_EQ(waitpid(pid, &status, 0), pid);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

TEST_F(Launcher, StartsFromTheLayoutTheStateSelects)
{
    recorder("eng");
    recorder("../data/eng");
    static watch_state state = {};
    state.count = 1;
    format_text(state.procs[0].base, PATH_BUF, "eng");
    format_text(state.procs[0].alive_path, PATH_BUF, "/tmp/.uci//eng.alive");

    pid_t pid = start_proc(&state, 0, 0);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(state.procs[0].pid.load(), pid);
    EXPECT_EQ(wait_exit(pid), 0);
    EXPECT_EQ(read_file("args"), "eng -A /tmp/.uci//eng.alive\n");

    state.upgraded = 1;
    state.debug = 1;
    pid = start_proc(&state, 0, 130);
    EXPECT_EQ(wait_exit(pid), 0);
    EXPECT_EQ(read_file("args"),
              "../data//eng -r 130 -d -A /tmp/.uci//eng.alive -T /tmp/.uci/ -D ../data/ -O "
              "brd_R7740QX\n");
}

TEST_F(Launcher, ChildGetsOnlyTheStandardDescriptors)
{
    recorder("eng");
    int leaked = open("leak", O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(leaked, 3);
    pid_t pid = spawn_child("eng", "", 0, 0, 0);
    EXPECT_EQ(wait_exit(pid), 0);
    close(leaked);
    // ls itself holds one more, for the directory it lists.
    EXPECT_EQ(read_file("fds"), "0 1 2 3 ");
}

TEST_F(Launcher, ProgramThatCannotRunExitsWith129AndSaysWhyOnce)
{
    write_file("not-executable", "data");
    testing::internal::CaptureStdout();
    printf("pending line without newline, ");  // must not reach the child's output
    pid_t missing = spawn_child("missing", "", 0, 0, 0);
    int missing_code = wait_exit(missing);
    pid_t denied = spawn_child("not-executable", "", 0, 0, 0);
    int denied_code = wait_exit(denied);
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_GT(missing, 0);
    EXPECT_EQ(missing_code, EXIT_EXEC_FAILED);
    EXPECT_EQ(denied_code, EXIT_EXEC_FAILED);
    EXPECT_EQ(out, "pending line without newline, "
                   "failed to exec missing, error is No such file or directory\n"
                   "failed to exec not-executable, error is Permission denied\n");
}
