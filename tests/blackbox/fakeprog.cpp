// A scripted stand-in for a supervised program. Copied under each program
// name, it appends its command line, its open descriptors and the monotonic
// clock in ms to starts.<name> in its working directory, then does what line k
// of plan.<name> says, k being how many times it was started before:
//   run        wait until killed (also when the plan has no line k)
//   exit N     exit with status N
//   signal N   die of signal N
//   exit N after MS   wait MS milliseconds, then exit with status N
//   touch      create the alive file (the path after -A) once, then wait
//   beat MS    create the alive file every MS milliseconds; each time it was
//              gone (deleted by watchd), append a line to gone.<name>
// Two plans for runs of thousands of starts, which keep only a count (the size
// of count.<name>) instead of the start lines:
//   cycle N    exit with 160 until started N times, then wait until killed
//   install N  put a package of 2 kB at /tmp/.uci/vqupgrade.tgz, exit with N
#include "files.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

static std::string open_fds()
{
    // Listed before anything of ours is opened, so only inherited ones show.
    std::string list;
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return "?";
    int own = dirfd(dir);
    while (dirent *e = readdir(dir)) {
        if (e->d_name[0] == '.' || atoi(e->d_name) == own)
            continue;
        list += list.empty() ? "" : ",";
        list += e->d_name;
        if (atoi(e->d_name) > 2) {
            // Name what leaked, so a failing test says where it came from.
            char target[512] = "";
            std::string link = std::string("/proc/self/fd/") + e->d_name;
            ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
            list += "=" + std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
        }
    }
    closedir(dir);
    return list;
}

// Adds one to the count of starts and returns the new count.
static long count_start(const std::string &name)
{
    int fd = open(("count." + name).c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    struct stat st;
    if (fd < 0 || write(fd, "x", 1) != 1 || fstat(fd, &st) != 0)
        exit(2);
    close(fd);
    return static_cast<long>(st.st_size);
}

int main(int argc, char **argv)
{
    std::string fds = open_fds();
    const char *slash = strrchr(argv[0], '/');
    std::string name = slash != nullptr ? slash + 1 : argv[0];

    std::string first = read_file("plan." + name);
    first = first.substr(0, first.find('\n'));
    long limit = 0;
    if (sscanf(first.c_str(), "cycle %ld", &limit) == 1) {
        if (count_start(name) < limit)
            return 160;
        for (;;)
            pause();
    }
    int install = 0;
    if (sscanf(first.c_str(), "install %d", &install) == 1) {
        count_start(name);
        write_file("/tmp/.uci/vqupgrade.tgz", std::string(2048, 'p'));
        return install;
    }

    std::string starts_path = "starts." + name;
    std::string before = read_file(starts_path);
    int k = 0;
    for (char c : before)
        k += c == '\n';

    std::string line;
    for (int i = 0; i < argc; i++)
        line += (i ? " " : "") + std::string(argv[i]);
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long ms = now.tv_sec * 1000LL + now.tv_nsec / 1000000;
    line += " | fds=" + fds + " | ms=" + std::to_string(ms) + "\n";
    int fd = open(starts_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0) {
        if (write(fd, line.data(), line.size()) < 0)
            return 2;
        close(fd);
    }

    std::string plan = read_file("plan." + name);
    std::string action = "run";
    size_t at = 0;
    for (int i = 0; i < k && at != std::string::npos; i++) {
        at = plan.find('\n', at);
        if (at != std::string::npos)
            at++;
    }
    if (at != std::string::npos && at < plan.size())
        action = plan.substr(at, plan.find('\n', at) - at);

    std::string alive;
    for (int i = 1; i + 1 < argc; i++) {
        if (strcmp(argv[i], "-A") == 0)
            alive = argv[i + 1];
    }

    int n = 0;
    int ms_wait = 0;
    if (sscanf(action.c_str(), "exit %d after %d", &n, &ms_wait) == 2) {
        usleep(static_cast<useconds_t>(ms_wait) * 1000);
        return n;
    }
    if (sscanf(action.c_str(), "exit %d", &n) == 1)
        return n;
    if (action == "touch")
        write_file(alive, "");
    if (sscanf(action.c_str(), "beat %d", &ms_wait) == 1) {
        write_file(alive, "");
        for (;;) {
            usleep(static_cast<useconds_t>(ms_wait) * 1000);
            if (!file_exists(alive)) {
                int gone = open(("gone." + name).c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
                if (gone >= 0 && write(gone, "x\n", 2) < 0)
                    return 2;
                close(gone);
                write_file(alive, "");
            }
        }
    }
    if (sscanf(action.c_str(), "signal %d", &n) == 1) {
        struct rlimit none = {0, 0};
        setrlimit(RLIMIT_CORE, &none);
        signal(n, SIG_DFL);
        raise(n);
        return 3;
    }
    for (;;)
        pause();
}
