// tarn._format: the canonical layout of a text (see core/format.h), for
// tarn.fmt. layout(text) lexes and parses natively, with the language tables
// tarn.lexer uses, and builds no token or record object.
#include <new>

#include "binding/common/errors.h"
#include "binding/common/lexed_text.h"
#include "binding/common/text_view.h"
#include "core/format.h"
#include "core/lexer.h"
#include "core/linemap.h"
#include "core/source.h"

namespace tarn::py::format {
namespace {

struct State {
  Ref lexer_module;             // keeps `lexer` alive
  LexerState* lexer = nullptr;  // its language cache
};


State* state_of(PyObject* module) {
  auto** cell = static_cast<State**>(PyModule_GetState(module));
  State* st = cell ? *cell : nullptr;
  if (!st || !st->lexer) {
    PyErr_SetString(PyExc_RuntimeError, "tarn._format has been torn down");
    return nullptr;
  }
  return st;
}

bool poll_signals(void*) { return PyErr_CheckSignals() < 0; }

// One text lexed and parsed natively, with the language tables tarn.lexer uses.
struct Parsed {
  Text text;
  std::vector<tarn::Token> toks;
  std::vector<parse::PTok> ptoks;
  syntax::Arena arena;
  const syntax::Module* tree = nullptr;
  int64_t first_error = -1;  // start of the first diagnostic; text length past the nesting bound

  tarn::format::Source source(const Lexicon& lex) const {
    tarn::format::Source src;
    src.text = text, src.toks = &toks, src.ptoks = &ptoks, src.module = tree, src.language = &lex.def->language();
    return src;
  }
};

// False with the host error set. Native exceptions other than nesting past
// the bound become host errors here.
bool parse_native(const Lexicon& lex, PyObject* text, Parsed& out) {
  if (!PyUnicode_Check(text)) return type_error("str", text), false;
  if (PyUnicode_READY(text) < 0) return false;
  out.text = text_view(text);
  try {
    out.toks.reserve(static_cast<size_t>(out.text.length / 4 + 16));
    if (!tarn::tokenize(out.text, lex.def->language(), out.toks, poll_signals, nullptr)) return false;
    const std::vector<int64_t> starts = line_starts(out.text);
    assign_positions(out.toks, starts.data(), static_cast<int64_t>(starts.size()));
    if (lex.any_refused)
      for (const tarn::Token& t : out.toks)
        if (t.kind == TokKind::KEYWORD && t.canonical >= 0 && lex.refused[static_cast<size_t>(t.canonical)])
          return lex.def->canonical(t.canonical), false;
    std::vector<parse::Unterminated> unterminated;
    build_parser_tokens(out.text, out.toks, lex.kw_of_canonical, out.ptoks, unterminated);
    parse::Parser parser(out.ptoks.data(), static_cast<int64_t>(out.ptoks.size()), out.arena);
    parser.set_poll(poll_signals, nullptr);
    parser.set_unterminated(std::move(unterminated));
    out.tree = parser.parse_module();
    const std::vector<parse::Diag> diags = parser.diags();
    if (!diags.empty()) out.first_error = diags.front().start;
    return true;
  } catch (const parse::NestingTooDeep&) {
    out.first_error = out.text.length;
    return true;
  } catch (const parse::Interrupted&) {
    return false;  // the poll has set the error
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory(), false;
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unexpected native exception while parsing");
    return false;
  }
}

PyObject* str_of(const std::u32string& s) {
  return PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, s.data(), static_cast<Py_ssize_t>(s.size()));
}

// None when `b` is the same program as `a` (see core/format.h), else (what,
// offset): "errors" with the offset of the first diagnostic in `b`, or
// "tokens", "tree" or "block" with an offset in `a`, which parsed cleanly.
PyObject* difference_of(const Lexicon& lex, const Parsed& a, PyObject* new_text) {
  Parsed b;
  if (!parse_native(lex, new_text, b)) return nullptr;
  if (b.first_error >= 0) return Py_BuildValue("(sL)", "errors", static_cast<long long>(b.first_error));
  tarn::format::Difference d;
  try {
    d = tarn::format::compare(a.source(lex), b.source(lex));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  static const char* const kinds[] = {nullptr, "tokens", "tree", "block"};
  if (d.kind == tarn::format::Difference::NONE) Py_RETURN_NONE;
  return Py_BuildValue("(sL)", kinds[d.kind], static_cast<long long>(d.offset));
}

// difference(old, new): see difference_of.
PyObject* difference(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"old", "new", nullptr};
  PyObject* old_text;
  PyObject* new_text;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:difference", const_cast<char**>(kwlist), &old_text, &new_text))
    return nullptr;
  State* st = state_of(module);
  Lexicon lex;
  if (!st || !current_lexicon(st->lexer, lex)) return nullptr;
  Parsed a;
  if (!parse_native(lex, old_text, a)) return nullptr;
  if (!PyUnicode_Check(new_text)) return type_error("str", new_text);
  if (a.first_error >= 0) {
    PyErr_SetString(PyExc_ValueError, "difference() needs an old text without syntax errors");
    return nullptr;
  }
  return difference_of(lex, a, new_text);
}

// The text in the canonical layout; None when the parser reports anything or
// the text nests past its bound (the caller names why). With `checked`,
// (new, found) instead: found is difference_of(text, new), None at once when
// new is text; the text is lexed and parsed once for both.
PyObject* laid_out(PyObject* module, PyObject* text, bool checked) {
  State* st = state_of(module);
  Lexicon lex;
  if (!st || !current_lexicon(st->lexer, lex)) return nullptr;
  Parsed parsed;
  if (!parse_native(lex, text, parsed)) return nullptr;
  if (parsed.first_error >= 0) Py_RETURN_NONE;
  Ref out;
  try {
    out = Ref::steal(str_of(tarn::format::layout(parsed.source(lex))));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  if (!out || !checked) return out.release();
  const int same = PyUnicode_Compare(out.get(), text);
  if (same == -1 && PyErr_Occurred()) return nullptr;
  if (same == 0) return Py_BuildValue("(OO)", out.get(), Py_None);
  Ref found = Ref::steal(difference_of(lex, parsed, out.get()));
  return found ? Py_BuildValue("(OO)", out.get(), found.get()) : nullptr;
}

// layout(text), checked_layout(text): see laid_out.
PyObject* layout(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"text", nullptr};
  PyObject* text;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:layout", const_cast<char**>(kwlist), &text)) return nullptr;
  return laid_out(module, text, false);
}

PyObject* checked_layout(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"text", nullptr};
  PyObject* text;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:checked_layout", const_cast<char**>(kwlist), &text))
    return nullptr;
  return laid_out(module, text, true);
}

PyMethodDef methods[] = {
    {"layout", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(layout)), METH_VARARGS | METH_KEYWORDS,
     "layout(text)\n--\n\nThe text in the canonical layout, or None when it has syntax errors."},
    {"difference", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(difference)),
     METH_VARARGS | METH_KEYWORDS,
     "difference(old, new)\n--\n\nNone when new is the same program as old, else (what, offset)."},
    {"checked_layout", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(checked_layout)),
     METH_VARARGS | METH_KEYWORDS,
     "checked_layout(text)\n--\n\nNone when text has syntax errors, else (new, difference(text, new))."},
    {nullptr, nullptr, 0, nullptr}};

int traverse(PyObject* module, visitproc visit, void* arg) {
  auto** cell = static_cast<State**>(PyModule_GetState(module));
  if (cell && *cell) Py_VISIT((*cell)->lexer_module.get());
  return 0;
}

int clear(PyObject* module) {
  auto** cell = static_cast<State**>(PyModule_GetState(module));
  if (cell && *cell) {
    (*cell)->lexer = nullptr;
    (*cell)->lexer_module = {};
  }
  return 0;
}

void free_module(void* module) {
  auto** cell = static_cast<State**>(PyModule_GetState(static_cast<PyObject*>(module)));
  if (cell && *cell) {
    delete *cell;
    *cell = nullptr;
  }
}

}  // namespace

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "tarn._format", nullptr, sizeof(State*), methods, nullptr, traverse, clear, free_module,
};

}  // namespace tarn::py::format

PyMODINIT_FUNC PyInit__format() {
  using namespace tarn::py;
  using tarn::py::format::module_def;
  if (PyObject* existing = PyState_FindModule(&module_def)) return Py_NewRef(existing);
  Ref module = Ref::steal(PyModule_Create(&module_def));
  if (!module) return nullptr;
  auto* st = new (std::nothrow) tarn::py::format::State;
  if (!st) return PyErr_NoMemory();
  *static_cast<tarn::py::format::State**>(PyModule_GetState(module.get())) = st;
  if (PyModule_AddStringConstant(module.get(), "__package__", "tarn") < 0) return nullptr;
  st->lexer_module = Ref::steal(PyImport_ImportModule("tarn.lexer"));
  if (!st->lexer_module || !(st->lexer = lexer_state(st->lexer_module.get()))) return nullptr;
  share_host_classes(*st->lexer);
  return module.release();
}
