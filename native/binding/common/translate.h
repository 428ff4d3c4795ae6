// The one way diagnostics get their texts: the translation service's `t`.
#pragma once
#include "ref.h"

namespace tarn::py {

// i18n.t(key), or i18n.t(key, kw=kw) when kw is given; `t` is looked up on
// the module at every call (a host's replacement is followed) and must give
// a str. `t_name` and `kw_name` are the interned "t" and "kw". New reference.
PyObject* translate(PyObject* i18n, PyObject* t_name, PyObject* kw_name, PyObject* key, PyObject* kw);

}  // namespace tarn::py
