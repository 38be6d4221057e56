// The relay's entry point: configure, then run. The state is static because
// it outlives every callback and is far too large for the stack.
#include "relay_config.hpp"
#include "relay_runtime.hpp"
#include "relay_state.hpp"

int main(int argc, char **argv) {
    static relay_state st{};
    int rc = relay_configure(argc, argv, &st.config);
    if (rc >= 0) return rc;
    return relay_run(&st);
}
