// NumPy's C API table is imported once (in the Gate binding, at module
// initialisation); other files include this header to share it.
#pragma once

#include "python/binding.h"

#define PY_ARRAY_UNIQUE_SYMBOL larkspan_ARRAY_API
#ifndef LARKSPAN_NUMPY_MAIN
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
