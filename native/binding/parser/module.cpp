// Initialisation of tarn.parser: the module object, its state, and its names
// in import order (i18n, the lexer's Token and tokens, __all__, MESSAGES, the
// records, ParseError, the keyword sets, _Parser).
#include <dlfcn.h>

#include "module_parts.h"

namespace tarn::py::parser {
namespace {

bool intern(Ref& into, const char* s) { return static_cast<bool>(into = Ref::steal(PyUnicode_InternFromString(s))); }

// The path of this extension file, as the import system also records it.
bool add_file(PyObject* module) {
  Dl_info info{};
  if (!dladdr(reinterpret_cast<void*>(&add_file), &info) || !info.dli_fname) return true;
  Ref path = Ref::steal(PyUnicode_DecodeFSDefault(info.dli_fname));
  return path && PyModule_AddObjectRef(module, "__file__", path.get()) == 0;
}

// tarn.lexer as the host's module table holds it, initialised first if needed.
bool bind_lexer(State& st, PyObject* module) {
  Ref name = Ref::steal(PyUnicode_FromString("tarn.lexer"));
  if (!name) return false;
  Ref lexer = Ref::steal(PyImport_GetModule(name.get()));
  if (!lexer) {
    if (PyErr_Occurred()) return false;
    lexer = Ref::steal(PyImport_ImportModule("tarn.lexer"));
    if (!lexer) return false;
  }
  st.lexer = lexer_state(lexer.get());
  if (!st.lexer) return false;
  if (!st.lexer->tokens.type) {
    PyErr_SetString(PyExc_RuntimeError, "tarn.lexer has been torn down");
    return false;
  }
  st.lexer_module = lexer;
  share_host_classes(*st.lexer);
  if (PyModule_AddObjectRef(module, "Token", reinterpret_cast<PyObject*>(st.lexer->tokens.type)) < 0) return false;
  st.lexer_tokens = Ref::steal(PyObject_GetAttrString(lexer.get(), "tokens"));
  return st.lexer_tokens && PyModule_AddObjectRef(module, "tokens", st.lexer_tokens.get()) == 0;
}

bool add_all(PyObject* module) {
  Ref all = Ref::steal(Py_BuildValue("[ssss]", "parse", "parse_text", "ParseError", "Module"));
  return all && PyModule_AddObjectRef(module, "__all__", all.get()) == 0;
}

bool fill_module(PyObject* module, State& st) {
  st.module = module;
  if (PyModule_AddStringConstant(module, "__package__", "tarn") < 0 || !add_file(module)) return false;
  if (!intern(st.s_t, "t") || !intern(st.s_kw, "kw") || !intern(st.s_get, "get") || !intern(st.s_cache, "cache") ||
      !intern(st.s_ast, "ast") || !intern(st.s_start, "start") || !intern(st.s_tokenize, "tokenize") ||
      !intern(st.s_colons, "::") || !intern(st.s_eof, "EOF") || !intern(st.s_keyword, "KEYWORD") ||
      !intern(st.s_op, "OP") || !intern(st.s_ident, "IDENT") || !intern(st.empty_str, ""))
    return false;
#define KEYWORD(N) st.keyword_of_name.emplace(#N, parse::Kw::N);
#include "core/keywords.def"
#undef KEYWORD

  st.i18n = Ref::steal(PyImport_ImportModule("tarn.i18n"));
  if (!st.i18n || PyModule_AddObjectRef(module, "i18n", st.i18n.get()) < 0) return false;
  return bind_lexer(st, module) && add_all(module) && add_messages(st, module) && add_node_records(st, module) &&
         add_keyword_sets(st, module) && add_parser_class(st, module);
}

}  // namespace

PyModuleDef module_def = module_definition<State>("tarn.parser", module_functions);

State* state_of_module(PyObject* module) { return ModuleState<State>::of(module); }

int State::traverse(visitproc visit, void* arg) {
  Py_VISIT(i18n.get());
  Py_VISIT(printer.get());
  Py_VISIT(lexer_module.get());
  Py_VISIT(lexer_tokens.get());
  for (const auto& r : records)
    if (r) Py_VISIT(r->type.get());
  if (parser) Py_VISIT(parser->type.get());
  Py_VISIT(name_keywords.get());
  Py_VISIT(capitalised_name_keywords.get());
  return 0;
}

void State::clear() {
  i18n = {};
  printer = {};
  lexer = nullptr;
  lexer_module = {};
  lexer_tokens = {};
  // The classes themselves stay: their slots and descriptors point into
  // them. Only the references go.
  for (auto& r : records)
    if (r) r->type = {};
  if (parser) parser->type = {};
  name_keywords = {};
  capitalised_name_keywords = {};
  for (Ref& k : message_keys) k = {};
  static_texts.clear();
}

}  // namespace tarn::py::parser

PyMODINIT_FUNC PyInit_parser() {
  return tarn::py::init_module(tarn::py::parser::module_def, tarn::py::parser::fill_module);
}
