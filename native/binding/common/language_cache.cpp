#include "language_cache.h"

#include <algorithm>
#include <unordered_map>

#include "errors.h"

namespace tarn::py {
namespace {

// The dict's modification stamp, so a form map changed in place (which
// nobody should do) is noticed too. Deprecated since 3.12, but 3.12 and 3.13
// still change it on every modification.
uint64_t dict_version(PyObject* d) {
#if PY_VERSION_HEX < 0x030E0000
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  return reinterpret_cast<PyDictObject*>(d)->ma_version_tag;
#pragma GCC diagnostic pop
#else
  return 0;
#endif
}

std::u32string code_points(PyObject* s) {
  const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
  const int kind = PyUnicode_KIND(s);
  const void* data = PyUnicode_DATA(s);
  std::u32string out(static_cast<size_t>(n), U'\0');
  for (Py_ssize_t i = 0; i < n; ++i) out[static_cast<size_t>(i)] = PyUnicode_READ(kind, data, i);
  return out;
}

bool add_operators(Language& lang, int64_t& longest, PyObject* operators) {
  Ref seq = Ref::steal(PySequence_Fast(operators, "the operator table must be a sequence"));
  if (!seq) return false;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  if (n == 0) {
    PyErr_SetString(PyExc_ValueError, "the language definition lists no operators");
    return false;
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* op = PySequence_Fast_GET_ITEM(seq.get(), i);
    if (!PyUnicode_Check(op)) return type_error("str", op), false;
    if (PyUnicode_READY(op) < 0) return false;
    if (PyUnicode_GET_LENGTH(op) == 0) {
      PyErr_SetString(PyExc_ValueError, "the language definition lists an empty operator");
      return false;
    }
    lang.add_operator(code_points(op));
    longest = std::max<int64_t>(longest, PyUnicode_GET_LENGTH(op));
  }
  return true;
}

// Forms that map to None are absent (the tokenizer reads the map with get);
// keys that are not strings can never equal an identifier.
bool add_forms(Language& lang, std::vector<Ref>& canonical, PyObject* forms) {
  std::unordered_map<PyObject*, int32_t> id_of;
  Py_ssize_t pos = 0;
  PyObject *form, *name;
  while (PyDict_Next(forms, &pos, &form, &name)) {
    if (!PyUnicode_Check(form) || name == Py_None) continue;
    if (PyUnicode_READY(form) < 0) return false;
    auto [it, fresh] = id_of.try_emplace(name, static_cast<int32_t>(canonical.size()));
    if (fresh) canonical.push_back(Ref::borrow(name));
    lang.add_form(code_points(form), it->second);
  }
  return true;
}

// Failing to read a pattern's shape means "another shape": the error is
// dropped, unless it is no error of the pattern's (Ctrl-C while re.escape ran,
// say), which must reach the caller.
std::nullptr_t not_this_shape() {
  if (PyErr_ExceptionMatches(PyExc_Exception)) PyErr_Clear();
  return nullptr;
}

// The operators a pattern made by _operator_re stands for: its text split at
// each unescaped "|", backslashes removed. Checked by escaping them again, so
// the native matcher is exactly the pattern; nullptr (no error) for a pattern
// of any other shape.
PyObject* operators_of_pattern(PyObject* pattern) {
  Ref text = Ref::steal(PyObject_GetAttrString(pattern, "pattern"));
  if (!text || !PyUnicode_Check(text.get()) || PyUnicode_READY(text.get()) < 0) return not_this_shape();
  Ref ops = Ref::steal(PyList_New(0));
  if (!ops) return nullptr;
  std::u32string op;
  const std::u32string all = code_points(text.get());
  for (size_t i = 0; i <= all.size(); ++i) {
    if (i == all.size() || all[i] == U'|') {
      Ref s = Ref::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, op.data(), static_cast<Py_ssize_t>(op.size())));
      if (!s || op.empty() || PyList_Append(ops.get(), s.get()) < 0) return not_this_shape();
      op.clear();
    } else if (all[i] == U'\\') {
      if (++i == all.size()) return nullptr;
      op.push_back(all[i]);
    } else {
      op.push_back(all[i]);
    }
  }
  // A str pattern compiled without flags has exactly re.UNICODE.
  Ref re = Ref::steal(PyImport_ImportModule("re"));
  Ref flags = Ref::steal(PyObject_GetAttrString(pattern, "flags"));
  Ref plain_flags = re ? Ref::steal(PyObject_GetAttrString(re.get(), "UNICODE")) : Ref();
  if (!flags || !plain_flags) return not_this_shape();
  const int same_flags = PyObject_RichCompareBool(flags.get(), plain_flags.get(), Py_EQ);
  if (same_flags != 1) return not_this_shape();
  Ref escaped = Ref::steal(PyList_New(0));
  if (!escaped) return not_this_shape();
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(ops.get()); ++i) {
    Ref e = Ref::steal(PyObject_CallMethod(re.get(), "escape", "O", PyList_GET_ITEM(ops.get(), i)));
    if (!e || PyList_Append(escaped.get(), e.get()) < 0) return not_this_shape();
  }
  Ref bar = Ref::steal(PyUnicode_FromString("|"));
  Ref joined = bar ? Ref::steal(PyUnicode_Join(bar.get(), escaped.get())) : Ref();
  if (!joined) return not_this_shape();
  const int same = PyUnicode_Compare(joined.get(), text.get());
  if (same != 0) return not_this_shape();
  return ops.release();
}

}  // namespace

PyObject* LanguageDefinition::canonical(int32_t id) const {
  PyObject* name = canonical_[id].get();
  if (!PyUnicode_Check(name)) return type_error("str or None", name);
  return name;
}

PyObject* call_table(PyObject* lexer_module, const char* name) {
  Ref fn = Ref::steal(PyObject_GetAttrString(lexer_module, name));
  return fn ? PyObject_CallNoArgs(fn.get()) : nullptr;
}

bool LanguageCache::same_tables(PyObject* forms, PyObject* pattern) const {
  return definition_ && forms == forms_.get() && pattern == pattern_.get() && dict_version(forms) == forms_version_;
}

// The operators come from the pattern itself, which may be an older cached
// one than what _operators() now returns (a host that cleared some caches
// but not others); a pattern of another shape falls back to _operators().
bool LanguageCache::derive(PyObject* forms, PyObject* pattern) {
  Ref operators = Ref::steal(operators_of_pattern(pattern));
  if (!operators && !PyErr_Occurred()) operators = Ref::steal(call_table(module_, "_operators"));
  if (!operators) return false;
  auto def = std::make_shared<LanguageDefinition>();
  if (!add_operators(def->lang_, def->longest_operator_, operators.get())) return false;
  if (!add_forms(def->lang_, def->canonical_, forms)) return false;
  forms_ = Ref::borrow(forms);
  pattern_ = Ref::borrow(pattern);
  forms_version_ = dict_version(forms);
  definition_ = std::move(def);
  return true;
}

std::shared_ptr<const LanguageDefinition> LanguageCache::current() {
  if (!module_) {
    PyErr_SetString(PyExc_RuntimeError, "tarn.lexer has been torn down");
    return nullptr;
  }
  Ref pattern = Ref::steal(call_table(module_, "_operator_re"));
  if (!pattern) return nullptr;
  Ref forms = Ref::steal(call_table(module_, "_keyword_forms"));
  if (!forms) return nullptr;
  if (!PyDict_Check(forms.get())) return type_error("dict", forms.get());
  if (!same_tables(forms.get(), pattern.get()) && !derive(forms.get(), pattern.get())) return nullptr;
  return definition_;
}

int LanguageCache::traverse(visitproc visit, void* arg) {
  Py_VISIT(forms_.get());
  Py_VISIT(pattern_.get());
  if (definition_)
    for (const Ref& name : definition_->canonical_) Py_VISIT(name.get());
  return 0;
}

void LanguageCache::clear() {
  module_ = nullptr;
  forms_ = {};
  pattern_ = {};
  definition_.reset();
}

}  // namespace tarn::py
