// placeholder until server mode lands
#include "relay_server.hpp"
int server_callback(relay_state *, lws *, lws_callback_reasons, void *, void *, size_t) { return 0; }
bool peer_allowed(const relay_config *, int) { return false; }
void fanout(relay_state *) {}
