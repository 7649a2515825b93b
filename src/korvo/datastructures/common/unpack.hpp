// Unpacking as the interpreter does for `a, b = item`.
#pragma once

#include "ref.hpp"

namespace korvo {

// Fills `first` and `second` from an item of exactly two elements; false with
// the interpreter's own TypeError/ValueError otherwise.
bool unpack_pair(PyObject* item, Ref& first, Ref& second);

}  // namespace korvo
