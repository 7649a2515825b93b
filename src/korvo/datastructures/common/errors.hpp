// Raising exceptions with exact messages, and chaining them the way an
// `except` block followed by `raise` does.
#pragma once

#include "ref.hpp"

namespace korvo {

// Takes the currently raised exception out of the thread state (normalized);
// null when none is set.
Ref fetch_error();
// Re-raises an exception taken with fetch_error (no-op for null).
void restore_error(Ref exc);

// True when the raised exception is an instance of `type`.
inline bool error_matches(PyObject* type) { return PyErr_ExceptionMatches(type) != 0; }

// Raises `type(message)`; always returns an empty Ref for `return raise(...)`.
Ref raise(PyObject* type, const char* message);
// Raises `type(arg)` with a single argument object.
Ref raise_obj(PyObject* type, PyObject* arg);
// printf-style, as PyErr_Format.
Ref raisef(PyObject* type, const char* format, ...);

// While an exception is raised: replaces it by `type(arg)` whose __context__
// is the replaced exception, as `except: raise type(arg)` does.
Ref raise_chained(PyObject* type, PyObject* arg);

// Makes `exc` the exception being handled (sys.exc_info()) for the lifetime
// of the scope, as inside an `except` block, restoring the previous one after.
class HandlingScope {
public:
    explicit HandlingScope(PyObject* exc);
    ~HandlingScope();
    HandlingScope(const HandlingScope&) = delete;
    HandlingScope& operator=(const HandlingScope&) = delete;

private:
    Ref previous_;
};

}  // namespace korvo
