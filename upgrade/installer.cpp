// Upgrade installer: takes the package a program left in the temporary
// directory, extracts or copies it into the data directory and records the
// install in the boot-check record.
#include "upgrade/upgrade.h"

#include "config/config.h"
#include "supervisor/supervisor.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <libgen.h>

static int write_all(int fd, const char *data, size_t len)
{
    while (len > 0) {
        ssize_t n = write(fd, data, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        data += n;
        len -= static_cast<size_t>(n);
    }
    return 0;
}

int copy_file(const char *src, const char *dst)
{
    // The destination is touched only once there is something to copy, so a
    // vanished package never empties an installed one.
    int in = open(src, O_RDONLY | O_CLOEXEC);
    int out = in >= 0 ? open(dst, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0700) : -1;
    if (in < 0 || out < 0) {
        printf("Failed to read or write, in, %d, out, %d\n", in, out);
        if (in >= 0)
            close(in);
        return -1;
    }
    int result = 0;
    char buf[1024];
    for (;;) {
        ssize_t n = read(in, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            break;
        if (n < 0 || write_all(out, buf, static_cast<size_t>(n)) != 0) {
            result = -1;
            break;
        }
    }
    close(in);
    if (close(out) != 0)
        result = -1;
    return result;
}

int save_file(const char *path, const char *data, int len)
{
    if (len < 0)
        return -1;
    char temp[CMD_BUF];
    char dir[CMD_BUF];
    if (format_text(temp, sizeof temp, "%s.tmp", path) != 0 ||
        format_text(dir, sizeof dir, "%s", path) != 0)
        return -1;

    // One fixed temporary name: what a power cut left behind is cleared by the
    // next save instead of piling up. Whatever sits there, a planted link
    // included, is removed rather than followed, and a file that appears in
    // between makes the exclusive create fail instead of being written through.
    unlink(temp);
    int fd = open(temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    bool ok = fchmod(fd, 0644) == 0 && write_all(fd, data, static_cast<size_t>(len)) == 0 &&
              fsync(fd) == 0;
    if (close(fd) != 0)
        ok = false;
    if (!ok || rename(temp, path) != 0) {
        int saved = errno;
        unlink(temp);
        errno = saved;
        return -1;
    }
    // Make the rename itself durable; some file systems refuse to sync a
    // directory, which leaves the record no less whole.
    int dir_fd = open(dirname(dir), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd >= 0) {
        fsync(dir_fd);
        close(dir_fd);
    }
    return 0;
}

void install_upgrade(int code)
{
    char package[510];
    format_text(package, sizeof package, "%s/%s", TMP_DIR, UPGRADE_PACKAGE);
    if (access(package, R_OK) != 0)
        return;

    char record[CMD_BUF];
    format_text(record, sizeof record, "%s/%s", DATA_DIR, BOOTCHK_FILE);
    json_ptr tree(load_json_file(record));
    // A record that is JSON but not an object cannot hold members: start anew,
    // as for a record that does not parse.
    if (tree && !cJSON_IsObject(tree.get()))
        tree.reset();
    if (!tree)
        tree.reset(cJSON_CreateObject());
    if (!tree) {
        unlink(package);
        return;
    }

    if (json_get_string(tree.get(), "version") == nullptr)
        cJSON_AddItemToObject(tree.get(), "version", cJSON_CreateString(DEFAULT_VERSION));

    if (code == EXIT_INSTALL_PLUGIN) {
        char command[2048];
        format_text(command, sizeof command, "tar -zxf %s -C %s", package, DATA_DIR);
        if (system(command) == 0)
            cJSON_AddItemToObject(tree.get(), "plugindata", cJSON_CreateNumber(1));
    } else if (code == EXIT_INSTALL_LUA) {
        char dest[CMD_BUF];
        format_text(dest, sizeof dest, "%s/%s", DATA_DIR, LUA_PACKAGE_FILE);
        if (copy_file(package, dest) == 0)
            cJSON_AddItemToObject(tree.get(), "luadata", cJSON_CreateNumber(1));
    }

    unlink(package);

    char *text = cJSON_PrintUnformatted(tree.get());
    if (text != nullptr) {
        save_file(record, text, static_cast<int>(strlen(text)));
        free(text);
    }
}
