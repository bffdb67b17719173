// Python class ECC: placeholder until its native side lands.
#include "python/classes.h"

namespace larkspan::py {

PyTypeObject *create_ecc_type() {
    return make_placeholder_type(
        "ECC",
        "One equivalence class of circuits.",
        false);
}

}  // namespace larkspan::py
