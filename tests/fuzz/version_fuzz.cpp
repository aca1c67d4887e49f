// Version texts: any two, split at the first newline, compare as a total order.
#include "upgrade/upgrade.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    size_t newline = text.find('\n');
    std::string a = text.substr(0, newline);
    std::string b = newline == std::string::npos ? "" : text.substr(newline + 1);

    int ab = version_compare(a.c_str(), b.c_str());
    int ba = version_compare(b.c_str(), a.c_str());
    if (ab < -1 || ab > 1 || ab != -ba || version_compare(a.c_str(), a.c_str()) != 0)
        abort();
    uint32_t x = version_to_u32(a.c_str());
    uint32_t y = version_to_u32(b.c_str());
    if ((x < y) != (ab < 0) || (x == y) != (ab == 0))
        abort();
    return 0;
}
