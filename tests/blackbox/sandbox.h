// A private world for one run of the real watchd: a directory tree with bin/
// (watchd, config, scripted programs), data/ and tmp/, the last mounted on
// /tmp inside a private mount and PID namespace, and time sped up.
#pragma once

#include "files.h"

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

struct sandbox {
    std::string root;
    std::string bin;
    std::string data;
    std::string uci;  // what watchd sees as /tmp/.uci
    std::string name = "watchd";
    pid_t runner = -1;
};

struct start_options {
    int speed = 100;                // how much faster time runs; 0 for real time
    std::vector<std::string> args;  // watchd's arguments
    bool close_stdin = false;
    bool leak_fd = false;           // hand watchd an open descriptor 7
    std::string cwd = "/";          // where watchd is started from
    bool second_instance = false;   // start a second one once the first runs (out2, exit2)
    std::string setup;              // shell lines run inside the namespace before watchd
    std::string fail_forks;         // watchd's fork calls to fail, counted from 1: "2" or "1,3"
    std::vector<std::string> wrapper;  // runs watchd under this command (valgrind ...)
    bool linger = false;            // keep the namespace up after watchd ends
};

// What the environment of the test run selects (scripts/test --target, --busybox):
//   WATCHD_TEST_BIN      the watchd binary to run instead of the one just built
//   WATCHD_TEST_WRAPPER  a command that runs it (qemu-aarch64), words split at blanks
//   WATCHD_TEST_TIME     how time is sped up: faketime (the default, a preload),
//                        speedup (a test build's WATCHD_TEST_SPEEDUP) or real
//   WATCHD_TEST_BUSYBOX  1: BusyBox's sh, killall and tar in place of the system's
// Whether a preloaded library reaches watchd (not a static or emulated one).
bool sandbox_preload_works();
// Whether watchd runs under an emulator, many times slower to start and fork.
bool sandbox_emulated();
// How many threads watchd runs before it starts any (an emulator adds its own).
int sandbox_base_threads();

// Makes a fresh tree under the build directory, named after the test.
void sandbox_init(sandbox *sb, const std::string &test_name);
// Adds a scripted program: one action per start, see fakeprog.cpp.
void sandbox_program(sandbox *sb, const std::string &path, const std::vector<std::string> &plan);
void sandbox_start(sandbox *sb, const start_options &opts = {});
// Kills the namespace and everything in it.
void sandbox_stop(sandbox *sb);
// watchd's exit status once it ended within the time, else -1.
int sandbox_wait_exit(sandbox *sb, double seconds);

std::vector<std::string> lines_of(const std::string &text);
int count_of(const std::string &text, const std::string &what);

// One start of a scripted program, from its line "<argv> | fds=<list> | ms=<clock>".
struct start_line {
    std::string args;  // its command line
    std::string fds;   // the descriptors it found open
    long long ms;      // when it started, on the monotonic clock
};
std::vector<start_line> start_lines(const sandbox *sb, const std::string &prog);
// Just the command lines.
std::vector<std::string> starts(const sandbox *sb, const std::string &prog);
std::string console(const sandbox *sb);
// The descriptors watchd itself holds open, as a sorted list.
std::string watchd_fds(const sandbox *sb);
std::string run_file(const sandbox *sb);
// watchd's pid as seen from outside, 0 when it does not run.
pid_t watchd_pid(const sandbox *sb);
// The children of watchd, as seen from outside.
std::vector<pid_t> watchd_children(const sandbox *sb);
// A path as the processes inside the namespace see it, their mounts included.
std::string inside(const sandbox *sb, const std::string &path);
// /proc/<pid>/status field as a number (VmRSS in kB, Threads ...), -1 when absent.
long proc_status(pid_t pid, const std::string &field);
// How many threads watchd runs, -1 when it is not found.
int watchd_threads(const sandbox *sb);
// Lines of watchd's standard error that a sanitizer wrote.
std::string sanitizer_reports(const sandbox *sb);

// Polls until ready() holds or the time is up.
bool wait_until(const std::function<bool()> &ready, double seconds);
