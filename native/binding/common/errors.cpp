#include "errors.h"

namespace tarn::py {

Ref type_description(PyObject* value) {
  if (value == Py_None) return Ref::steal(PyUnicode_FromString("None"));
  PyTypeObject* t = Py_TYPE(value);
  Ref qualname = Ref::steal(PyType_GetQualName(t));
  if (!qualname) return {};
  Ref module = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(t), "__module__"));
  if (!module) {
    PyErr_Clear();
    return qualname;
  }
  if (PyUnicode_Check(module.get()) && PyUnicode_CompareWithASCIIString(module.get(), "builtins") != 0)
    return Ref::steal(PyUnicode_FromFormat("%U.%U", module.get(), qualname.get()));
  return qualname;
}

std::nullptr_t type_error(const char* expected, PyObject* value) {
  Ref desc = type_description(value);
  if (desc) PyErr_Format(PyExc_TypeError, "%s object expected; got %U", expected, desc.get());
  return nullptr;
}

bool refuse_foreign_subclass(PyTypeObject* type, PyTypeObject* own) {
  if (type == own) return true;
  PyErr_Format(PyExc_TypeError, "cannot create '%.200s' instances: the class is final", type->tp_name);
  return false;
}

}  // namespace tarn::py
