#include "capture_settings.hpp"

namespace zel {

char switch_id[kSwitchIdSize] = "unknown";
bool include_raw = true;

} // namespace zel
