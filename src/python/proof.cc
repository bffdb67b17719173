// Python class Proof: placeholder until its native side lands.
#include "python/classes.h"

namespace larkspan::py {

PyTypeObject *create_proof_type() {
    return make_placeholder_type(
        "Proof",
        "Proof(data)\n--\n\nExported proof DAG.\n\nEach entry stores:\n- an identity circuit,\n- either `None` (assumption) or `(lhs_idx, rhs_idx)` showing how it is derived.",
        true);
}

}  // namespace larkspan::py
