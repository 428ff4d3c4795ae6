// What the files of the tarn.lexer module share among themselves.
#pragma once
#include "binding/common/lexer_state.h"

namespace tarn::py::lexer {

extern PyModuleDef module_def;

LexerState* state_of_module(PyObject* module);
// The state of the module that defined `type` or one of its bases.
LexerState* state_of_type(PyTypeObject* type);

// The classes; new references.
PyTypeObject* make_token_type(PyObject* module);
PyTypeObject* make_linemap_type(PyObject* module);

struct LineMapObject {
  PyObject_HEAD
  PyObject* starts;  // nullptr: never set
};

// _line_starts(text) of a ready str, as a new list.
PyObject* line_starts_list(PyObject* text);
// _LineMap(text) of a str.
PyObject* new_linemap(LexerState* st, PyObject* text);
// linecol as the host computes it, for any starts object and any int offset:
// a new (line, col) tuple.
PyObject* linecol_by_host_rules(PyObject* starts, PyObject* offset);

// tokenize(text, lm) after the argument checks; lm is nullptr for None.
PyObject* tokenize_text(LexerState* st, PyObject* text, PyObject* lm);

// _LETTER, _IDENT_RE, _NUMBER_RE and the four memoised table functions.
bool add_language_tables(PyObject* module, LexerState* st);

extern PyMethodDef module_functions[];

}  // namespace tarn::py::lexer
