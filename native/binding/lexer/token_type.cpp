// The host class tarn.lexer.Token: typed field slots, construction, value
// equality without hashing, its text form and the copy/pickle state.
#include "binding/common/errors.h"
#include "binding/common/record.h"
#include "lexer_module.h"

namespace tarn::py::lexer {
namespace {

TokenObject* as_token(PyObject* o) { return reinterpret_cast<TokenObject*>(o); }
TokenField field_of(void* closure) { return static_cast<TokenField>(reinterpret_cast<intptr_t>(closure)); }

PyObject* get_field(PyObject* self, void* closure) { return token_get(self, field_of(closure)); }
int set_field(PyObject* self, PyObject* value, void* closure) { return token_set(self, field_of(closure), value); }

#define TOKEN_FIELD(F, name) {name, get_field, set_field, nullptr, reinterpret_cast<void*>(F)}
PyGetSetDef token_getset[] = {
    TOKEN_FIELD(KIND, "kind"),         TOKEN_FIELD(VALUE, "value"),   TOKEN_FIELD(START, "start"),
    TOKEN_FIELD(END, "end"),           TOKEN_FIELD(LINE, "line"),     TOKEN_FIELD(COL, "col"),
    TOKEN_FIELD(END_LINE, "end_line"), TOKEN_FIELD(END_COL, "end_col"), TOKEN_FIELD(CANONICAL, "canonical"),
    TOKEN_FIELD(SUBKIND, "subkind"),   TOKEN_FIELD(FLAGS, "flags"),   {nullptr, nullptr, nullptr, nullptr, nullptr},
};
#undef TOKEN_FIELD

PyObject* token_tp_new(PyTypeObject* type, PyObject*, PyObject*) {
  LexerState* st = state_of_type(type);
  if (!st || !refuse_foreign_subclass(type, st->tokens.type)) return nullptr;
  return token_new_blank(type);
}

// Token(kind, value, start, end, line, col, end_line, end_col, canonical=None, subkind=None, flags={})
int token_tp_init(PyObject* self, PyObject* args, PyObject* kwds) {
  static const char* names[] = {"kind", "value", "start", "end", "line", "col", "end_line", "end_col",
                                "canonical", "subkind", "flags", nullptr};
  PyObject* v[kTokenFields] = {};
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "OOOOOOOO|OOO:Token", const_cast<char**>(names), &v[0], &v[1],
                                   &v[2], &v[3], &v[4], &v[5], &v[6], &v[7], &v[8], &v[9], &v[10]))
    return -1;
  for (int f = 0; f < kTokenFields; ++f) {
    if (f == FLAGS && !v[f]) {
      token_set_empty_flags(self);
      continue;
    }
    if (token_set(self, static_cast<TokenField>(f), v[f] ? v[f] : Py_None) < 0) return -1;
  }
  return 0;
}

int token_tp_traverse(PyObject* self, visitproc visit, void* arg) {
  TokenObject* t = as_token(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(t->kind);
  Py_VISIT(t->value);
  Py_VISIT(t->canonical);
  Py_VISIT(t->subkind);
  Py_VISIT(t->flags);
  return 0;
}

int token_tp_clear(PyObject* self) {
  TokenObject* t = as_token(self);
  Py_CLEAR(t->kind);
  Py_CLEAR(t->value);
  Py_CLEAR(t->canonical);
  Py_CLEAR(t->subkind);
  Py_CLEAR(t->flags);
  t->flags_state = FlagsState::UNSET;
  for (int k = 0; k < kTokenInts; ++k) {
    if (t->ints_boxed & (1u << k)) Py_CLEAR(t->ints[k].big);
  }
  t->ints_set = t->ints_boxed = 0;
  return 0;
}

void token_tp_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  Py_TRASHCAN_BEGIN(self, token_tp_dealloc)
  token_tp_clear(self);
  type->tp_free(self);
  Py_DECREF(type);
  Py_TRASHCAN_END
}

PyObject* token_tp_richcompare(PyObject* a, PyObject* b, int op) {
  if ((op != Py_EQ && op != Py_NE) || !Py_IS_TYPE(b, Py_TYPE(a))) Py_RETURN_NOTIMPLEMENTED;
  const int eq = token_equal(a, b);
  if (eq < 0) return nullptr;
  return PyBool_FromLong(op == Py_EQ ? eq : !eq);
}

// The canonical name, else the comment style, else nothing; each only when
// it is a non-empty str.
Ref repr_suffix(PyObject* self) {
  for (TokenField f : {CANONICAL, SUBKIND}) {
    Ref v = Ref::steal(token_get(self, f));
    if (!v) return {};
    const int truth = PyObject_IsTrue(v.get());
    if (truth < 0) return {};
    if (truth) return Ref::steal(PyUnicode_FromFormat(" %U", v.get()));
  }
  return Ref::steal(PyUnicode_FromString(""));
}

// `value` whole up to 20 code points, else its first 17 and "...".
Ref shown_value(PyObject* value) {
  if (PyUnicode_GET_LENGTH(value) <= 20) return Ref::borrow(value);
  Ref head = Ref::steal(PyUnicode_Substring(value, 0, 17));
  if (!head) return {};
  return Ref::steal(PyUnicode_FromFormat("%U...", head.get()));
}

PyObject* token_tp_repr(PyObject* self) {
  Ref kind = Ref::steal(token_get(self, KIND));
  if (!kind) return nullptr;
  Ref suffix = repr_suffix(self);
  if (!suffix) return nullptr;
  Ref value = Ref::steal(token_get(self, VALUE));
  if (!value) return nullptr;
  Ref shown = shown_value(value.get());
  if (!shown) return nullptr;
  Ref line = Ref::steal(token_get(self, LINE));
  if (!line) return nullptr;
  Ref col = Ref::steal(token_get(self, COL));
  if (!col) return nullptr;
  return PyUnicode_FromFormat("<%U%U %R @%S:%S>", kind.get(), suffix.get(), shown.get(), line.get(), col.get());
}

PyObject* token_getstate(PyObject* self, PyObject*) {
  Ref state = Ref::steal(PyDict_New());
  if (!state) return nullptr;
  for (int f = 0; f < kTokenFields; ++f) {
    if (!token_has(self, static_cast<TokenField>(f))) continue;
    Ref v = Ref::steal(token_get(self, static_cast<TokenField>(f)));
    if (!v || PyDict_SetItemString(state.get(), kTokenFieldNames[f], v.get()) < 0) return nullptr;
  }
  return state.release();
}

PyObject* token_setstate(PyObject* self, PyObject* state) { return set_state(self, state); }
PyObject* token_reduce(PyObject* self, PyObject*) { return reduce_via_state(self); }

PyMethodDef token_methods[] = {
    {"__getstate__", token_getstate, METH_NOARGS, "__getstate__($self, /)\n--\n\nThe set fields, in field order."},
    {"__setstate__", token_setstate, METH_O, "__setstate__($self, state, /)\n--\n\nAssigns each item as a field."},
    {"__reduce__", token_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot token_slots[] = {
    {Py_tp_doc, const_cast<char*>("Token(kind, value, start, end, line, col, end_line, end_col, canonical=None, "
                                  "subkind=None, flags={})\n--\n\n"
                                  "A lexical unit of a source text with its exact position.")},
    {Py_tp_new, reinterpret_cast<void*>(token_tp_new)},
    {Py_tp_init, reinterpret_cast<void*>(token_tp_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(token_tp_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(token_tp_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(token_tp_clear)},
    {Py_tp_free, reinterpret_cast<void*>(PyObject_GC_Del)},
    {Py_tp_richcompare, reinterpret_cast<void*>(token_tp_richcompare)},
    {Py_tp_repr, reinterpret_cast<void*>(token_tp_repr)},
    {Py_tp_getset, token_getset},
    {Py_tp_methods, token_methods},
    {0, nullptr},
};

PyType_Spec token_spec = {
    "tarn.lexer.Token",
    sizeof(TokenObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,
    token_slots,
};

}  // namespace

PyTypeObject* make_token_type(PyObject* module) {
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &token_spec, nullptr));
}

}  // namespace tarn::py::lexer
