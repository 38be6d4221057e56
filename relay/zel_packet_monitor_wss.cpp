// The relay's entry point: configure, then run. The state is static because
// it outlives every callback and is far too large for the stack.
#include <sys/prctl.h>

#include <cstdio>

#include "relay_config.hpp"
#include "relay_runtime.hpp"
#include "relay_state.hpp"

int main(int argc, char** argv) {
    // The configuration brings the bearer token into memory (and the
    // environment may hold it): a core dump or a same-user ptrace must never
    // reach it. Non-dumpable before anything is read, so no crash from here
    // on writes it to disk.
    if (prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) {
        std::perror("prctl");
        return 1;
    }
    static zel::relay_state st{};
    int rc = zel::config::relay_configure(argc, argv, &st.config);
    if (rc >= 0) return rc;
    return zel::relay_run(&st);
}
