// The pieces tarn._check is made of, one file each.
#pragma once
#include "binding/common/translate.h"
#include "state.h"

namespace tarn::py::check {

extern PyModuleDef module_def;
extern PyMethodDef diagnostics_methods[];  // diagnostics.cpp

}  // namespace tarn::py::check
