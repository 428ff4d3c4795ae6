#include "records.h"

#include <cstring>

#include "binding/common/errors.h"
#include "binding/common/record.h"
#include "state.h"

namespace tarn::py::parser {
namespace {

constexpr int kMaxInitFields = 16;

Py_ssize_t slot_count(PyObject* self) {
  return (Py_TYPE(self)->tp_basicsize - static_cast<Py_ssize_t>(sizeof(PyObject))) /
         static_cast<Py_ssize_t>(sizeof(PyObject*));
}

void record_dealloc(PyObject* self);

// ------------------------------------------------------------------ fields

PyObject* field_get(PyObject* self, void* closure) {
  const auto* f = static_cast<const FieldInfo*>(closure);
  PyObject* v = record_slots(self)[f->index];
  if (!v) return field_undefined(self, f->name.c_str());
  return Py_NewRef(v);
}

int field_set(PyObject* self, PyObject* value, void* closure) {
  const auto* f = static_cast<const FieldInfo*>(closure);
  if (!value) return field_not_deletable(self, f->name.c_str());
  PyObject* stored = accept_field(*f->owner->state, *f, value);
  if (!stored) return -1;
  Py_XSETREF(record_slots(self)[f->index], stored);
  return 0;
}

// ------------------------------------------------------------------ life

PyObject* record_new(PyTypeObject* type, PyObject*, PyObject*) {
  if (!refuse_foreign_subclass(type, is_record_type(type) ? type : nullptr)) return nullptr;
  return type->tp_alloc(type, 0);
}

int record_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  const RecordClass& cls = *record_class_of(Py_TYPE(self));
  if (cls.custom_init) return cls.custom_init(self, args, kwargs);
  PyObject* v[kMaxInitFields] = {};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, cls.init_format.c_str(), const_cast<char**>(cls.kwlist.data()),
                                   &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7], &v[8], &v[9], &v[10],
                                   &v[11], &v[12], &v[13], &v[14], &v[15]))
    return -1;
  // Every value is checked before any is stored, so a refused call changes nothing.
  const size_t n = cls.fields.size();
  std::vector<Ref> accepted(n);
  for (size_t i = 0; i < n; ++i) {
    const FieldInfo& f = cls.fields[i];
    if (v[i]) {
      accepted[i] = Ref::steal(accept_field(*cls.state, f, v[i]));
    } else if (f.decl.deflt == FieldDefault::EmptyList) {
      accepted[i] = Ref::steal(PyList_New(0));
    } else {
      accepted[i] = Ref::borrow(Py_False);
    }
    if (!accepted[i]) return -1;
  }
  PyObject** slots = record_slots(self);
  for (size_t i = 0; i < n; ++i) Py_XSETREF(slots[i], accepted[i].release());
  return 0;
}

int record_traverse(PyObject* self, visitproc visit, void* arg) {
  PyObject** slots = record_slots(self);
  for (Py_ssize_t i = 0, n = slot_count(self); i < n; ++i) Py_VISIT(slots[i]);
  Py_VISIT(Py_TYPE(self));
  return 0;
}

int record_clear(PyObject* self) {
  PyObject** slots = record_slots(self);
  for (Py_ssize_t i = 0, n = slot_count(self); i < n; ++i) Py_CLEAR(slots[i]);
  return 0;
}

// The trashcan defers nested deallocations, so freeing a tree of any depth
// never recurses deeply on the C stack.
void record_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  Py_TRASHCAN_BEGIN(self, record_dealloc)
  record_clear(self);
  type->tp_free(self);
  Py_DECREF(type);
  Py_TRASHCAN_END
}

// ------------------------------------------------------------------ value behaviour

// The printable form has one implementation, tarn.tree.dump (looked up once):
// it prints trees of any depth and stops at cycles.
PyObject* record_repr(PyObject* self) {
  State& st = *record_class_of(Py_TYPE(self))->state;
  if (!st.printer) {
    Ref tree = Ref::steal(PyImport_ImportModule("tarn.tree"));
    if (!tree) return nullptr;
    st.printer = Ref::steal(PyObject_GetAttrString(tree.get(), "dump"));
    if (!st.printer) return nullptr;
  }
  Ref printer = st.printer;
  return PyObject_CallOneArg(printer.get(), self);
}

// 1 equal, 0 not, -1 error. Fields are compared in order, as tuples would be.
int fields_equal(PyObject* a, PyObject* b) {
  const RecordClass& cls = *record_class_of(Py_TYPE(a));
  for (const FieldInfo& f : cls.fields) {
    PyObject* x = record_slots(a)[f.index];
    if (!x) return field_undefined(a, f.name.c_str()), -1;
    PyObject* y = record_slots(b)[f.index];
    if (!y) return field_undefined(b, f.name.c_str()), -1;
    Ref hold_x = Ref::borrow(x), hold_y = Ref::borrow(y);
    const int r = PyObject_RichCompareBool(x, y, Py_EQ);
    if (r <= 0) return r;
  }
  return 1;
}

PyObject* record_richcompare(PyObject* a, PyObject* b, int op) {
  if ((op != Py_EQ && op != Py_NE) || Py_TYPE(a) != Py_TYPE(b)) Py_RETURN_NOTIMPLEMENTED;
  if (Py_EnterRecursiveCall(" in comparison")) return nullptr;
  const int r = fields_equal(a, b);
  Py_LeaveRecursiveCall();
  if (r < 0) return nullptr;
  return PyBool_FromLong(op == Py_EQ ? r : !r);
}

// ------------------------------------------------------------------ state for copying

PyObject* record_getstate(PyObject* self, PyObject*) {
  const RecordClass& cls = *record_class_of(Py_TYPE(self));
  Ref state = Ref::steal(PyDict_New());
  if (!state) return nullptr;
  for (const FieldInfo& f : cls.fields) {
    PyObject* v = record_slots(self)[f.index];
    if (v && PyDict_SetItem(state.get(), f.py_name.get(), v) < 0) return nullptr;
  }
  return state.release();
}

PyObject* record_setstate(PyObject* self, PyObject* state) { return set_state(self, state); }
PyObject* record_reduce(PyObject* self, PyObject*) { return reduce_via_state(self); }

constexpr PyMethodDef kStateMethods[] = {
    {"__getstate__", record_getstate, METH_NOARGS, "__getstate__($self, /)\n--\n\nThe set fields, in field order."},
    {"__setstate__", record_setstate, METH_O, "__setstate__($self, state, /)\n--\n\nAssigns each item as a field."},
    {"__reduce__", record_reduce, METH_NOARGS, "__reduce__($self, /)\n--\n\n"},
};

std::string host_field_name(const char* name) {
  std::string s(name);
  if (!s.empty() && s.back() == '_') s.pop_back();
  return s;
}

std::string declared_type(const FieldDecl& d) {
  switch (d.shape) {
    case FieldShape::Str: return "str";
    case FieldShape::StrOrNone: return "str or None";
    case FieldShape::Int: return "int";
    case FieldShape::Bool: return "bool";
    case FieldShape::List: return "list";
    case FieldShape::ListOrNone: return "list or None";
    case FieldShape::Node:
    case FieldShape::NodeOrNone: break;
  }
  const bool or_none = d.shape == FieldShape::NodeOrNone;
  std::string names;
  for (syntax::NodeKind k : d.kinds) {
    if (!names.empty()) names += ", ";
    names += std::string("tarn.parser.") + syntax::record_name(k);
  }
  if (d.kinds.size() == 1) return or_none ? names + " or None" : names;
  return "union[" + names + (or_none ? ", None]" : "]");
}

}  // namespace

PyObject* accept_field(const State& state, const FieldInfo& f, PyObject* v) {
  bool ok = false;
  switch (f.decl.shape) {
    case FieldShape::Str: ok = PyUnicode_Check(v); break;
    case FieldShape::StrOrNone: ok = v == Py_None || PyUnicode_Check(v); break;
    case FieldShape::Int:
      if (PyLong_CheckExact(v)) return Py_NewRef(v);
      if (PyLong_Check(v)) return PyNumber_Index(v);  // True -> 1: the field holds a plain int
      break;
    case FieldShape::Bool: ok = PyBool_Check(v); break;
    case FieldShape::List: ok = PyList_Check(v); break;
    case FieldShape::ListOrNone: ok = v == Py_None || PyList_Check(v); break;
    case FieldShape::NodeOrNone: ok = v == Py_None; [[fallthrough]];
    case FieldShape::Node:
      for (syntax::NodeKind k : f.decl.kinds) ok = ok || state.is_record(v, k);
      break;
  }
  if (ok) return Py_NewRef(v);
  return type_error(f.declared_type.c_str(), v);
}

bool is_record_type(PyTypeObject* type) { return type->tp_dealloc == record_dealloc; }

RecordClass* record_class_of(PyTypeObject* type) {
  // Every record class has fields, and each field's descriptor knows its class.
  return static_cast<FieldInfo*>(type->tp_getset[0].closure)->owner;
}

PyObject* new_untracked_record(const RecordClass& cls) {
  PyObject* o = _PyObject_GC_New(cls.tp());
  if (!o) return nullptr;
  std::memset(record_slots(o), 0, cls.tp()->tp_basicsize - sizeof(PyObject));
  return o;
}

std::unique_ptr<RecordClass> make_record_class(State& state, PyObject* module, const RecordDecl& decl, int kind) {
  auto cls = std::make_unique<RecordClass>();
  cls->state = &state;
  cls->kind = kind;
  cls->qualified_name = std::string("tarn.parser.") + decl.name;
  cls->custom_init = decl.init;
  cls->private_slots = decl.private_slots;
  if (decl.fields.empty() || decl.fields.size() > static_cast<size_t>(kMaxInitFields)) {
    PyErr_Format(PyExc_SystemError, "record %s needs 1 to %d fields", decl.name, kMaxInitFields);
    return nullptr;
  }

  // Fields first: getset closures and kwlist point into this vector, so it
  // is complete before anything refers to it.
  cls->fields.reserve(decl.fields.size());
  bool optional_seen = false;
  std::string format;
  for (const FieldDecl& d : decl.fields) {
    FieldInfo f{cls.get(), static_cast<int>(cls->fields.size()), d, host_field_name(d.name), declared_type(d), {}};
    f.py_name = Ref::steal(PyUnicode_InternFromString(f.name.c_str()));
    if (!f.py_name) return nullptr;
    if (d.deflt != FieldDefault::Required && !optional_seen) {
      format += '|';
      optional_seen = true;
    }
    format += 'O';
    cls->fields.push_back(std::move(f));
  }
  cls->init_format = format + ":__init__";
  for (FieldInfo& f : cls->fields) {
    cls->kwlist.push_back(f.name.data());
    cls->getset.push_back({f.name.c_str(), field_get, field_set, nullptr, &f});
  }
  cls->kwlist.push_back(nullptr);
  cls->getset.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});

  cls->methods = decl.methods;
  for (const PyMethodDef& m : kStateMethods) cls->methods.push_back(m);
  cls->methods.push_back({nullptr, nullptr, 0, nullptr});

  PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(record_dealloc)},
      {Py_tp_traverse, reinterpret_cast<void*>(record_traverse)},
      {Py_tp_clear, reinterpret_cast<void*>(record_clear)},
      {Py_tp_new, reinterpret_cast<void*>(record_new)},
      {Py_tp_init, reinterpret_cast<void*>(record_init)},
      {Py_tp_repr, reinterpret_cast<void*>(record_repr)},
      {Py_tp_richcompare, reinterpret_cast<void*>(record_richcompare)},
      {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
      {Py_tp_getset, cls->getset.data()},
      {Py_tp_methods, cls->methods.data()},
      {Py_tp_free, reinterpret_cast<void*>(PyObject_GC_Del)},
      {Py_tp_doc, const_cast<char*>(decl.doc)},
      {0, nullptr},
  };
  if (!decl.doc) slots[std::size(slots) - 2] = {0, nullptr};
  PyType_Spec shape{cls->qualified_name.c_str(),
                   static_cast<int>(record_basicsize(decl.fields.size() + decl.private_slots)), 0,
                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE, slots};
  cls->type = Ref::steal(
      PyType_FromModuleAndSpec(module, &shape, decl.base ? reinterpret_cast<PyObject*>(decl.base) : nullptr));
  if (!cls->type) return nullptr;

  // Immutable classes refuse attribute assignment, so the class dict is
  // filled directly.
  Ref match_args = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(cls->fields.size())));
  if (!match_args) return nullptr;
  for (size_t i = 0; i < cls->fields.size(); ++i)
    PyTuple_SET_ITEM(match_args.get(), static_cast<Py_ssize_t>(i), Py_NewRef(cls->fields[i].py_name.get()));
  if (PyDict_SetItemString(cls->tp()->tp_dict, "__match_args__", match_args.get()) < 0) return nullptr;
  PyType_Modified(cls->tp());
  return cls;
}

}  // namespace tarn::py::parser
