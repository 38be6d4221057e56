// The library wants LWS_PRE bytes of its own in front of every payload it
// frames, so a line is copied once into a buffer with that room.
#include "relay_mode.hpp"

#include <cstdlib>
#include <cstring>

namespace zel {

int send_text(lws* wsi, const zel_relay_item* item) {
    auto* buf = static_cast<unsigned char*>(std::malloc(LWS_PRE + item->len));
    if (buf == nullptr) return -1;
    std::memcpy(buf + LWS_PRE, item->data, item->len);
    const int n = lws_write(wsi, buf + LWS_PRE, item->len, LWS_WRITE_TEXT);
    std::free(buf);
    return n < 0 || static_cast<size_t>(n) != item->len ? -1 : 0;
}

}  // namespace zel
