// Child launcher: builds a program's command line and starts it as a child
// that dies with the supervisor.
#include "supervisor/supervisor.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

void build_child_args(child_args *args, const char *path, const char *alive_path,
                      int restart_code, uint32_t debug, int from_data_dir)
{
    *args = {};
    args->argv[args->argc++] = path;
    if (restart_code != 0) {
        format_text(args->code, sizeof args->code, "%d", restart_code);
        args->argv[args->argc++] = "-r";
        args->argv[args->argc++] = args->code;
    }
    if (debug == 1)
        args->argv[args->argc++] = "-d";
    if (alive_path[0] != '\0') {
        args->argv[args->argc++] = "-A";
        args->argv[args->argc++] = alive_path;
    }
    if (from_data_dir == 1) {
        args->argv[args->argc++] = "-T";
        args->argv[args->argc++] = TMP_DIR;
        args->argv[args->argc++] = "-D";
        args->argv[args->argc++] = DATA_DIR;
        args->argv[args->argc++] = "-O";
        args->argv[args->argc++] = DEVICE_MODEL;
    }
}

static const char *error_text(int err)
{
#if defined(__GLIBC__) && (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 32)
    // A plain table lookup: no locale, no allocation, safe after fork.
    const char *text = strerrordesc_np(err);
    return text != nullptr ? text : "Unknown error";
#else
    return strerror(err);
#endif
}

static size_t append(char *buf, size_t at, size_t size, const char *text)
{
    while (*text != '\0' && at + 1 < size)
        buf[at++] = *text++;
    return at;
}

// Runs in the child between fork and exec: async-signal-safe calls only.
[[noreturn]] static void exec_child(const char *path, const child_args *args, pid_t parent)
{
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    // A supervisor that died before the line above sends no signal: do not
    // run on as an orphan nobody watches.
    if (getppid() != parent)
        _exit(EXIT_EXEC_FAILED);
    close_fds_from(3);
    execv(path, const_cast<char *const *>(args->argv));

    const char *reason = error_text(errno);
    char msg[CMD_BUF + 256];
    size_t at = append(msg, 0, sizeof msg, "failed to exec ");
    at = append(msg, at, sizeof msg, path);
    at = append(msg, at, sizeof msg, ", error is ");
    at = append(msg, at, sizeof msg, reason);
    at = append(msg, at, sizeof msg, "\n");
    ssize_t ignored = write(STDOUT_FILENO, msg, at);
    (void)ignored;
    _exit(EXIT_EXEC_FAILED);
}

pid_t spawn_child(const char *path, const char *alive_path, int restart_code, uint32_t debug,
                  int from_data_dir)
{
    child_args args;
    build_child_args(&args, path, alive_path, restart_code, debug, from_data_dir);
    // Whatever sits in our buffer would otherwise be printed again by the child.
    fflush(stdout);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        puts("failed to fork");
        return -1;
    }
    if (pid == 0)
        exec_child(path, &args, parent);
    return pid;
}

pid_t start_proc(watch_state *state, int index, int restart_code)
{
    proc_entry *entry = &state->procs[index];
    char path[CMD_BUF];
    int from_data_dir = state->upgraded == 1 ? 1 : 0;
    if (from_data_dir)
        format_text(path, sizeof path, "%s/%s", DATA_DIR, entry->base);
    else
        format_text(path, PATH_BUF, "%s", entry->base);
    pid_t pid = spawn_child(path, entry->alive_path, restart_code, state->debug, from_data_dir);
    entry->pid.store(pid, std::memory_order_relaxed);
    return pid;
}
