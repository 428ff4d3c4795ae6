// _Parser: its slots, and what its cursor and grammar methods share.
#pragma once
#include <vector>

#include "state.h"

namespace tarn::py::parser {

// Field slots, then the private one.
enum ParserSlot : int { TOKS = 0, POS = 1, ERRORS = 2, ALL_TOKS = 3 };

// The live field (new reference), or AttributeError when it was never set.
PyObject* parser_field(PyObject* self, ParserSlot slot);
// Assigns a field with its type check.
bool set_parser_field(PyObject* self, ParserSlot slot, PyObject* value);

// The grammar methods (grammar_methods.cpp), in their order of definition.
std::vector<PyMethodDef> grammar_methods();

}  // namespace tarn::py::parser
