// parse(source), parse_text(text) and the test hook _parse_text_unmemoised.
#include "binding/common/errors.h"
#include "convert.h"
#include "module_parts.h"
#include "run.h"

namespace tarn::py::parser {
namespace {

State* module_state(PyObject* module) {
  State* st = state_of_module(module);
  if (!st || !st->lexer) {
    PyErr_SetString(PyExc_RuntimeError, "tarn.parser has been torn down");
    return nullptr;
  }
  return st;
}

// parse_module over `in`: the pair (Module, list of ParseError).
PyObject* parse_input(State& st, ParseInput& in, bool memo) {
  syntax::Arena arena;
  parse::Parser p(in.toks.data(), static_cast<int64_t>(in.toks.size()), arena);
  p.set_poll(poll_signals, nullptr);
  p.set_unterminated(std::move(in.unterminated));
  p.set_memo(memo);
  syntax::Module* tree = nullptr;
  if (!run_native(in, [&] { tree = p.parse_module(); })) return nullptr;
  if (PyErr_CheckSignals() < 0) return nullptr;
  Ref errors = Ref::steal(diagnostics(st, p.diags(), in.texts));
  if (!errors) return nullptr;
  Converter conv(st, in.texts);
  Ref module = Ref::steal(conv.node(tree));
  if (!module) return nullptr;
  conv.finish();
  return PyTuple_Pack(2, module.get(), errors.get());
}

// tarn.lexer.tokenize, bound among the module's names at every parse_text.
bool bind_tokenize(State& st) {
  Ref name = Ref::steal(PyUnicode_FromString("tarn.lexer"));
  if (!name) return false;
  Ref lexer = Ref::steal(PyImport_GetModule(name.get()));
  if (!lexer) {
    if (PyErr_Occurred()) return false;
    lexer = Ref::steal(PyImport_Import(name.get()));
    if (!lexer) return false;
  }
  Ref tokenize = Ref::steal(PyObject_GetAttr(lexer.get(), st.s_tokenize.get()));
  return tokenize && PyObject_SetAttr(st.module, st.s_tokenize.get(), tokenize.get()) == 0;
}

PyObject* parse_text_with(PyObject* module, PyObject* args, PyObject* kwargs, bool memo, const char* format) {
  static const char* kwlist[] = {"text", nullptr};
  PyObject* text;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kwlist), &text)) return nullptr;
  if (!PyUnicode_Check(text)) return type_error("str", text);
  State* st = module_state(module);
  if (!st || !bind_tokenize(*st)) return nullptr;
  ParseInput in;
  if (!read_text(*st, text, in)) return nullptr;
  if (PyErr_CheckSignals() < 0) return nullptr;
  return parse_input(*st, in, memo);
}

PyObject* parse_text(PyObject* module, PyObject* args, PyObject* kwargs) {
  return parse_text_with(module, args, kwargs, true, "O:parse_text");
}

PyObject* parse_text_unmemoised(PyObject* module, PyObject* args, PyObject* kwargs) {
  return parse_text_with(module, args, kwargs, false, "O:_parse_text_unmemoised");
}

bool is_stored_pair(const State& st, PyObject* v) {
  return PyTuple_Check(v) && PyTuple_GET_SIZE(v) == 2 && st.is_record(PyTuple_GET_ITEM(v, 0), syntax::NodeKind::Module) &&
         PyList_Check(PyTuple_GET_ITEM(v, 1));
}

PyObject* parse(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"source", nullptr};
  PyObject* source;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:parse", const_cast<char**>(kwlist), &source)) return nullptr;
  State* st = module_state(module);
  if (!st) return nullptr;
  Ref cache = Ref::steal(PyObject_GetAttr(source, st->s_cache.get()));
  if (!cache) return nullptr;
  Ref stored = Ref::steal(PyObject_CallMethodOneArg(cache.get(), st->s_get.get(), st->s_ast.get()));
  if (!stored) return nullptr;
  if (stored.get() != Py_None) {
    if (!is_stored_pair(*st, stored.get())) return type_error("tuple[tarn.parser.Module, list]", stored.get());
    return stored.release();
  }
  Ref toks = Ref::steal(PyObject_CallOneArg(st->lexer_tokens.get(), source));
  if (!toks) return nullptr;
  ParseInput in;
  if (!read_host_tokens(*st, toks.get(), /*drop_trivia=*/true, in)) return nullptr;
  if (PyErr_CheckSignals() < 0) return nullptr;
  Ref pair = Ref::steal(parse_input(*st, in, true));
  if (!pair) return nullptr;
  cache = Ref::steal(PyObject_GetAttr(source, st->s_cache.get()));
  if (!cache || PyObject_SetItem(cache.get(), st->s_ast.get(), pair.get()) < 0) return nullptr;
  return pair.release();
}

}  // namespace

PyMethodDef module_functions[] = {
    {"parse_text", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_text)),
     METH_VARARGS | METH_KEYWORDS,
     "parse_text(text)\n--\n\n"},
    {"parse", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse)), METH_VARARGS | METH_KEYWORDS,
     "parse(source)\n--\n\n"},
    {"_parse_text_unmemoised", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(parse_text_unmemoised)),
     METH_VARARGS | METH_KEYWORDS,
     "_parse_text_unmemoised(text)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tarn::py::parser
