// Python class Evaluator: placeholder until its native side lands.
#include "python/classes.h"

namespace larkspan::py {

PyTypeObject *create_evaluator_type() {
    return make_placeholder_type(
        "Evaluator",
        "Evaluator(nqubits)\n--\n\nRandomized evaluator used to hash circuits and recover permutation metadata.",
        true);
}

}  // namespace larkspan::py
