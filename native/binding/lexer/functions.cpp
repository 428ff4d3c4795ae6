// tokenize, tokens, linemap, _line_starts and _skip_interpolation.
#include <algorithm>
#include <new>
#include <vector>

#include "binding/common/errors.h"
#include "binding/common/record.h"
#include "binding/common/text_view.h"
#include "core/lexer.h"
#include "core/linemap.h"
#include "lexer_module.h"

namespace tarn::py::lexer {
namespace {

// Line starts within this bound keep every column computation inside int64.
constexpr int64_t kPlainStartLimit = int64_t{1} << 62;

// The starts as int64 values when they are a plain list of plain ints that
// the native line map can take as they are.
bool plain_starts(PyObject* starts, std::vector<int64_t>& out) {
  if (!PyList_CheckExact(starts)) return false;
  const Py_ssize_t n = PyList_GET_SIZE(starts);
  out.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GET_ITEM(starts, i);
    if (!PyLong_CheckExact(item)) return false;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(item, &overflow);
    if (overflow || v >= kPlainStartLimit || v <= -kPlainStartLimit) return false;
    out.push_back(v);
  }
  return true;
}

// A host line map whose starts hold something else: each offset goes through
// the host's comparisons and arithmetic, errors included.
class StartsByHostRules final : public HostPositions {
 public:
  explicit StartsByHostRules(PyObject* starts) : starts_(starts) {}
  bool at(int64_t offset, Ref& line, Ref& col) override {
    Ref off = Ref::steal(PyLong_FromLongLong(offset));
    if (!off) return false;
    Ref pair = Ref::steal(linecol_by_host_rules(starts_, off.get()));
    if (!pair) return false;
    line = Ref::borrow(PyTuple_GET_ITEM(pair.get(), 0));
    col = Ref::borrow(PyTuple_GET_ITEM(pair.get(), 1));
    return true;
  }

 private:
  PyObject* starts_;
};

// Line starts as int64 values: the text's own, or a host line map's plain
// ints copied (which the host may have put in any order).
struct NativeStarts {
  std::vector<int64_t> starts;
  bool ascending = true;

  void assign(std::vector<tarn::Token>& toks) const;
};

// Sorted starts: only the lines the batch touches take part, so a batch costs
// no more than its own lines.
void NativeStarts::assign(std::vector<tarn::Token>& toks) const {
  if (toks.empty()) return;
  const int64_t* s = starts.data();
  const int64_t n = static_cast<int64_t>(starts.size());
  const int64_t first = toks.front().start, last = toks.back().end;
  if (!ascending || first < s[0]) {
    tarn::assign_positions(toks, s, n);
    return;
  }
  const int64_t lo = std::upper_bound(s, s + n, first) - s - 1;
  const int64_t hi = std::upper_bound(s, s + n, last) - s;
  tarn::assign_positions(toks, s + lo, hi - lo);
  for (tarn::Token& t : toks) t.line += lo, t.end_line += lo;
}

// Code points tokenized per batch: the batch's native tokens stay small and
// warm instead of one fresh array the size of the whole text.
constexpr int64_t kBatchLength = 1 << 16;

// Tokenizes text[base, base + length) and returns how many of the tokens are
// exactly those of the whole text: all of them at the end of the text;
// otherwise only those that end early enough that nothing after the batch
// could have changed them (the scanner looks at most a few code points, or
// one operator's length, past a token's end).
size_t tokenize_batch(const Text& text, const LanguageDefinition& def, int64_t base, int64_t length,
                      std::vector<tarn::Token>& toks) {
  const auto* units = static_cast<const char*>(text.data) + base * text.width;
  toks.clear();
  tarn::tokenize(Text{units, length, text.width}, def.language(), toks);
  for (tarn::Token& t : toks) t.start += base, t.end += base;
  if (base + length == text.length) return toks.size();
  const int64_t margin = def.longest_operator() + 8;
  size_t settled = 0;
  while (settled + 1 < toks.size() && toks[settled].end + margin <= base + length) ++settled;
  return settled;
}

PyObject* tokenize_in_batches(LexerState* st, PyObject* text, const LanguageDefinition& def,
                              const NativeStarts* starts, HostPositions* host) {
  const Text t = text_view(text);
  TokenListBuilder builder(st->tokens, text, def, host);
  std::vector<tarn::Token> toks;
  int64_t base = 0, length = kBatchLength;
  for (;;) {
    length = std::min(length, t.length - base);
    const size_t settled = tokenize_batch(t, def, base, length, toks);
    // Where the next batch starts: the first unsettled token, or (when only
    // blanks follow the settled ones) the end of this batch.
    const int64_t next = settled < toks.size() ? toks[settled].start : base + length;
    if (settled == 0 && next == base && base + length < t.length) {
      length *= 2;  // one token longer than the batch
      continue;
    }
    toks.resize(settled);
    if (starts) starts->assign(toks);
    if (!builder.add(toks.data(), toks.size())) return nullptr;
    if (base + length == t.length) break;
    base = next;
    length = kBatchLength;
  }
  return builder.finish();
}

PyObject* tokenize_with_starts(LexerState* st, PyObject* text, const LanguageDefinition& def, PyObject* lm) {
  NativeStarts native;
  if (!lm) {
    native.starts = tarn::line_starts(text_view(text));
    return tokenize_in_batches(st, text, def, &native, nullptr);
  }
  Ref host_starts = Ref::borrow(reinterpret_cast<LineMapObject*>(lm)->starts);
  if (!host_starts) return field_undefined(lm, "_starts");
  if (!plain_starts(host_starts.get(), native.starts)) {
    StartsByHostRules host(host_starts.get());
    return tokenize_in_batches(st, text, def, nullptr, &host);
  }
  if (native.starts.empty()) {
    PyErr_SetString(PyExc_IndexError, "list index out of range");
    return nullptr;
  }
  native.ascending = std::is_sorted(native.starts.begin(), native.starts.end());
  return tokenize_in_batches(st, text, def, &native, nullptr);
}

// tokenize(text, lm=None)
PyObject* tokenize_fn(PyObject* module, PyObject* args, PyObject* kwds) {
  static const char* names[] = {"text", "lm", nullptr};
  PyObject *text, *lm = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|O:tokenize", const_cast<char**>(names), &text, &lm))
    return nullptr;
  LexerState* st = state_of_module(module);
  if (!st) return nullptr;
  if (!PyUnicode_Check(text)) return type_error("str", text);
  if (lm != Py_None && !PyObject_TypeCheck(lm, st->linemap_type)) return type_error("tarn.lexer._LineMap or None", lm);
  return tokenize_text(st, text, lm == Py_None ? nullptr : lm);
}

// The source object's cache, and what it holds under `key` (None when absent).
bool cached(PyObject* source, const char* key, Ref& cache, Ref& value) {
  cache = Ref::steal(PyObject_GetAttrString(source, "cache"));
  if (!cache) return false;
  value = Ref::steal(PyObject_CallMethod(cache.get(), "get", "s", key));
  return static_cast<bool>(value);
}

bool store(PyObject* cache, const char* key, PyObject* value) {
  Ref k = Ref::steal(PyUnicode_FromString(key));
  return k && PyObject_SetItem(cache, k.get(), value) == 0;
}

PyObject* linemap_of(LexerState* st, PyObject* source) {
  Ref cache, lm;
  if (!cached(source, "linemap", cache, lm)) return nullptr;
  if (lm.get() == Py_None) {
    Ref text = Ref::steal(PyObject_GetAttrString(source, "text"));
    if (!text) return nullptr;
    if (!PyUnicode_Check(text.get())) return type_error("str", text.get());
    lm = Ref::steal(new_linemap(st, text.get()));
    if (!lm || !store(cache.get(), "linemap", lm.get())) return nullptr;
  }
  if (!Py_IS_TYPE(lm.get(), st->linemap_type)) return type_error("tarn.lexer._LineMap", lm.get());
  return lm.release();
}

PyObject* tokens_of(LexerState* st, PyObject* source) {
  Ref cache, toks;
  if (!cached(source, "tokens", cache, toks)) return nullptr;
  if (toks.get() == Py_None) {
    Ref text = Ref::steal(PyObject_GetAttrString(source, "text"));
    if (!text) return nullptr;
    Ref lm = Ref::steal(linemap_of(st, source));
    if (!lm) return nullptr;
    if (!PyUnicode_Check(text.get())) return type_error("str", text.get());
    toks = Ref::steal(tokenize_text(st, text.get(), lm.get()));
    if (!toks || !store(cache.get(), "tokens", toks.get())) return nullptr;
  }
  if (!PyList_Check(toks.get())) return type_error("list", toks.get());
  return toks.release();
}

// tokens(source)
PyObject* tokens_fn(PyObject* module, PyObject* args, PyObject* kwds) {
  static const char* names[] = {"source", nullptr};
  PyObject* source;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:tokens", const_cast<char**>(names), &source)) return nullptr;
  LexerState* st = state_of_module(module);
  return st ? tokens_of(st, source) : nullptr;
}

// linemap(source)
PyObject* linemap_fn(PyObject* module, PyObject* args, PyObject* kwds) {
  static const char* names[] = {"source", nullptr};
  PyObject* source;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:linemap", const_cast<char**>(names), &source)) return nullptr;
  LexerState* st = state_of_module(module);
  return st ? linemap_of(st, source) : nullptr;
}

// _line_starts(text)
PyObject* line_starts_fn(PyObject*, PyObject* args, PyObject* kwds) {
  static const char* names[] = {"text", nullptr};
  PyObject* text;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:_line_starts", const_cast<char**>(names), &text)) return nullptr;
  if (!PyUnicode_Check(text)) return type_error("str", text);
  return line_starts_list(text);
}

// _skip_interpolation(text, start)
PyObject* skip_interpolation_fn(PyObject*, PyObject* args, PyObject* kwds) {
  static const char* names[] = {"text", "start", nullptr};
  PyObject *text, *start;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO:_skip_interpolation", const_cast<char**>(names), &text, &start))
    return nullptr;
  if (!PyUnicode_Check(text)) return type_error("str", text);
  if (!PyLong_Check(start)) return type_error("int", start);
  if (PyUnicode_READY(text) < 0) return nullptr;
  const Text t = text_view(text);
  int overflow = 0;
  long long i = PyLong_AsLongLongAndOverflow(start, &overflow);
  if (i == -1 && PyErr_Occurred()) return nullptr;
  // Past either end of int64 the host reads no code point (far right) or
  // fails at once (far left).
  int64_t end;
  try {
    end = overflow > 0 ? t.length : overflow < 0 ? kIndexOutOfRange : tarn::skip_interpolation(t, i);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  if (end == kIndexOutOfRange) {
    PyErr_SetString(PyExc_IndexError, "string index out of range");
    return nullptr;
  }
  return PyLong_FromLongLong(end);
}

template <class F>
PyCFunction varargs(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace

PyObject* tokenize_text(LexerState* st, PyObject* text, PyObject* lm) {
  if (PyUnicode_READY(text) < 0) return nullptr;
  std::shared_ptr<const LanguageDefinition> def = st->language->current();
  if (!def) return nullptr;
  try {
    return tokenize_with_starts(st, text, *def, lm);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyMethodDef module_functions[] = {
    {"tokenize", varargs(tokenize_fn), METH_VARARGS | METH_KEYWORDS, "tokenize(text, lm=None)\n--\n\n"},
    {"tokens", varargs(tokens_fn), METH_VARARGS | METH_KEYWORDS, "tokens(source)\n--\n\n"},
    {"linemap", varargs(linemap_fn), METH_VARARGS | METH_KEYWORDS, "linemap(source)\n--\n\n"},
    {"_line_starts", varargs(line_starts_fn), METH_VARARGS | METH_KEYWORDS, "_line_starts(text)\n--\n\n"},
    {"_skip_interpolation", varargs(skip_interpolation_fn), METH_VARARGS | METH_KEYWORDS,
     "_skip_interpolation(text, start)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tarn::py::lexer
