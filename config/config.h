// Configuration: loading JSON files, reading their members, and the watch
// configuration that fills the process table.
#pragma once

#include <cjson/cJSON.h>
#include <cstdint>
#include <memory>

struct watch_state;

// Releases a parsed tree on every path out of the scope that holds it.
struct cjson_deleter {
    void operator()(cJSON *item) const { cJSON_Delete(item); }
};
using json_ptr = std::unique_ptr<cJSON, cjson_deleter>;

// Loads and parses the whole file. Returns a new tree the caller releases with
// cJSON_Delete, or null when the file is missing, empty, unreadable or not JSON.
cJSON *load_json_file(const char *path);

// The text of the first member named key (letter case ignored), borrowed from
// the tree; null when there is none, it is not a string, or object is null.
const char *json_get_string(const cJSON *object, const char *key);

// The integer value of the first member named key; 0 when there is none.
int32_t json_get_int(const cJSON *object, const char *key);

// 1 when the first member named key is the literal true, else 0.
int json_is_true(const cJSON *object, const char *key);

// Stores the texts of the first n elements of array in out. Returns the count
// stored, 0 for a null array, -1 at the first element that is not a string.
int32_t json_string_array(const cJSON *array, const char **out, int32_t n);

// Fills the process table from the watch configuration at path. 0 when the
// table was filled from the document or by default, -1 when it is refused.
int load_watch_config(const char *path, watch_state *state);

// Writes the one-entry default table.
void set_default_watch(watch_state *state);
