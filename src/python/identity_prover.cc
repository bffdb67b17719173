// Python class IdentityProver: placeholder until its native side lands.
#include "python/classes.h"

namespace larkspan::py {

PyTypeObject *create_identity_prover_type() {
    return make_placeholder_type(
        "IdentityProver",
        "Rule-based prover for circuit identities.\n\nThe prover is built from ECCs, extracts assumed rules, and can then:\n- check whether a target identity is derivable,\n- produce visited states for diagnostics,\n- export explicit proof traces.",
        false);
}

}  // namespace larkspan::py
