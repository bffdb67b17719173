// Python class Instruction: placeholder until its native side lands.
#include "python/classes.h"

namespace larkspan::py {

PyTypeObject *create_instruction_type() {
    return make_placeholder_type(
        "Instruction",
        "Instruction(gate, qargs, cargs=...)\n--\n\nA high-level instruction with gate + explicit quantum/classical register arguments.",
        true);
}

}  // namespace larkspan::py
