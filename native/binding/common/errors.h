// The binding's error conventions.
#pragma once
#include "ref.h"

namespace tarn::py {

// "None" for None; otherwise the qualified class name, prefixed by its module
// and "." unless the module is builtins ("int", "tarn.lexer.Token").
Ref type_description(PyObject* value);

// Raises TypeError "<expected> object expected; got <description>" and
// returns nullptr, so callers can `return type_error(...)`.
std::nullptr_t type_error(const char* expected, PyObject* value);

// Raises TypeError unless `type` is exactly one of the system's own classes:
// host-defined subclasses of our record classes cannot be instantiated.
bool refuse_foreign_subclass(PyTypeObject* type, PyTypeObject* own);

}  // namespace tarn::py
