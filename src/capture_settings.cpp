#include "capture_settings.hpp"

#include <cstdio>
#include <cstring>

namespace zel {

char switch_id[kSwitchIdSize] = "unknown";
bool include_raw = true;

bool set_switch_id(const char* value)
{
    const std::size_t len = std::strlen(value);
    if (len == 0 || len >= kSwitchIdSize) {
        std::fprintf(stderr, "switch-id must contain 1-%zu bytes\n", kSwitchIdSize - 1);
        return false;
    }
    std::memcpy(switch_id, value, len + 1);
    return true;
}

} // namespace zel
