// Python class RawECCs: placeholder until its native side lands.
#include "python/classes.h"

namespace larkspan::py {

PyTypeObject *create_raw_eccs_type() {
    return make_placeholder_type(
        "RawECCs",
        "RawECCs(evaluator)\n--\n\nMutable ECC map keyed by evaluator hash.\n\nThis is the direct output of the search algorithm before final simplification.",
        true);
}

}  // namespace larkspan::py
