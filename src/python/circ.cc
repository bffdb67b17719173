// Python class Circ: placeholder until its native side lands.
#include "python/classes.h"

namespace larkspan::py {

PyTypeObject *create_circ_type() {
    return make_placeholder_type(
        "Circ",
        "Circ(instrs, perm=None)\n--\n\nCircuit with an explicit trailing qubit permutation.",
        true);
}

}  // namespace larkspan::py
