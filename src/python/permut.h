// The Python form of permutations, shared by every method that takes or
// returns one: in, any sequence except str of integers 0..255 checked by
// Permut32::from_iter; out, a tuple of ints.
#pragma once

#include "groups/permutation.h"
#include "python/binding.h"

namespace larkspan::py {

Permut32 to_permut(PyObject *obj);
PyObject *permut_to_py(Permut32 p);

// Converts every item of a sequence (not str) with to_u8, in order, keeping
// only the first `cap` values in `out`; returns the number of items. Lets
// callers that need only a few values refuse huge sequences without
// allocating for them, while reporting conversion errors as a full list
// conversion would.
size_t to_u8_items(PyObject *obj, uint8_t *out, size_t cap);

}  // namespace larkspan::py
