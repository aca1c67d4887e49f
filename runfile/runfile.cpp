// Run file: its exclusive lock keeps one supervisor per program name, and its
// content is the event log, begun with the program directory.
#include "runfile/runfile.h"

#include "supervisor/supervisor.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

static void unchecked(ssize_t) {}

int open_run_file(const char *path, const char *data, int32_t len)
{
    if (path == nullptr) {
        puts("NULL file name");
        return -1;
    }
    // Never through a link planted in the shared /tmp: it could point the
    // truncation below at any file we may write.
    int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        printf("failed to open %s\n", path);
        return -1;
    }
    int flags = fcntl(fd, F_GETFD);
    if (flags < 0 || fcntl(fd, F_SETFD, flags | FD_CLOEXEC) != 0) {
        printf("FD_CLOEXEC failed for %s\n", path);
        close(fd);
        return -1;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        printf("already in use for %s\n", path);
        close(fd);
        return -1;
    }
    // Only the holder of the lock may empty the file.
    unchecked(ftruncate(fd, 0));
    if (len > 0)
        unchecked(write(fd, data, static_cast<size_t>(len)));
    return fd;
}

int claim_run_file(const char *program_path, watch_state *state)
{
    char cwd[PATH_BUF];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
        puts("failed to get current dir");
        return -1;
    }
    state->log_fd = open_run_file(state->run_path, cwd, static_cast<int32_t>(strlen(cwd)));
    if (state->log_fd >= 0) {
        unchecked(write(state->log_fd, "\n", 1));
        return 0;
    }
    printf("process(%s) already run\n", program_path != nullptr ? program_path : "");
    return -1;
}

int log_event(int fd, const char *data, int32_t len)
{
    if (fd <= 0)
        return -1;
    // A lost event line must not stop supervision: the result is not looked at.
    if (len > 0)
        unchecked(write(fd, data, static_cast<size_t>(len)));
    return 0;
}
