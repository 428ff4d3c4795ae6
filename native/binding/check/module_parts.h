// The pieces tarn._check is made of, one file each.
#pragma once
#include "binding/common/translate.h"
#include "state.h"

namespace tarn::py::check {

extern PyModuleDef module_def;
extern PyMethodDef diagnostics_methods[];  // diagnostics.cpp
bool add_files_type(State& st, PyObject* module);  // files.cpp: check_files and _Files

}  // namespace tarn::py::check
