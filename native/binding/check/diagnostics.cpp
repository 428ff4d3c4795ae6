// diagnostics(text): the keyed diagnostics of parse_text without a tree or
// any token object.
#include "binding/common/errors.h"
#include "binding/common/text_view.h"
#include "core/linemap.h"
#include "module_parts.h"

namespace tarn::py::check {
namespace {

bool poll_signals(void*) { return PyErr_CheckSignals() < 0; }

PyObject* slice(const Text& text, int64_t start, int64_t end) {
  return PyUnicode_FromKindAndData(text.width, static_cast<const char*>(text.data) + start * text.width,
                                   static_cast<Py_ssize_t>(end - start));
}

PyObject* entry(PyObject* start, PyObject* end, PyObject* key, PyObject* message) {
  return start && end && message ? PyTuple_Pack(4, start, end, key, message) : nullptr;
}

PyObject* diagnostics(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"text", nullptr};
  PyObject* text;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:diagnostics", const_cast<char**>(kwlist), &text)) return nullptr;
  if (!PyUnicode_Check(text)) return type_error("str", text);
  State* st = state_of_module(module);
  if (!st) return nullptr;
  Lexicon lex;
  if (!current_lexicon(st->lexer, lex) || PyUnicode_READY(text) < 0) return nullptr;
  const Text view = text_view(text);
  LexedText lexed;
  try {
    if (!lex_for_parser(view, lex, lexed, poll_signals, nullptr)) return nullptr;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  if (lexed.refused_canonical >= 0) return lex.def->canonical(lexed.refused_canonical), nullptr;
  if (PyErr_CheckSignals() < 0) return nullptr;
  syntax::Arena arena;
  Parsed parsed = parse_lexed(lexed, arena, poll_signals, nullptr);
  if (parsed.outcome != Outcome::DONE && parsed.outcome != Outcome::TOO_DEEP) return set_outcome_error(parsed.outcome), nullptr;
  if (PyErr_CheckSignals() < 0) return nullptr;
  return diagnostic_list(*st, view, findings_of(lexed, std::move(parsed)));
}

}  // namespace

Parsed parse_lexed(const LexedText& lexed, syntax::Arena& arena, parse::Parser::PollFn poll, void* context) {
  Parsed out;
  try {
    parse::Parser p(lexed.toks.data(), static_cast<int64_t>(lexed.toks.size()), arena);
    p.set_poll(poll, context);
    p.set_unterminated(lexed.unterminated);
    p.parse_module();
    out.diags = p.diags();
  } catch (const parse::NestingTooDeep& e) {
    out.outcome = Outcome::TOO_DEEP;
    out.deep_token = e.token;
  } catch (const parse::Interrupted&) {
    out.outcome = Outcome::INTERRUPTED;
  } catch (const parse::TokenIndexError&) {
    out.outcome = Outcome::INDEX;
  } catch (const std::bad_alloc&) {
    out.outcome = Outcome::NO_MEMORY;
  } catch (...) {
    out.outcome = Outcome::FAILED;
  }
  return out;
}

void set_outcome_error(Outcome outcome) {
  switch (outcome) {
    case Outcome::NO_MEMORY: PyErr_NoMemory(); break;
    case Outcome::INDEX: PyErr_SetString(PyExc_IndexError, "list index out of range"); break;
    case Outcome::FAILED: PyErr_SetString(PyExc_SystemError, "unexpected native exception while parsing"); break;
    default: break;
  }
}

Findings findings_of(const LexedText& lexed, Parsed&& parsed) {
  Findings f;
  f.outcome = parsed.outcome;
  if (parsed.outcome == Outcome::TOO_DEEP) {
    const int64_t n = static_cast<int64_t>(lexed.toks.size());
    if (n == 0) {
      f.deep = {0, 1, 1, 1};
      return f;
    }
    const int64_t i = parsed.deep_token < 0 || parsed.deep_token >= n ? n - 1 : parsed.deep_token;
    const parse::PTok& t = lexed.toks[static_cast<size_t>(i)];
    const LineCol lc = position_of(lexed.text, t.start);
    const parse::Diag span = parse::Diag::at(parse::Msg{}, t.start, t.end);
    f.deep = {span.start, span.end_overflows ? span.start : span.end, lc.line, lc.col};
    return f;
  }
  f.diags = std::move(parsed.diags);
  f.kw_spans.reserve(f.diags.size());
  for (const parse::Diag& d : f.diags) {
    if (d.kw_token < 0) {
      f.kw_spans.emplace_back(-1, -1);
    } else {
      const parse::PTok& t = lexed.toks[static_cast<size_t>(d.kw_token)];
      f.kw_spans.emplace_back(t.start, t.end);
    }
  }
  return f;
}

PyObject* diagnostic_list(State& st, const Text& text, const Findings& found) {
  if (!st.i18n) {
    PyErr_SetString(PyExc_RuntimeError, "tarn._check has been torn down");
    return nullptr;
  }
  Ref list = Ref::steal(PyList_New(0));
  if (!list) return nullptr;
  if (found.outcome == Outcome::TOO_DEEP) {
    const DeepPlace& at = found.deep;
    Ref line = Ref::steal(PyLong_FromLongLong(at.line)), col = Ref::steal(PyLong_FromLongLong(at.col));
    if (!line || !col) return nullptr;
    Ref message = Ref::steal(PyUnicode_FromFormat(kTooDeepFormat, line.get(), col.get()));
    Ref one = Ref::steal(entry(Ref::steal(PyLong_FromLongLong(at.start)).get(),
                               Ref::steal(PyLong_FromLongLong(at.end)).get(), st.key_too_deep.get(), message.get()));
    if (!one || PyList_Append(list.get(), one.get()) < 0) return nullptr;
    return list.release();
  }
  for (size_t i = 0; i < found.diags.size(); ++i) {
    const parse::Diag& d = found.diags[i];
    Ref kw;
    if (found.kw_spans[i].first >= 0 && !(kw = Ref::steal(slice(text, found.kw_spans[i].first, found.kw_spans[i].second))))
      return nullptr;
    PyObject* key = st.message_keys[static_cast<int>(d.msg)].get();
    Ref message = Ref::steal(translate(st.i18n.get(), st.s_t.get(), st.s_kw.get(), key, kw.get()));
    if (!message) return nullptr;
    Ref start = Ref::steal(PyLong_FromLongLong(d.start));
    Ref end = Ref::steal(d.end_overflows && start ? PyNumber_Add(start.get(), Ref::steal(PyLong_FromLong(1)).get())
                                                  : PyLong_FromLongLong(d.end));
    Ref one = Ref::steal(entry(start.get(), end.get(), key, message.get()));
    if (!one || PyList_Append(list.get(), one.get()) < 0) return nullptr;
  }
  return list.release();
}

PyMethodDef diagnostics_methods[] = {
    {"diagnostics", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(diagnostics)),
    METH_VARARGS | METH_KEYWORDS,
    "diagnostics(text)\n--\n\n"
    "The diagnostics parse_text(text) reports, in its order, as (start, end, key, message)\n"
    "tuples: key is the message's catalogue key, message its text from tarn.i18n.t. No tree\n"
    "and no tokens are built. Nesting past the parser's bound gives the one entry\n"
    "(start, end, \"tarn.nesting-too-deep\", <the RecursionError's text>) at the token it names."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tarn::py::check
