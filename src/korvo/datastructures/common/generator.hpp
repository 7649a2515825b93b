// Native generator objects.
//
// A generator's body is a C++ state machine: `next()` produces the next value,
// or an empty Ref with no exception set when it is exhausted. The object
// around it behaves as a Python generator: lazy, iterable once, with
// __name__/__qualname__ of the function that made it, send/throw/close, and
// a ValueError when re-entered while running.
#pragma once

#include "function.hpp"

#include <memory>

namespace korvo {

class GeneratorBody {
public:
    virtual ~GeneratorBody() = default;
    virtual Ref next() = 0;
    virtual int traverse(visitproc, void*) { return 0; }
};

// Wraps `body` into a generator named after the function `fn`.
Ref make_generator(Function& fn, std::unique_ptr<GeneratorBody> body);

PyObject* create_generator_type(PyObject* module);

}  // namespace korvo
