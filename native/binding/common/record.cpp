#include "record.h"

#include "errors.h"

namespace tarn::py {

std::nullptr_t field_undefined(PyObject* self, const char* field) {
  Ref cls = Ref::steal(PyType_GetName(Py_TYPE(self)));
  if (cls) PyErr_Format(PyExc_AttributeError, "attribute '%.200s' of '%.200U' undefined", field, cls.get());
  return nullptr;
}

int field_not_deletable(PyObject* self, const char* field) {
  Ref cls = Ref::steal(PyType_GetName(Py_TYPE(self)));
  if (cls) PyErr_Format(PyExc_AttributeError, "'%.200U' object attribute '%.200s' cannot be deleted", cls.get(), field);
  return -1;
}

PyObject* set_state(PyObject* self, PyObject* state) {
  if (!PyDict_Check(state)) return type_error("dict", state);
  // A snapshot of the items: an assignment may run host code that changes the dict.
  Ref items = Ref::steal(PyDict_Items(state));
  if (!items) return nullptr;
  for (Py_ssize_t i = 0, n = PyList_GET_SIZE(items.get()); i < n; ++i) {
    PyObject* item = PyList_GET_ITEM(items.get(), i);
    if (PyObject_SetAttr(self, PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1)) < 0) return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* reduce_via_state(PyObject* self) {
  Ref copyreg = Ref::steal(PyImport_ImportModule("copyreg"));
  if (!copyreg) return nullptr;
  Ref newobj = Ref::steal(PyObject_GetAttrString(copyreg.get(), "__newobj__"));
  if (!newobj) return nullptr;
  Ref state = Ref::steal(PyObject_CallMethod(self, "__getstate__", nullptr));
  if (!state) return nullptr;
  return Py_BuildValue("(O(O)O)", newobj.get(), reinterpret_cast<PyObject*>(Py_TYPE(self)), state.get());
}

}  // namespace tarn::py
