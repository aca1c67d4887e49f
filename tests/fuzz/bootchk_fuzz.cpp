// The boot-check record against any file: read as upgraded or not, and
// rewritten by an install into a whole object that keeps its version.
#include "config/config.h"
#include "fuzz_scratch.h"
#include "supervisor/supervisor.h"
#include "upgrade/upgrade.h"

#include <cstring>
#include <strings.h>

static const char *RECORD = "../data/.bootchk";
static const char *PACKAGE = "/tmp/.uci/vqupgrade.tgz";

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    enter_fuzz_scratch();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    put_file(RECORD, data, size);
    int upgraded = bootchk_upgraded();
    if (upgraded != 0 && upgraded != 1)
        abort();

    json_ptr before(load_json_file(RECORD));
    std::string old_version;
    bool had_version = false;
    if (before && cJSON_IsObject(before.get())) {
        const char *version = json_get_string(before.get(), "version");
        had_version = version != nullptr;
        old_version = had_version ? version : "";
    }

    // An install that records without copying: the rewrite alone.
    put_file(PACKAGE, reinterpret_cast<const uint8_t *>("p"), 1);
    install_upgrade(EXIT_INSTALL_OTHER);

    std::string after = take_file(RECORD);
    json_ptr tree(cJSON_ParseWithOpts(after.c_str(), nullptr, 1));
    if (!tree || !cJSON_IsObject(tree.get()))
        abort();
    if (had_version) {
        const char *version = json_get_string(tree.get(), "version");
        if (version == nullptr || old_version != version)
            abort();
    } else {
        // Members are only appended: the default version comes last.
        const cJSON *last = nullptr;
        for (const cJSON *item = tree.get()->child; item != nullptr; item = item->next)
            last = item;
        if (last == nullptr || strcasecmp(last->string, "version") != 0 ||
            !cJSON_IsString(last) || strcmp(last->valuestring, DEFAULT_VERSION) != 0)
            abort();
    }
    if (access(PACKAGE, F_OK) == 0 || access("../data/.bootchk.tmp", F_OK) == 0)
        abort();
    // An install of nothing never takes back installed plugin data.
    if (upgraded == 1 && bootchk_upgraded() != 1)
        abort();
    return 0;
}
