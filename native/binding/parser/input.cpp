#include "input.h"
#include "run.h"

#include <string_view>

#include "binding/common/errors.h"
#include "binding/common/lexed_text.h"
#include "binding/common/text_view.h"
#include "core/linemap.h"

namespace tarn::py::parser {
namespace {

bool may_be_unterminated(TokKind k) { return k == TokKind::STRING || k == TokKind::PATTERN || k == TokKind::COMMENT; }

parse::Kw keyword_of(const State& st, PyObject* canonical) {
  if (!PyUnicode_Check(canonical) || PyUnicode_READY(canonical) < 0 || !PyUnicode_IS_ASCII(canonical))
    return parse::Kw::NONE;
  std::string_view name(static_cast<const char*>(PyUnicode_DATA(canonical)),
                        static_cast<size_t>(PyUnicode_GET_LENGTH(canonical)));
  auto it = st.keyword_of_name.find(name);
  return it == st.keyword_of_name.end() ? parse::Kw::NONE : it->second;
}

parse::Op operator_of(PyObject* value) {
  const Py_ssize_t n = PyUnicode_GET_LENGTH(value);
  char32_t buf[4];
  if (n < 1 || n > 4) return parse::Op::NONE;
  for (Py_ssize_t i = 0; i < n; ++i) buf[i] = PyUnicode_READ_CHAR(value, i);
  return parse::operator_from_text(buf, static_cast<size_t>(n));
}

// The parser's view of one host token; `value` receives its text.
bool read_token(const State& st, PyObject* tok, TokKind kind, parse::PTok& p, Ref& value) {
  p.kind = kind;
  if (token_int64(tok, START, &p.start) < 0 || token_int64(tok, END, &p.end) < 0 ||
      token_int64(tok, LINE, &p.line) < 0 || token_int64(tok, END_LINE, &p.end_line) < 0)
    return false;
  value = Ref::steal(token_get(tok, VALUE));
  if (!value || PyUnicode_READY(value.get()) < 0) return false;
  const Py_ssize_t n = PyUnicode_GET_LENGTH(value.get());
  p.empty_text = n == 0;
  if (n > 0) {
    p.upper_first = Py_UNICODE_ISUPPER(PyUnicode_READ_CHAR(value.get(), 0));
    p.ends_with_qmark = PyUnicode_READ_CHAR(value.get(), n - 1) == '?';
  }
  if (kind == TokKind::KEYWORD) {
    Ref canonical = Ref::steal(token_get(tok, CANONICAL));
    if (!canonical) return false;
    p.kw = keyword_of(st, canonical.get());
  } else if (kind == TokKind::OP) {
    p.op = operator_of(value.get());
  }
  return true;
}

bool check_token(const State& st, PyObject* item) {
  if (st.is_token(item)) return true;
  type_error("tarn.lexer.Token", item);
  return false;
}

}  // namespace

TokenTexts::~TokenTexts() {
  for (PyObject* o : items_) Py_XDECREF(o);
}

void TokenTexts::slice(PyObject* text, const std::vector<parse::PTok>* toks) {
  text_ = Ref::borrow(text);
  spans_ = toks;
  items_.assign(toks->size(), nullptr);
}

PyObject* TokenTexts::get(int64_t i) {
  if (i < 0 || static_cast<size_t>(i) >= items_.size()) {
    PyErr_SetString(PyExc_IndexError, "list index out of range");
    return nullptr;
  }
  PyObject*& item = items_[static_cast<size_t>(i)];
  if (!item && text_) {
    const parse::PTok& t = (*spans_)[static_cast<size_t>(i)];
    item = PyUnicode_Substring(text_.get(), t.start, t.end);
  }
  return item;
}

bool read_host_tokens(const State& st, PyObject* list, bool drop_trivia, ParseInput& in) {
  if (!PyList_Check(list)) return type_error("list", list), false;
  // A copy: the view must not change under us whatever runs meanwhile.
  Ref items = Ref::steal(PyList_GetSlice(list, 0, PY_SSIZE_T_MAX));
  if (!items) return false;
  const Py_ssize_t n = PyList_GET_SIZE(items.get());
  in.toks.reserve(static_cast<size_t>(n));
  in.texts.reserve(static_cast<size_t>(n));
  std::vector<PyObject*> kept;
  kept.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* tok = PyList_GET_ITEM(items.get(), i);
    if (!check_token(st, tok)) return false;
    TokKind kind;
    if (token_kind(st.lexer->tokens, tok, &kind) < 0) return false;
    if (drop_trivia) {
      if (may_be_unterminated(kind)) {
        const int open = token_unterminated(tok);
        if (open < 0) return false;
        if (open) {
          parse::Unterminated u;
          u.kind = kind;
          if (token_int64(tok, START, &u.start) < 0 || token_int64(tok, END, &u.end) < 0) return false;
          in.unterminated.push_back(u);
        }
      }
      if (kind == TokKind::COMMENT || kind == TokKind::BOM) continue;
    }
    parse::PTok p;
    Ref value;
    if (!read_token(st, tok, kind, p, value)) return false;
    in.toks.push_back(p);
    in.texts.push(value.release());
    kept.push_back(tok);
  }
  if (static_cast<Py_ssize_t>(kept.size()) == n) {
    in.token_list = items;
    return true;
  }
  in.token_list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(kept.size())));
  if (!in.token_list) return false;
  for (size_t i = 0; i < kept.size(); ++i) PyList_SET_ITEM(in.token_list.get(), static_cast<Py_ssize_t>(i), Py_NewRef(kept[i]));
  return true;
}

bool mark_host_stops(ParseInput& in, const std::vector<PyObject*>& names) {
  for (size_t i = 0; i < in.toks.size(); ++i) {
    parse::PTok& p = in.toks[i];
    if (p.kind != TokKind::KEYWORD || p.kw != parse::Kw::NONE) continue;
    Ref canonical = Ref::steal(token_get(PyList_GET_ITEM(in.token_list.get(), static_cast<Py_ssize_t>(i)), CANONICAL));
    if (!canonical) return false;
    if (!PyUnicode_Check(canonical.get())) continue;
    for (PyObject* name : names) {
      const int r = PyUnicode_Compare(canonical.get(), name);
      if (r == -1 && PyErr_Occurred()) return false;
      if (r == 0) {
        p.host_stop = true;
        break;
      }
    }
  }
  return true;
}

bool collect_unterminated(const State& st, PyObject* list, std::vector<parse::Unterminated>& out) {
  Ref items = Ref::steal(PyList_GetSlice(list, 0, PY_SSIZE_T_MAX));
  if (!items) return false;
  for (Py_ssize_t i = 0, n = PyList_GET_SIZE(items.get()); i < n; ++i) {
    PyObject* tok = PyList_GET_ITEM(items.get(), i);
    if (!check_token(st, tok)) return false;
    TokKind kind;
    if (token_kind(st.lexer->tokens, tok, &kind) < 0) return false;
    if (!may_be_unterminated(kind)) continue;
    const int open = token_unterminated(tok);
    if (open < 0) return false;
    if (!open) continue;
    parse::Unterminated u;
    u.kind = kind;
    if (token_int64(tok, START, &u.start) < 0 || token_int64(tok, END, &u.end) < 0) return false;
    out.push_back(u);
  }
  return true;
}

bool read_text(const State& st, PyObject* text, ParseInput& in) {
  Lexicon lex;
  if (!current_lexicon(st.lexer, lex) || PyUnicode_READY(text) < 0) return false;
  LexedText lexed;
  try {
    if (!lex_for_parser(text_view(text), lex, lexed, poll_signals, nullptr)) return false;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  // A canonical name that is not a str fails as it would in tokenize.
  if (lexed.refused_canonical >= 0) return lex.def->canonical(lexed.refused_canonical), false;
  in.toks = std::move(lexed.toks);
  in.unterminated = std::move(lexed.unterminated);
  in.source_text = Ref::borrow(text);
  in.texts.slice(text, &in.toks);
  return true;
}

bool token_position(ParseInput& in, int64_t i, Ref& line, Ref& col) {
  const int64_t n = static_cast<int64_t>(in.toks.size());
  if (n == 0) {
    line = Ref::steal(PyLong_FromLong(1));
    col = Ref::steal(PyLong_FromLong(1));
    return line && col;
  }
  if (i < 0 || i >= n) i = n - 1;
  if (in.token_list) {
    PyObject* tok = PyList_GET_ITEM(in.token_list.get(), i);
    line = Ref::steal(token_get(tok, LINE));
    col = Ref::steal(token_get(tok, COL));
    return line && col;
  }
  const parse::PTok& t = in.toks[static_cast<size_t>(i)];
  const LineCol lc = in.source_text ? position_of(text_view(in.source_text.get()), t.start) : LineCol{1, 1};
  line = Ref::steal(PyLong_FromLongLong(lc.line));
  col = Ref::steal(PyLong_FromLongLong(lc.col));
  return line && col;
}

}  // namespace tarn::py::parser
