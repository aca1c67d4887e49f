// Boot-check record: the JSON file in the data directory that says whether
// plugin data is installed, and so which layout the programs start in.
#include "upgrade/upgrade.h"

#include "config/config.h"
#include "supervisor/supervisor.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

static void bootchk_path(char *buf, size_t size)
{
    format_text(buf, size, "%s/%s", DATA_DIR, BOOTCHK_FILE);
}

cJSON *load_bootchk()
{
    char path[CMD_BUF];
    bootchk_path(path, sizeof path);
    return load_json_file(path);
}

int bootchk_upgraded()
{
    json_ptr tree(load_bootchk());
    if (!tree || json_get_string(tree.get(), "version") == nullptr)
        return 0;
    return json_get_int(tree.get(), "plugindata") == 1 ? 1 : 0;
}

int clear_bootchk()
{
    char path[CMD_BUF];
    bootchk_path(path, sizeof path);
    if (access(path, R_OK) != 0)
        return 0;
    // A record that stays would make every later cycle fail the same way,
    // with no delay between them: only a record that is gone counts.
    if (unlink(path) != 0 && errno != ENOENT)
        return 0;
    return 1;
}

uint32_t version_to_u32(const char *text)
{
    char *copy = strdup(text);
    if (copy == nullptr)
        return 0;
    uint32_t result = 0;
    char *save = nullptr;
    char *token = strtok_r(copy, ".", &save);
    for (int shift = 24; shift >= 0 && token != nullptr; shift -= 8) {
        uint32_t value = 0;
        for (const unsigned char *p = reinterpret_cast<unsigned char *>(token); *p; p++)
            value = value * 10 + (static_cast<uint32_t>(*p) - 48);
        result |= (value & 0xFF) << shift;
        token = strtok_r(nullptr, ".", &save);
    }
    free(copy);
    return result;
}

int version_compare(const char *a, const char *b)
{
    uint32_t x = version_to_u32(a);
    uint32_t y = version_to_u32(b);
    return (x > y) - (x < y);
}
