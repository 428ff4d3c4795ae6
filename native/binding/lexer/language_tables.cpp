// The language tables as the host sees them: _language, _keyword_forms,
// _operators and _operator_re, each memoised by functools.lru_cache with
// maxsize 1, and the character-class constants _LETTER, _IDENT_RE, _NUMBER_RE.
#include <algorithm>
#include <vector>

#include "binding/common/errors.h"
#include "lexer_module.h"

namespace tarn::py::lexer {
namespace {

// The letter ranges of the identifier rule, as a character-class body.
constexpr char32_t kLetter[] =
    U"A-Za-z\u00C0-\u00D6\u00D8-\u00F6\u00F8-\u00FF\u0100-\u1FFF\u3040-\u318F\u3300-\u337F\u3400-\u3D2D"
    U"\u4E00-\u9FFF\uF900-\uFAFF";

PyObject* item(PyObject* mapping, const char* key) {
  Ref k = Ref::steal(PyUnicode_FromString(key));
  return k ? PyObject_GetItem(mapping, k.get()) : nullptr;
}


// `for a, b in ...` of one item.
bool unpack_pair(PyObject* item, Ref& a, Ref& b) {
  Ref seq = Ref::steal(PySequence_Tuple(item));
  if (!seq) return false;
  const Py_ssize_t n = PyTuple_GET_SIZE(seq.get());
  if (n != 2) {
    if (n < 2) PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
    else PyErr_Format(PyExc_ValueError, "too many values to unpack (expected 2)");
    return false;
  }
  a = Ref::borrow(PyTuple_GET_ITEM(seq.get(), 0));
  b = Ref::borrow(PyTuple_GET_ITEM(seq.get(), 1));
  return true;
}

// _language(): tarn.dataset.load_json("language.json"), which must be a dict.
// The loader is looked up at each call, so a host may substitute it.
PyObject* language_impl(PyObject* module) {
  Ref dataset = Ref::steal(PyObject_GetAttrString(module, "dataset"));
  if (!dataset) return nullptr;
  Ref load = Ref::steal(PyObject_GetAttrString(dataset.get(), "load_json"));
  if (!load) return nullptr;
  Ref definition = Ref::steal(PyObject_CallFunction(load.get(), "s", "language.json"));
  if (!definition) return nullptr;
  if (!PyDict_Check(definition.get())) return type_error("dict", definition.get());
  return definition.release();
}

// _keyword_forms(): written form -> canonical name; a later form wins.
PyObject* keyword_forms_impl(PyObject* module) {
  Ref definition = Ref::steal(call_table(module, "_language"));
  if (!definition) return nullptr;
  Ref keywords = Ref::steal(item(definition.get(), "keywords"));
  if (!keywords) return nullptr;
  Ref items = Ref::steal(PyObject_CallMethod(keywords.get(), "items", nullptr));
  if (!items) return nullptr;
  Ref entries = Ref::steal(PyObject_GetIter(items.get()));
  if (!entries) return nullptr;
  Ref forms = Ref::steal(PyDict_New());
  if (!forms) return nullptr;
  while (Ref entry = Ref::steal(PyIter_Next(entries.get()))) {
    Ref canonical, keyword;
    if (!unpack_pair(entry.get(), canonical, keyword)) return nullptr;
    Ref listed_forms = Ref::steal(item(keyword.get(), "forms"));
    if (!listed_forms) return nullptr;
    Ref written = Ref::steal(PyObject_GetIter(listed_forms.get()));
    if (!written) return nullptr;
    while (Ref form = Ref::steal(PyIter_Next(written.get())))
      if (PyObject_SetItem(forms.get(), form.get(), canonical.get()) < 0) return nullptr;
    if (PyErr_Occurred()) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  return forms.release();
}

// _operators(): longest first, equal lengths in code-point order. An empty
// operator, or none at all, would let the matcher succeed without consuming
// anything, so such a definition is refused.
PyObject* operators_impl(PyObject* module) {
  Ref definition = Ref::steal(call_table(module, "_language"));
  if (!definition) return nullptr;
  Ref listed = Ref::steal(item(definition.get(), "operators"));
  if (!listed) return nullptr;
  Ref ops = Ref::steal(PySequence_List(listed.get()));
  if (!ops) return nullptr;
  const Py_ssize_t n = PyList_GET_SIZE(ops.get());
  std::vector<PyObject*> order;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* op = PyList_GET_ITEM(ops.get(), i);
    if (!PyUnicode_Check(op)) return type_error("str", op);
    if (PyUnicode_READY(op) < 0) return nullptr;
    order.push_back(op);
  }
  if (order.empty()) {
    PyErr_SetString(PyExc_ValueError, "the language definition lists no operators");
    return nullptr;
  }
  for (PyObject* op : order) {
    if (PyUnicode_GET_LENGTH(op) == 0) {
      PyErr_SetString(PyExc_ValueError, "the language definition lists an empty operator");
      return nullptr;
    }
  }
  std::stable_sort(order.begin(), order.end(), [](PyObject* a, PyObject* b) {
    const Py_ssize_t la = PyUnicode_GET_LENGTH(a), lb = PyUnicode_GET_LENGTH(b);
    return la != lb ? la > lb : PyUnicode_Compare(a, b) < 0;
  });
  // `ops` owns the objects; rewrite it in the new order.
  std::vector<Ref> hold;
  for (PyObject* op : order) hold.push_back(Ref::borrow(op));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* old = PyList_GET_ITEM(ops.get(), i);
    PyList_SET_ITEM(ops.get(), i, Py_NewRef(order[static_cast<size_t>(i)]));
    Py_DECREF(old);
  }
  return ops.release();
}

// _operator_re(): re.compile("|".join(re.escape(op) for op in _operators()))
PyObject* operator_re_impl(PyObject* module) {
  LexerState* st = state_of_module(module);
  if (!st) return nullptr;
  Ref ops = Ref::steal(call_table(module, "_operators"));
  if (!ops) return nullptr;
  Ref escaped = Ref::steal(PyList_New(0));
  Ref iter = Ref::steal(PyObject_GetIter(ops.get()));
  if (!escaped || !iter) return nullptr;
  while (Ref op = Ref::steal(PyIter_Next(iter.get()))) {
    Ref e = Ref::steal(PyObject_CallMethod(st->re, "escape", "O", op.get()));
    if (!e || PyList_Append(escaped.get(), e.get()) < 0) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  Ref bar = Ref::steal(PyUnicode_FromString("|"));
  if (!bar) return nullptr;
  Ref joined = Ref::steal(PyUnicode_Join(bar.get(), escaped.get()));
  if (!joined) return nullptr;
  return PyObject_CallMethod(st->re, "compile", "O", joined.get());
}

// The tables take no arguments; a call with some fails with the host's
// argument-parsing wording: "_language() takes at most 0 arguments (1 given)".
template <const char* Format, PyObject* (*Impl)(PyObject*)>
PyObject* no_arguments(PyObject* module, PyObject* args, PyObject* kwds) {
  static const char* const names[] = {nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwds, Format, const_cast<char**>(names))) return nullptr;
  return Impl(module);
}
template <const char* Format, PyObject* (*Impl)(PyObject*)>
PyCFunction table_function() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(no_arguments<Format, Impl>));
}
constexpr char kLanguageArgs[] = ":_language";
constexpr char kKeywordFormsArgs[] = ":_keyword_forms";
constexpr char kOperatorsArgs[] = ":_operators";
constexpr char kOperatorReArgs[] = ":_operator_re";
constexpr int kTableFlags = METH_VARARGS | METH_KEYWORDS;

PyMethodDef table_defs[] = {
    {"_language", table_function<kLanguageArgs, language_impl>(), kTableFlags, "_language()\n--\n\n"},
    {"_keyword_forms", table_function<kKeywordFormsArgs, keyword_forms_impl>(), kTableFlags, "_keyword_forms()\n--\n\n"},
    {"_operators", table_function<kOperatorsArgs, operators_impl>(), kTableFlags, "_operators()\n--\n\n"},
    {"_operator_re", table_function<kOperatorReArgs, operator_re_impl>(), kTableFlags, "_operator_re()\n--\n\n"},
};

bool add_compiled(PyObject* module, LexerState* st, const char* name, PyObject* pattern) {
  Ref compiled = Ref::steal(PyObject_CallMethod(st->re, "compile", "O", pattern));
  return compiled && PyModule_AddObjectRef(module, name, compiled.get()) == 0;
}

bool add_patterns(PyObject* module, LexerState* st) {
  Ref letter = Ref::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, kLetter, std::size(kLetter) - 1));
  if (!letter || PyModule_AddObjectRef(module, "_LETTER", letter.get()) < 0) return false;
  Ref ident = Ref::steal(PyUnicode_FromFormat("[_%U][_%U0-9]*", letter.get(), letter.get()));
  if (!ident || !add_compiled(module, st, "_IDENT_RE", ident.get())) return false;
  Ref number = Ref::steal(PyUnicode_FromFormat("(?:[0-9]+[%U]+)+[0-9]*|[0-9]+(?:\\.[0-9]+)?", letter.get()));
  return number && add_compiled(module, st, "_NUMBER_RE", number.get());
}

bool add_memoised_tables(PyObject* module) {
  Ref functools = Ref::steal(PyImport_ImportModule("functools"));
  if (!functools) return false;
  Ref lru_cache = Ref::steal(PyObject_GetAttrString(functools.get(), "lru_cache"));
  Ref no_args = Ref::steal(PyTuple_New(0));
  Ref capacity = Ref::steal(Py_BuildValue("{s:i}", "maxsize", 1));
  if (!lru_cache || !no_args || !capacity) return false;
  Ref memoise = Ref::steal(PyObject_Call(lru_cache.get(), no_args.get(), capacity.get()));
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!memoise || !module_name) return false;
  for (size_t k = 0; k < std::size(table_defs); ++k) {
    Ref native = Ref::steal(PyCFunction_NewEx(&table_defs[k], module, module_name.get()));
    if (!native) return false;
    Ref wrapper = Ref::steal(PyObject_CallOneArg(memoise.get(), native.get()));
    if (!wrapper || PyModule_AddObjectRef(module, table_defs[k].ml_name, wrapper.get()) < 0) return false;
  }
  return true;
}

}  // namespace

bool add_language_tables(PyObject* module, LexerState* st) {
  return add_patterns(module, st) && add_memoised_tables(module);
}

}  // namespace tarn::py::lexer
