// A scratch directory for the fuzz targets, inside a private /tmp so that the
// fixed /tmp/.uci paths of the installer never reach the machine's.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

// Enters <private /tmp>/fuzz/bin with ../data beside it. Aborts when the
// private /tmp cannot be had (it needs root), rather than touch the real one.
inline void enter_fuzz_scratch()
{
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/tmp", "tmpfs", 0, nullptr) != 0) {
        perror("fuzz: a private /tmp needs root");
        abort();
    }
    if (mkdir("/tmp/fuzz", 0755) != 0 || mkdir("/tmp/fuzz/bin", 0755) != 0 ||
        mkdir("/tmp/fuzz/data", 0755) != 0 || mkdir("/tmp/.uci", 0755) != 0 ||
        chdir("/tmp/fuzz/bin") != 0) {
        perror("fuzz: scratch directory");
        abort();
    }
}

inline void put_file(const char *path, const uint8_t *data, size_t size)
{
    FILE *file = fopen(path, "wb");
    if (file == nullptr || (size > 0 && fwrite(data, size, 1, file) != 1) || fclose(file) != 0)
        abort();
}

inline std::string take_file(const char *path)
{
    std::string text;
    FILE *file = fopen(path, "rb");
    if (file == nullptr)
        return text;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, file)) > 0;)
        text.append(buf, n);
    fclose(file);
    return text;
}
