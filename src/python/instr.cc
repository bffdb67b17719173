// Python class Instr: placeholder until its native side lands.
#include "python/classes.h"

namespace larkspan::py {

PyTypeObject *create_instr_type() {
    return make_placeholder_type(
        "Instr",
        "Instr(gate, qargs)\n--\n\nA compact, index-only quantum instruction used internally by the search/prover.",
        true);
}

}  // namespace larkspan::py
