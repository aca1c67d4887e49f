// JSON file access: a file read whole into one buffer and parsed, and member
// getters that find the first member of a name, letter case ignored.
#include "config/config.h"

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

cJSON *load_json_file(const char *path)
{
    struct stat st;
    if (stat(path, &st) != 0 || st.st_size <= 0)
        return nullptr;
    FILE *file = fopen(path, "r");
    if (file == nullptr)
        return nullptr;
    size_t size = static_cast<size_t>(st.st_size);
    char *text = static_cast<char *>(malloc(size + 1));
    if (text == nullptr) {
        fclose(file);
        return nullptr;
    }
    cJSON *tree = nullptr;
    if (fread(text, size, 1, file) == 1) {
        text[size] = '\0';
        tree = cJSON_Parse(text);
    }
    fclose(file);
    free(text);
    return tree;
}

static const cJSON *member(const cJSON *object, const char *key)
{
    return object != nullptr ? cJSON_GetObjectItem(object, key) : nullptr;
}

const char *json_get_string(const cJSON *object, const char *key)
{
    const cJSON *item = member(object, key);
    return item != nullptr ? item->valuestring : nullptr;
}

int32_t json_get_int(const cJSON *object, const char *key)
{
    const cJSON *item = member(object, key);
    return item != nullptr ? item->valueint : 0;
}

int json_is_true(const cJSON *object, const char *key)
{
    const cJSON *item = member(object, key);
    return item != nullptr && (item->type & 0xFF) == cJSON_True ? 1 : 0;
}

int32_t json_string_array(const cJSON *array, const char **out, int32_t n)
{
    if (array == nullptr)
        return 0;
    int32_t size = cJSON_GetArraySize(array);
    int32_t k = n < size ? n : size;
    for (int32_t i = 0; i < k; i++) {
        const cJSON *item = cJSON_GetArrayItem(array, i);
        if (item == nullptr || item->valuestring == nullptr)
            return -1;
        out[i] = item->valuestring;
    }
    return k;
}
