// Python class IdentityCirc: placeholder until its native side lands.
#include "python/classes.h"

namespace larkspan::py {

PyTypeObject *create_identity_circ_type() {
    return make_placeholder_type(
        "IdentityCirc",
        "IdentityCirc(circuit)\n--\n\nCanonical identity circuit (a circuit proven equivalent to identity).",
        true, true);
}

}  // namespace larkspan::py
