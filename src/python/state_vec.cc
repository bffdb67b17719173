// Python class StateVec: placeholder until its native side lands.
#include "python/classes.h"

namespace larkspan::py {

PyTypeObject *create_state_vec_type() {
    return make_placeholder_type(
        "StateVec",
        "StateVec(re, im)\n--\n\nComplex state vector used for randomized circuit evaluation.",
        true);
}

}  // namespace larkspan::py
