// Supervisor core: the one state record with its process table, the fixed
// locations the supervisor works with, start-up helpers, the child launcher and
// the supervision loop that keeps the programs running.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

constexpr int MAX_PROCS = 4;

constexpr const char *TMP_DIR = "/tmp/.uci/";
constexpr const char *DATA_DIR = "../data/";
constexpr const char *CONFIG_FILE = "config";
constexpr const char *BOOTCHK_FILE = ".bootchk";
constexpr const char *UPGRADE_PACKAGE = "vqupgrade.tgz";
constexpr const char *LUA_PACKAGE_FILE = "psec";
constexpr const char *DEFAULT_PROC = "torvin-dpi-inner";
constexpr const char *DEFAULT_VERSION = "23.7.20.15";
constexpr const char *DEVICE_MODEL = "brd_R7740QX";

// Exit-code protocol of the supervised programs.
constexpr int EXIT_EXEC_FAILED = 129;
constexpr int EXIT_INSTALL_PLUGIN = 130;
constexpr int EXIT_INSTALL_LUA = 131;
constexpr int EXIT_INSTALL_OTHER = 132;
constexpr int EXIT_RESTART_ALL = 160;
constexpr int CODE_WATCHDOG_KILLED = 199;

constexpr int RESTART_DELAY_SECS = 10;

// Buffer sizes. Names and most paths fit in PATH_BUF; commands and the paths
// joined below DATA_DIR in CMD_BUF.
constexpr size_t PATH_BUF = 4096;
constexpr size_t CMD_BUF = 8192;
// A kill command with the longest name quoted for the shell: every byte may
// turn into the four bytes '\'' plus the surrounding quotes and fixed words.
constexpr size_t KILL_CMD_BUF = 4 * PATH_BUF + 64;
// An event line holds the longest name whole, plus timestamp and fixed words.
constexpr size_t EVENT_BUF = PATH_BUF + 128;

// The most arguments a child ever gets: path, -r N, -d, -A path, and the six
// words of the data layout.
constexpr int MAX_CHILD_ARGS = 12;

static_assert(std::atomic<int32_t>::is_always_lock_free, "pid and killed must be plain words");
static_assert(std::atomic<uint32_t>::is_always_lock_free, "misses must be a plain word");

// One supervised program. Written during start-up only, except the three
// atomics; each names its single writer.
struct proc_entry {
    char base[PATH_BUF];
    char alive_path[PATH_BUF];  // empty when the program is not watched
    std::atomic<uint32_t> misses;  // written by the liveness monitor alone
    std::atomic<int32_t> killed;   // the pid the monitor kills: set by it, cleared by the loop
    std::atomic<int32_t> pid;      // written by the main thread: 0 idle, <0 failed launch
};

// The supervisor's whole state. The liveness monitor shares it with the main
// thread without a lock: after start-up only the atomics in the slots change
// while both threads run; upgraded and segv_restarts belong to the main thread.
struct watch_state {
    char run_path[PATH_BUF];
    uint32_t debug;
    uint32_t upgraded;
    int32_t log_fd;
    int32_t count;
    proc_entry procs[MAX_PROCS];
    uint32_t segv_restarts;
};

// Formats into buf, always NUL-terminated. Returns 0 when the whole text fit,
// -1 when it was cut.
int format_text(char *buf, size_t size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

// Writes text into buf quoted for the shell as one word: in single quotes, an
// inner quote as '\''. Returns 0, or -1 when buf is too small (buf is then "").
int shell_quote(char *buf, size_t size, const char *text);

// Formats the command that kills every process named base with signal 9.
// Returns 0, or -1 when it does not fit.
int make_kill_command(char *buf, size_t size, const char *base);

// Makes sure descriptors 0, 1 and 2 are open, on /dev/null where one is closed.
void open_std_fds();

// Closes every descriptor from first (3 when first is below 1) upwards.
void close_fds_from(int first);

// Changes to the directory part of the program path. 0 for a null path,
// otherwise the result of chdir (-1 also for a path too long to hold).
int chdir_to_program_dir(const char *program_path);

// Makes sure the directory exists (only its last level is created).
// 0 when it exists or was created, -1 otherwise after a console message.
int ensure_dir(const char *path);

// A child's command line, built before the fork so the child only executes it.
struct child_args {
    char code[16];
    const char *argv[MAX_CHILD_ARGS + 1];
    int argc;
};

// Builds the command line for path; the vector points into its arguments,
// which must outlive it. Never cuts an argument.
void build_child_args(child_args *args, const char *path, const char *alive_path,
                      int restart_code, uint32_t debug, int from_data_dir);

// Starts path as a child. Returns its pid in the supervisor, -1 when no process
// could be created. The child never returns: it runs the program or exits 129.
pid_t spawn_child(const char *path, const char *alive_path, int restart_code,
                  uint32_t debug, int from_data_dir);

// Starts slot index in the layout the state selects and stores the result in
// its pid, which it also returns.
pid_t start_proc(watch_state *state, int index, int restart_code);

// Runs supervision cycles until supervision gives up.
int supervise(watch_state *state);

// Forgets every slot's child and kills every configured program by name.
void kill_all(watch_state *state);

// Reaps and restarts children. 0: start a new cycle. -1: the cycle failed.
int reap_children(watch_state *state, int32_t *last_code);

// Matches a reaped pid to its slot and decodes the wait status into code and
// exited. Returns the slot's index, or count when no slot has that pid.
int find_exited_proc(pid_t pid, int status, const watch_state *state, int32_t *code,
                     int32_t *exited);

// Writes the timestamped event line for a reaped program to the run file.
void log_exit(int32_t code, int32_t exited, const char *base, int log_fd);

// Counts one more restart after a SIGSEGV and returns its delay in seconds.
int segv_restart_delay(watch_state *state);

// Sleeps the given seconds. A test build (WATCHD_TEST_SPEEDUP) divides them by
// the number in the environment variable of that name; the shipped one never
// reads it.
void sleep_secs(unsigned secs);
