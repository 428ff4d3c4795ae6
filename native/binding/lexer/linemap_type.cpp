// The host class tarn.lexer._LineMap and the line-start rule it is built on.
#include <limits>
#include <new>

#include "binding/common/errors.h"
#include "binding/common/record.h"
#include "binding/common/text_view.h"
#include "core/linemap.h"
#include "lexer_module.h"

namespace tarn::py::lexer {
namespace {

LineMapObject* as_linemap(PyObject* o) { return reinterpret_cast<LineMapObject*>(o); }

PyObject* get_starts(PyObject* self, void*) {
  PyObject* starts = as_linemap(self)->starts;
  return starts ? Py_NewRef(starts) : field_undefined(self, "_starts");
}

int set_starts(PyObject* self, PyObject* value, void*) {
  if (!value) return field_not_deletable(self, "_starts");
  if (!PyList_Check(value)) return type_error("list", value), -1;
  PyObject* old = as_linemap(self)->starts;
  as_linemap(self)->starts = Py_NewRef(value);
  Py_XDECREF(old);
  return 0;
}

PyGetSetDef linemap_getset[] = {
    {"_starts", get_starts, set_starts, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* linemap_tp_new(PyTypeObject* type, PyObject*, PyObject*) {
  LexerState* st = state_of_type(type);
  if (!st || !refuse_foreign_subclass(type, st->linemap_type)) return nullptr;
  return type->tp_alloc(type, 0);
}

int init_from_text(PyObject* self, PyObject* args, PyObject* kwds) {
  static const char* names[] = {"text", nullptr};
  PyObject* text;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:_LineMap", const_cast<char**>(names), &text)) return -1;
  if (!PyUnicode_Check(text)) return type_error("str", text), -1;
  Ref starts = Ref::steal(line_starts_list(text));
  if (!starts) return -1;
  return set_starts(self, starts.get(), nullptr);
}

int linemap_tp_init(PyObject* self, PyObject* args, PyObject* kwds) { return init_from_text(self, args, kwds); }

PyObject* linemap_init_method(PyObject* self, PyObject* args, PyObject* kwds) {
  if (init_from_text(self, args, kwds) < 0) return nullptr;
  Py_RETURN_NONE;
}

bool exact_int64(PyObject* o, int64_t* out) {
  if (!PyLong_CheckExact(o)) return false;
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
  if (overflow) return false;
  *out = v;
  return true;
}

// bisect_right straight over a plain list of int64-sized ints; false when
// the list or the arithmetic leaves that ground (the caller then takes the
// host's rules).
bool linecol_over_plain_list(PyObject* starts, int64_t offset, int64_t* line, int64_t* col) {
  if (!PyList_CheckExact(starts)) return false;
  const Py_ssize_t n = PyList_GET_SIZE(starts);
  if (n == 0) return false;
  Py_ssize_t lo = 0, hi = n;
  while (lo < hi) {
    const Py_ssize_t mid = lo + (hi - lo) / 2;
    int64_t v;
    if (!exact_int64(PyList_GET_ITEM(starts, mid), &v)) return false;
    if (offset < v) hi = mid;
    else lo = mid + 1;
  }
  int64_t base, diff;
  if (!exact_int64(PyList_GET_ITEM(starts, lo > 0 ? lo - 1 : n - 1), &base)) return false;
  if (__builtin_sub_overflow(offset, base, &diff) || __builtin_add_overflow(diff, 1, col)) return false;
  *line = lo;
  return true;
}

// linecol(offset)
PyObject* linemap_linecol(PyObject* self, PyObject* args, PyObject* kwds) {
  static const char* names[] = {"offset", nullptr};
  PyObject* offset;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:linecol", const_cast<char**>(names), &offset)) return nullptr;
  if (!PyLong_Check(offset)) return type_error("int", offset);
  Ref starts = Ref::steal(get_starts(self, nullptr));
  if (!starts) return nullptr;
  int overflow = 0;
  const long long off = PyLong_AsLongLongAndOverflow(offset, &overflow);
  if (off == -1 && PyErr_Occurred()) return nullptr;
  int64_t line, col;
  if (!overflow && linecol_over_plain_list(starts.get(), off, &line, &col)) return Py_BuildValue("(LL)", line, col);
  return linecol_by_host_rules(starts.get(), offset);
}

PyObject* linemap_getstate(PyObject* self, PyObject*) {
  Ref state = Ref::steal(PyDict_New());
  PyObject* starts = as_linemap(self)->starts;
  if (state && starts && PyDict_SetItemString(state.get(), "_starts", starts) < 0) return nullptr;
  return state.release();
}

PyObject* linemap_setstate(PyObject* self, PyObject* state) { return set_state(self, state); }
PyObject* linemap_reduce(PyObject* self, PyObject*) { return reduce_via_state(self); }

int linemap_tp_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_linemap(self)->starts);
  return 0;
}

int linemap_tp_clear(PyObject* self) {
  Py_CLEAR(as_linemap(self)->starts);
  return 0;
}

void linemap_tp_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  linemap_tp_clear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

#if PY_VERSION_HEX >= 0x030D0000
// inspect in 3.13 binds a C-level __init__ to the class it inspects and
// fails, but it also takes a class's signature from a __signature__
// callable (as 3.12 does). Subclasses cannot be instantiated, so the text
// serves them too.
PyObject* linemap_signature(PyObject*, PyObject*) { return PyUnicode_FromString("(text)"); }
#endif

PyMethodDef linemap_methods[] = {
    // Listed beside tp_init so introspection shows the parameter name.
    {"__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(linemap_init_method)),
     METH_VARARGS | METH_KEYWORDS | METH_COEXIST, "__init__($self, text)\n--\n\n"},
    {"linecol", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(linemap_linecol)),
     METH_VARARGS | METH_KEYWORDS, "linecol($self, offset)\n--\n\n"},
    {"__getstate__", linemap_getstate, METH_NOARGS, "__getstate__($self, /)\n--\n\n"},
    {"__setstate__", linemap_setstate, METH_O, "__setstate__($self, state, /)\n--\n\n"},
    {"__reduce__", linemap_reduce, METH_NOARGS, nullptr},
#if PY_VERSION_HEX >= 0x030D0000
    {"__signature__", linemap_signature, METH_NOARGS | METH_CLASS, "__signature__($cls, /)\n--\n\n"},
#endif
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot linemap_slots[] = {
    {Py_tp_doc, const_cast<char*>("_LineMap(text)\n--\n\nOffsets at which the lines of a text begin.")},
    {Py_tp_new, reinterpret_cast<void*>(linemap_tp_new)},
    {Py_tp_init, reinterpret_cast<void*>(linemap_tp_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(linemap_tp_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(linemap_tp_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(linemap_tp_clear)},
    {Py_tp_free, reinterpret_cast<void*>(PyObject_GC_Del)},
    {Py_tp_getset, linemap_getset},
    {Py_tp_methods, linemap_methods},
    {0, nullptr},
};

PyType_Spec linemap_spec = {
    "tarn.lexer._LineMap",
    sizeof(LineMapObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,
    linemap_slots,
};

}  // namespace

PyTypeObject* make_linemap_type(PyObject* module) {
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &linemap_spec, nullptr));
}

PyObject* line_starts_list(PyObject* text) {
  if (PyUnicode_READY(text) < 0) return nullptr;
  std::vector<int64_t> starts;
  try {
    starts = tarn::line_starts(text_view(text));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(starts.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < starts.size(); ++i) {
    PyObject* v = PyLong_FromLongLong(starts[i]);
    if (!v) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), v);
  }
  return list.release();
}

PyObject* new_linemap(LexerState* st, PyObject* text) {
  return PyObject_CallOneArg(reinterpret_cast<PyObject*>(st->linemap_type), text);
}

// line = bisect.bisect_right(starts, offset); col = offset - starts[line - 1] + 1
PyObject* linecol_by_host_rules(PyObject* starts, PyObject* offset) {
  Py_ssize_t lo = 0, hi = PySequence_Size(starts);
  if (hi < 0) return nullptr;
  while (lo < hi) {
    const Py_ssize_t mid = static_cast<Py_ssize_t>((static_cast<size_t>(lo) + static_cast<size_t>(hi)) / 2);
    Ref item = Ref::steal(PySequence_GetItem(starts, mid));
    if (!item) return nullptr;
    const int less = PyObject_RichCompareBool(offset, item.get(), Py_LT);
    if (less < 0) return nullptr;
    if (less) hi = mid;
    else lo = mid + 1;
  }
  Ref index = Ref::steal(PyLong_FromSsize_t(lo - 1));
  if (!index) return nullptr;
  Ref base = Ref::steal(PyObject_GetItem(starts, index.get()));
  if (!base) return nullptr;
  Ref diff = Ref::steal(PyNumber_Subtract(offset, base.get()));
  if (!diff) return nullptr;
  Ref one = Ref::steal(PyLong_FromLong(1));
  if (!one) return nullptr;
  Ref col = Ref::steal(PyNumber_Add(diff.get(), one.get()));
  if (!col) return nullptr;
  return Py_BuildValue("(nO)", lo, col.get());
}

}  // namespace tarn::py::lexer
