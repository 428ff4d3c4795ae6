// _Parser: construction and the cursor methods. The cursor methods work on
// the live host fields with the host's own list semantics, so a host that
// replaces `toks` or moves `pos` sees exactly what it set.
#include "binding/common/errors.h"
#include "binding/common/record.h"
#include "messages.h"
#include "module_parts.h"
#include "parser_object.h"

namespace tarn::py::parser {
namespace {

// A token field as attribute access gives it; host lists may hold objects
// other than tokens.
PyObject* tok_field(const State& st, PyObject* tok, TokenField f) {
  if (st.is_token(tok)) return token_get(tok, f);
  return PyObject_GetAttrString(tok, kTokenFieldNames[f]);
}

// tok.<f> == text: 1, 0 or -1.
int tok_field_is(const State& st, PyObject* tok, TokenField f, PyObject* text) {
  Ref v = Ref::steal(tok_field(st, tok, f));
  if (!v) return -1;
  return PyObject_RichCompareBool(v.get(), text, Py_EQ);
}

int parser_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"toks", nullptr};
  PyObject* toks;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:__init__", const_cast<char**>(kwlist), &toks)) return -1;
  if (!PyList_Check(toks)) return type_error("list", toks), -1;
  State& st = state_of(self);
  Ref all = Ref::steal(PyList_GetSlice(toks, 0, PY_SSIZE_T_MAX));
  Ref kept = Ref::steal(PyList_New(0));
  if (!all || !kept) return -1;
  for (Py_ssize_t i = 0, n = PyList_GET_SIZE(all.get()); i < n; ++i) {
    PyObject* tok = PyList_GET_ITEM(all.get(), i);
    if (!st.is_token(tok)) return type_error("tarn.lexer.Token", tok), -1;
    TokKind kind;
    if (token_kind(st.lexer->tokens, tok, &kind) < 0) return -1;
    if (kind != TokKind::COMMENT && kind != TokKind::BOM && PyList_Append(kept.get(), tok) < 0) return -1;
  }
  Ref pos = Ref::steal(PyLong_FromLong(0));
  Ref errors = Ref::steal(PyList_New(0));
  if (!pos || !errors) return -1;
  PyObject** slots = record_slots(self);
  Py_XSETREF(slots[TOKS], kept.release());
  Py_XSETREF(slots[POS], pos.release());
  Py_XSETREF(slots[ERRORS], errors.release());
  Py_XSETREF(slots[ALL_TOKS], all.release());
  return 0;
}

// ------------------------------------------------------------------ the cursor

// toks[pos] for ahead 0, else toks[min(pos + ahead, len(toks) - 1)].
PyObject* peek_token(PyObject* self, PyObject* ahead) {
  Ref toks = Ref::steal(parser_field(self, TOKS));
  if (!toks) return nullptr;
  Ref index = Ref::steal(parser_field(self, POS));
  if (!index) return nullptr;
  if (ahead) {
    const int zero = PyObject_Not(ahead);
    if (zero < 0) return nullptr;
    if (!zero) {
      Ref wanted = Ref::steal(PyNumber_Add(index.get(), ahead));
      Ref last = Ref::steal(PyLong_FromSsize_t(PyObject_Length(toks.get()) - 1));
      if (!wanted || !last) return nullptr;
      const int past = PyObject_RichCompareBool(last.get(), wanted.get(), Py_LT);
      if (past < 0) return nullptr;
      index = past ? last : wanted;
    }
  }
  return PyObject_GetItem(toks.get(), index.get());
}

// The current token, and whether its kind is `kind`.
int current_kind_is(PyObject* self, PyObject* kind, Ref& tok) {
  tok = Ref::steal(peek_token(self, nullptr));
  if (!tok) return -1;
  return tok_field_is(state_of(self), tok.get(), KIND, kind);
}

PyObject* advance(PyObject* self, PyObject* = nullptr) {
  Ref tok;
  const int at_eof = current_kind_is(self, state_of(self).s_eof.get(), tok);
  if (at_eof < 0) return nullptr;
  if (!at_eof) {
    Ref pos = Ref::steal(parser_field(self, POS));
    if (!pos) return nullptr;
    Ref one = Ref::steal(PyLong_FromLong(1));
    Ref next = Ref::steal(one ? PyNumber_Add(pos.get(), one.get()) : nullptr);
    if (!next || !set_parser_field(self, POS, next.get())) return nullptr;
  }
  return tok.release();
}

PyObject* peek(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"ahead", nullptr};
  PyObject* ahead = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:peek", const_cast<char**>(kwlist), &ahead)) return nullptr;
  if (ahead && !PyLong_Check(ahead)) return type_error("int", ahead);
  return peek_token(self, ahead);
}

PyObject* at_end(PyObject* self, PyObject*) {
  Ref tok;
  const int r = current_kind_is(self, state_of(self).s_eof.get(), tok);
  return r < 0 ? nullptr : PyBool_FromLong(r);
}

// kind == `kind` and tok.<f> in `names`: 1, 0 or -1.
int at_one_of(PyObject* self, PyObject* kind, TokenField f, PyObject* names) {
  Ref tok;
  const int r = current_kind_is(self, kind, tok);
  if (r <= 0) return r;
  Ref v = Ref::steal(tok_field(state_of(self), tok.get(), f));
  if (!v) return -1;
  return PySequence_Contains(names, v.get());
}

PyObject* at_kw(PyObject* self, PyObject* names) {
  const int r = at_one_of(self, state_of(self).s_keyword.get(), CANONICAL, names);
  return r < 0 ? nullptr : PyBool_FromLong(r);
}

PyObject* at_op(PyObject* self, PyObject* values) {
  const int r = at_one_of(self, state_of(self).s_op.get(), VALUE, values);
  return r < 0 ? nullptr : PyBool_FromLong(r);
}

PyObject* eat_kw(PyObject* self, PyObject* names) {
  const int r = at_one_of(self, state_of(self).s_keyword.get(), CANONICAL, names);
  if (r < 0) return nullptr;
  return r ? advance(self) : Py_NewRef(Py_None);
}

PyObject* eat_op(PyObject* self, PyObject* values) {
  const int r = at_one_of(self, state_of(self).s_op.get(), VALUE, values);
  if (r < 0) return nullptr;
  return r ? advance(self) : Py_NewRef(Py_None);
}

// Appends ParseError(start, end, message) for `tok` (the current token when
// null); a zero-width token still gets one character.
bool record_error(PyObject* self, PyObject* message, PyObject* tok) {
  State& st = state_of(self);
  Ref at;
  if (tok) {
    at = Ref::borrow(tok);
  } else {
    at = Ref::steal(peek_token(self, nullptr));
    if (!at) return false;
  }
  Ref start = Ref::steal(tok_field(st, at.get(), START));
  if (!start) return false;
  Ref end = Ref::steal(tok_field(st, at.get(), END));
  if (!end) return false;
  const int wide = PyObject_RichCompareBool(end.get(), start.get(), Py_GT);
  if (wide < 0) return false;
  if (!wide) {
    Ref one = Ref::steal(PyLong_FromLong(1));
    end = Ref::steal(one ? PyNumber_Add(start.get(), one.get()) : nullptr);
    if (!end) return false;
  }
  PyTypeObject* error_type = st.record_type(syntax::NodeKind::ParseError);
  if (!error_type) {
    PyErr_SetString(PyExc_RuntimeError, "tarn.parser has been torn down");
    return false;
  }
  Ref error = Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(error_type), start.get(), end.get(),
                                                      message, nullptr));
  if (!error) return false;
  Ref errors = Ref::steal(parser_field(self, ERRORS));
  return errors && PyList_Append(errors.get(), error.get()) == 0;
}

PyObject* expect_op(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"val", "key", nullptr};
  PyObject *val, *key;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:expect_op", const_cast<char**>(kwlist), &val, &key))
    return nullptr;
  if (!PyUnicode_Check(val)) return type_error("str", val);
  if (!PyUnicode_Check(key)) return type_error("str", key);
  Ref values = Ref::steal(PyTuple_Pack(1, val));
  if (!values) return nullptr;
  Ref tok = Ref::steal(eat_op(self, values.get()));
  if (!tok || tok.get() != Py_None) return tok.release();
  Ref message = Ref::steal(translate(state_of(self), key));
  if (!message || !record_error(self, message.get(), nullptr)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* error(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"message", "tok", nullptr};
  PyObject* message;
  PyObject* tok = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:error", const_cast<char**>(kwlist), &message, &tok))
    return nullptr;
  if (!PyUnicode_Check(message)) return type_error("str", message);
  if (tok != Py_None && !state_of(self).is_token(tok)) return type_error("tarn.lexer.Token or None", tok);
  if (!record_error(self, message, tok == Py_None ? nullptr : tok)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* snapshot(PyObject* self, PyObject*) {
  Ref pos = Ref::steal(parser_field(self, POS));
  if (!pos) return nullptr;
  Ref errors = Ref::steal(parser_field(self, ERRORS));
  if (!errors) return nullptr;
  const Py_ssize_t n = PyObject_Length(errors.get());
  if (n < 0) return nullptr;
  Ref count = Ref::steal(PyLong_FromSsize_t(n));
  return count ? PyTuple_Pack(2, pos.get(), count.get()) : nullptr;
}

PyObject* rollback(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"snap", nullptr};
  PyObject* snap;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:rollback", const_cast<char**>(kwlist), &snap)) return nullptr;
  if (!PyTuple_Check(snap) || PyTuple_GET_SIZE(snap) != 2 || !PyLong_Check(PyTuple_GET_ITEM(snap, 0)) ||
      !PyLong_Check(PyTuple_GET_ITEM(snap, 1)))
    return type_error("tuple[int, int]", snap);
  Ref pos = Ref::borrow(PyTuple_GET_ITEM(snap, 0));
  Ref kept = Ref::borrow(PyTuple_GET_ITEM(snap, 1));
  if (!set_parser_field(self, POS, pos.get())) return nullptr;
  // del errors[kept:]
  Ref errors = Ref::steal(parser_field(self, ERRORS));
  if (!errors) return nullptr;
  Ref tail = Ref::steal(PySlice_New(kept.get(), nullptr, nullptr));
  if (!tail || PyObject_DelItem(errors.get(), tail.get()) < 0) return nullptr;
  Py_RETURN_NONE;
}

// IDENT; or a KEYWORD whose canonical name is in _NAME_KEYWORDS, or in
// _UPPER_NAME_KEYWORDS when written with an upper-case first letter.
int at_name_test(PyObject* self) {
  State& st = state_of(self);
  Ref tok;
  const int ident = current_kind_is(self, st.s_ident.get(), tok);
  if (ident) return ident;
  const int keyword = tok_field_is(st, tok.get(), KIND, st.s_keyword.get());
  if (keyword <= 0) return keyword;
  Ref canonical = Ref::steal(tok_field(st, tok.get(), CANONICAL));
  if (!canonical) return -1;
  if (!st.name_keywords || !st.capitalised_name_keywords) {
    PyErr_SetString(PyExc_RuntimeError, "tarn.parser has been torn down");
    return -1;
  }
  const int named = PySet_Contains(st.name_keywords.get(), canonical.get());
  if (named) return named;
  const int upper = PySet_Contains(st.capitalised_name_keywords.get(), canonical.get());
  if (upper <= 0) return upper;
  Ref value = Ref::steal(tok_field(st, tok.get(), VALUE));
  if (!value) return -1;
  if (!PyUnicode_Check(value.get())) return type_error("str", value.get()), -1;
  return PyUnicode_GET_LENGTH(value.get()) > 0 && Py_UNICODE_ISUPPER(PyUnicode_READ_CHAR(value.get(), 0));
}

PyObject* at_name(PyObject* self, PyObject*) {
  const int r = at_name_test(self);
  return r < 0 ? nullptr : PyBool_FromLong(r);
}

PyObject* eat_name(PyObject* self, PyObject*) {
  const int r = at_name_test(self);
  if (r < 0) return nullptr;
  return r ? advance(self) : Py_NewRef(Py_None);
}

template <class F>
PyCFunction as_cfunction(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

std::vector<PyMethodDef> cursor_methods() {
  const int kw = METH_VARARGS | METH_KEYWORDS;
  return {
      {"peek", as_cfunction(peek), kw, "peek($self, /, ahead=0)\n--\n\nThe token `ahead` places after the cursor, at most the last one."},
      {"at_end", as_cfunction(at_end), METH_NOARGS, "at_end($self, /)\n--\n\nWhether the current token is EOF."},
      {"advance", as_cfunction(advance), METH_NOARGS,
       "advance($self, /)\n--\n\nThe current token; the cursor moves on unless it is EOF."},
      {"at_kw", as_cfunction(at_kw), METH_VARARGS, "at_kw($self, /, *names)\n--\n\nWhether the current token is one of these keywords."},
      {"at_op", as_cfunction(at_op), METH_VARARGS, "at_op($self, /, *vals)\n--\n\nWhether the current token is one of these operators."},
      {"eat_kw", as_cfunction(eat_kw), METH_VARARGS, "eat_kw($self, /, *names)\n--\n\nThe keyword token passed, or None."},
      {"eat_op", as_cfunction(eat_op), METH_VARARGS, "eat_op($self, /, *vals)\n--\n\nThe operator token passed, or None."},
      {"expect_op", as_cfunction(expect_op), kw,
       "expect_op($self, /, val, key)\n--\n\nThe operator token passed, or None after reporting the message `key`."},
      {"error", as_cfunction(error), kw, "error($self, /, message, tok=None)\n--\n\nRecords a ParseError at `tok` (default: the current token)."},
      {"snapshot", as_cfunction(snapshot), METH_NOARGS, "snapshot($self, /)\n--\n\n(pos, number of errors)."},
      {"rollback", as_cfunction(rollback), kw, "rollback($self, /, snap)\n--\n\nRestores pos and truncates errors to a snapshot."},
      {"at_name", as_cfunction(at_name), METH_NOARGS, "at_name($self, /)\n--\n\nWhether the current token can stand as a name."},
      {"eat_name", as_cfunction(eat_name), METH_NOARGS, "eat_name($self, /)\n--\n\nThe name token passed, or None."},
  };
}

}  // namespace

PyObject* parser_field(PyObject* self, ParserSlot slot) {
  PyObject* v = record_slots(self)[slot];
  if (!v) return field_undefined(self, record_class_of(Py_TYPE(self))->fields[slot].name.c_str());
  return Py_NewRef(v);
}

bool set_parser_field(PyObject* self, ParserSlot slot, PyObject* value) {
  const RecordClass& cls = *record_class_of(Py_TYPE(self));
  PyObject* stored = accept_field(*cls.state, cls.fields[slot], value);
  if (!stored) return false;
  Py_XSETREF(record_slots(self)[slot], stored);
  return true;
}

bool add_parser_class(State& st, PyObject* module) {
  RecordDecl decl;
  decl.name = "_Parser";
  decl.fields = {{"toks", FieldShape::List, FieldDefault::Required},
                 {"pos", FieldShape::Int, FieldDefault::Required},
                 {"errors", FieldShape::List, FieldDefault::Required}};
  decl.private_slots = 1;  // ALL_TOKS: the tokens as given, comments included
  decl.init = parser_init;
  decl.methods = cursor_methods();
  for (const PyMethodDef& m : grammar_methods()) decl.methods.push_back(m);
  decl.doc = "_Parser(toks)\n--\n\nOne parse run: the token cursor, the diagnostics and the grammar rules.";
  st.parser = make_record_class(st, module, decl, -1);
  return st.parser && PyModule_AddObjectRef(module, "_Parser", st.parser->type.get()) == 0;
}

}  // namespace tarn::py::parser
