// Start-up helpers: descriptor hygiene for the supervisor and its children,
// the move into the program directory, and the working directories.
#include "supervisor/supervisor.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <libgen.h>

void open_std_fds()
{
    // A descriptor below 3 left closed by our parent would otherwise be handed
    // out to the run file, which then counts as no log.
    for (int fd = 0; fd < 3; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        int null_fd = open("/dev/null", O_RDWR);
        if (null_fd >= 0 && null_fd != fd) {
            dup2(null_fd, fd);
            close(null_fd);
        }
    }
}

void close_fds_from(int first)
{
    if (first < 1)
        first = 3;
#ifdef SYS_close_range
    // One call, whatever the descriptor limit; kernels before 5.9 lack it.
    if (syscall(SYS_close_range, static_cast<unsigned>(first), ~0U, 0U) == 0)
        return;
#endif
    int32_t limit = static_cast<int32_t>(sysconf(_SC_OPEN_MAX));
    for (int fd = first; fd < limit; fd++)
        close(fd);
}

int chdir_to_program_dir(const char *program_path)
{
    if (program_path == nullptr)
        return 0;
    char copy[PATH_BUF] = {};
    if (format_text(copy, sizeof copy, "%s", program_path) != 0) {
        // The cut path would name some other directory.
        errno = ENAMETOOLONG;
        return -1;
    }
    return chdir(dirname(copy));
}

int ensure_dir(const char *path)
{
    DIR *dir = opendir(path);
    if (dir != nullptr) {
        closedir(dir);
        return 0;
    }
    if (mkdir(path, 0777) == 0 || errno == EEXIST)
        return 0;
    printf("mkdir (%s) error: %s", path, strerror(errno));
    return -1;
}
