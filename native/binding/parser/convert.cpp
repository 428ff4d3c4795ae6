#include "convert.h"

#include "records.h"

namespace tarn::py::parser {
namespace {

using syntax::NodeKind;

// Where a record's own fields begin: records based on Node, Stmt or Expr
// inherit start and end; Node (and ParseError) declare them themselves.
constexpr int kFirstOwnSlot_Root = 0;
constexpr int kFirstOwnSlot_Node = 2;
constexpr int kFirstOwnSlot_Stmt = 2;
constexpr int kFirstOwnSlot_Expr = 2;

// How often a long conversion looks for Ctrl-C.
constexpr size_t kSignalCheckInterval = 4096;

}  // namespace

PyObject* Converter::node(const syntax::Node* n) {
  if (!n) return Py_NewRef(Py_None);
  return convert_root(n, Task::NODE);
}

PyObject* Converter::list(const syntax::List* l) {
  if (!l) return Py_NewRef(Py_None);
  return convert_root(l, Task::LIST);
}

PyObject* Converter::convert_root(const void* what, Task task) {
  PyObject* root = nullptr;
  stack_.push_back({&root, what, task});
  if (run()) return root;
  stack_.clear();
  made_.clear();  // none of them will be handed to the GC: they die with root
  Py_XDECREF(root);
  return nullptr;
}

void Converter::finish() {
  for (PyObject* o : made_) PyObject_GC_Track(o);
  made_.clear();
}

bool Converter::run() {
  while (!stack_.empty()) {
    const Pending p = stack_.back();
    stack_.pop_back();
    if (++steps_ % kSignalCheckInterval == 0 && PyErr_CheckSignals() < 0) return false;
    bool ok = false;
    switch (p.task) {
      case Task::NODE: ok = make_record(p.slot, static_cast<const syntax::Node*>(p.what)); break;
      case Task::LIST: ok = make_sequence(p.slot, static_cast<const syntax::List*>(p.what), false); break;
      case Task::TUPLE: ok = make_sequence(p.slot, static_cast<const syntax::List*>(p.what), true); break;
    }
    if (!ok) return false;
  }
  return true;
}

bool Converter::adopt(PyObject* container) {
  // Shared singletons (the empty tuple) are never tracked; leave them alone.
  if (PyObject_GC_IsTracked(container)) {
    PyObject_GC_UnTrack(container);
    made_.push_back(container);
  }
  return true;
}

bool Converter::make_record(PyObject** slot, const syntax::Node* n) {
  const NodeKind kind = static_cast<const syntax::Root*>(n)->kind;
  if (kind == NodeKind::HostRef) {
    *slot = Py_NewRef(static_cast<PyObject*>(static_cast<const syntax::HostRef*>(n)->host));
    return true;
  }
  const auto k = static_cast<size_t>(kind);
  if (k >= st_.records.size() || !st_.records[k] || !st_.records[k]->type) {
    PyErr_SetString(PyExc_RuntimeError, "tarn.parser has been torn down");
    return false;
  }
  PyObject* o = new_untracked_record(*st_.records[k]);
  if (!o) return false;
  *slot = o;
  made_.push_back(o);
  return fill(n, record_slots(o));
}

bool Converter::make_sequence(PyObject** slot, const syntax::List* l, bool tuple) {
  if (l->host) {
    *slot = Py_NewRef(static_cast<PyObject*>(l->host->object));
    return true;
  }
  const auto n = static_cast<Py_ssize_t>(l->size);
  PyObject* o = tuple ? PyTuple_New(n) : PyList_New(n);
  if (!o) return false;
  *slot = o;
  adopt(o);
  PyObject** items = tuple ? reinterpret_cast<PyTupleObject*>(o)->ob_item : reinterpret_cast<PyListObject*>(o)->ob_item;
  for (Py_ssize_t i = 0; i < n; ++i)
    if (!put_value(items + i, l->items[i])) return false;
  return true;
}

bool Converter::fill(const syntax::Node* n, PyObject** slots) {
  int slot = 0;
  switch (static_cast<const syntax::Root*>(n)->kind) {
#define RECORD(N, B)                                                        \
  case NodeKind::N: {                                                       \
    [[maybe_unused]] const auto* r = static_cast<const syntax::N*>(static_cast<const void*>(n)); \
    slot = kFirstOwnSlot_##B;                                               \
    if (slot && (!put_Int(slots, n->start) || !put_Int(slots + 1, n->end))) return false;
#define FIELD(R, F, S, D, K) \
    if (!put_##S(slots + slot++, r->F)) return false;
#define END(N) \
    return true; \
  }
#include "core/syntax/nodes.inc"
#undef RECORD
#undef FIELD
#undef END
    case NodeKind::HostRef: break;
  }
  PyErr_SetString(PyExc_SystemError, "unknown syntax node kind");
  return false;
}

Converter::~Converter() {
  for (CachedInt& c : ints_) Py_XDECREF(c.object);
}

bool Converter::put_Int(PyObject** s, int64_t v) {
  CachedInt& c = ints_[static_cast<uint64_t>(v) % kIntCache];
  if (!c.object || c.value != v) {
    PyObject* o = PyLong_FromLongLong(v);
    if (!o) return false;
    Py_XSETREF(c.object, o);
    c.value = v;
  }
  *s = Py_NewRef(c.object);
  return true;
}

bool Converter::put_Bool(PyObject** s, bool v) {
  *s = Py_NewRef(v ? Py_True : Py_False);
  return true;
}

bool Converter::put_List(PyObject** s, const syntax::List* v) {
  if (!v) return (*s = PyList_New(0)) != nullptr && adopt(*s);
  stack_.push_back({s, v, Task::LIST});
  return true;
}

bool Converter::put_ListOrNone(PyObject** s, const syntax::List* v) {
  if (!v) {
    *s = Py_NewRef(Py_None);
    return true;
  }
  stack_.push_back({s, v, Task::LIST});
  return true;
}

bool Converter::put_node(PyObject** s, const syntax::Node* v) {
  if (!v) {
    *s = Py_NewRef(Py_None);
    return true;
  }
  stack_.push_back({s, v, Task::NODE});
  return true;
}

bool Converter::put_value(PyObject** s, const syntax::Value& v) {
  switch (v.tag) {
    case syntax::Value::NONE: *s = Py_NewRef(Py_None); return true;
    case syntax::Value::NODE: return put_node(s, v.node);
    case syntax::Value::STR: return put_Str(s, v.str);
    case syntax::Value::LIST: stack_.push_back({s, v.list, Task::LIST}); return true;
    case syntax::Value::TUPLE: stack_.push_back({s, v.list, Task::TUPLE}); return true;
  }
  PyErr_SetString(PyExc_SystemError, "unknown syntax value");
  return false;
}

PyObject* Converter::static_text(const char* text) {
  auto it = st_.static_texts.find(text);
  if (it != st_.static_texts.end()) return Py_NewRef(it->second.get());
  Ref s = Ref::steal(PyUnicode_InternFromString(text));
  if (!s) return nullptr;
  st_.static_texts.emplace(text, s);
  return s.release();
}

// The texts of tokens indices[from .. from+count) (or the plain range when
// indices is null) joined with `separator`.
PyObject* Converter::join(const uint32_t* indices, uint32_t from, uint32_t count, PyObject* separator) {
  Ref parts = Ref::steal(PyList_New(count));
  if (!parts) return nullptr;
  for (uint32_t i = 0; i < count; ++i) {
    PyObject* t = texts_.get(indices ? indices[i] : from + i);
    if (!t) return nullptr;
    PyList_SET_ITEM(parts.get(), i, Py_NewRef(t));
  }
  return PyUnicode_Join(separator, parts.get());
}

PyObject* Converter::str(const syntax::StrRef& s, bool optional) {
  using syntax::StrRef;
  switch (s.tag) {
    case StrRef::NONE: return Py_NewRef(optional ? Py_None : st_.empty_str.get());
    case StrRef::STATIC: return static_text(s.text);
    case StrRef::TOKEN: return Py_XNewRef(texts_.get(s.a));
    case StrRef::CONCAT: {
      if (s.b <= s.a) return Py_NewRef(st_.empty_str.get());
      if (s.b - s.a == 1 && !s.drop_last) return Py_XNewRef(texts_.get(s.a));
      Ref joined = Ref::steal(join(nullptr, s.a, s.b - s.a, st_.empty_str.get()));
      if (!joined || !s.drop_last) return joined.release();
      const Py_ssize_t n = PyUnicode_GET_LENGTH(joined.get());
      return PyUnicode_Substring(joined.get(), 0, n > 0 ? n - 1 : 0);
    }
    case StrRef::JOIN_COLONS: return join(s.parts, 0, s.a, st_.s_colons.get());
  }
  PyErr_SetString(PyExc_SystemError, "unknown string reference");
  return nullptr;
}

}  // namespace tarn::py::parser
