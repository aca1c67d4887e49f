// File helpers shared by the unit tests, the black-box tests and the scripted
// program they run.
#pragma once

#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>

// The whole file, or "" when it cannot be read.
inline std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void write_file(const std::string &path, const std::string &content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

inline bool file_exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}
