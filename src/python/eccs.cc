// Python class ECCs: placeholder until its native side lands.
#include "python/classes.h"

namespace larkspan::py {

PyTypeObject *create_eccs_type() {
    return make_placeholder_type(
        "ECCs",
        "Collection of equivalence classes for a fixed number of qubits.",
        false);
}

}  // namespace larkspan::py
