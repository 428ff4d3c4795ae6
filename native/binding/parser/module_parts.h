// The steps that fill tarn.parser, one file each, called in import order.
#pragma once
#include "state.h"

namespace tarn::py::parser {

extern PyModuleDef module_def;
extern PyMethodDef module_functions[];  // entry_points.cpp

bool add_messages(State& st, PyObject* module);       // messages.cpp: MESSAGES, then i18n.register
bool add_node_records(State& st, PyObject* module);   // node_records.cpp: the records, then ParseError
bool add_keyword_sets(State& st, PyObject* module);   // keyword_sets.cpp
bool add_parser_class(State& st, PyObject* module);   // parser_type.cpp: _Parser

}  // namespace tarn::py::parser
