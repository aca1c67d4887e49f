// The long-running program every supervisor in the benchmark keeps: it
// appends the monotonic clock in ns to /tmp/bench/start.<name> when it starts,
// keeps its heartbeat file when given -A, and on SIGUSR1 appends the clock to
// /tmp/bench/exit.<name> and exits with 160 (watchd's restart of all).
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <unistd.h>

static std::string name;

static void stamp(const char *what)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    char line[64];
    int n = snprintf(line, sizeof line, "%lld\n", now.tv_sec * 1000000000LL + now.tv_nsec);
    std::string path = std::string("/tmp/bench/") + what + "." + name;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
        ssize_t ignored = write(fd, line, static_cast<size_t>(n));
        (void)ignored;
        close(fd);
    }
}

static void on_usr1(int)
{
    stamp("exit");
    _exit(160);
}

int main(int argc, char **argv)
{
    const char *slash = strrchr(argv[0], '/');
    name = slash != nullptr ? slash + 1 : argv[0];
    signal(SIGUSR1, on_usr1);
    stamp("start");
    const char *alive = nullptr;
    for (int i = 1; i + 1 < argc; i++) {
        if (strcmp(argv[i], "-A") == 0)
            alive = argv[i + 1];
    }
    for (;;) {
        if (alive != nullptr)
            close(open(alive, O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
        sleep(30);
    }
}
