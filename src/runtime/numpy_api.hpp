// NumPy C API for every translation unit; the table is imported once, after
// the module bodies have imported numpy themselves.
#pragma once

#include "runtime/object.hpp"

#ifndef TS_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace ts {

// Import the NumPy C API table (idempotent); throws with the error set.
void init_numpy_api();

}  // namespace ts
