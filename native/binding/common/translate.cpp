#include "translate.h"

#include "errors.h"

namespace tarn::py {

PyObject* translate(PyObject* i18n, PyObject* t_name, PyObject* kw_name, PyObject* key, PyObject* kw) {
  Ref t = Ref::steal(PyObject_GetAttr(i18n, t_name));
  if (!t) return nullptr;
  Ref text;
  if (kw) {
    PyObject* args[] = {key, kw};
    Ref names = Ref::steal(PyTuple_Pack(1, kw_name));
    if (!names) return nullptr;
    text = Ref::steal(PyObject_Vectorcall(t.get(), args, 1, names.get()));
  } else {
    text = Ref::steal(PyObject_CallOneArg(t.get(), key));
  }
  if (!text) return nullptr;
  if (!PyUnicode_Check(text.get())) return type_error("str", text.get());
  return text.release();
}

}  // namespace tarn::py
