// Python class Argument: placeholder until its native side lands.
#include "python/classes.h"

namespace larkspan::py {

PyTypeObject *create_argument_type() {
    return make_placeholder_type(
        "Argument",
        "Argument(regid, index)\n--\n\nA named register argument (e.g., `q[0]`, `c[2]`) used by high-level instructions.",
        true);
}

}  // namespace larkspan::py
