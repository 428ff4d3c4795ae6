// Initialisation of tarn._check: the services it calls (tarn.i18n, the
// lexer's language cache) and the parser module, whose import registers the
// message catalogue the diagnostics are translated from.
#include "binding/common/module.h"
#include "core/parse/parser.h"
#include "module_parts.h"

namespace tarn::py::check {
namespace {

bool intern(Ref& into, const char* s) { return static_cast<bool>(into = Ref::steal(PyUnicode_InternFromString(s))); }

bool fill_module(PyObject* module, State& st) {
  if (PyModule_AddStringConstant(module, "__package__", "tarn") < 0) return false;
  if (!intern(st.s_t, "t") || !intern(st.s_kw, "kw") || !intern(st.key_too_deep, "tarn.nesting-too-deep")) return false;
  for (int i = 0; i < kMessageCount; ++i)
    if (!intern(st.message_keys[i], parse::message_key(static_cast<parse::Msg>(i)))) return false;
  st.i18n = Ref::steal(PyImport_ImportModule("tarn.i18n"));
  st.parser_module = Ref::steal(PyImport_ImportModule("tarn.parser"));
  st.lexer_module = Ref::steal(PyImport_ImportModule("tarn.lexer"));
  if (!st.i18n || !st.parser_module || !st.lexer_module) return false;
  if (!(st.lexer = lexer_state(st.lexer_module.get()))) return false;
  share_host_classes(*st.lexer);
  if (PyModule_AddObjectRef(module, "i18n", st.i18n.get()) < 0) return false;
  // Every key an entry can carry, in catalogue order.
  Ref keys = Ref::steal(PyTuple_New(kMessageCount + 1));
  if (!keys) return false;
  for (int i = 0; i < kMessageCount; ++i) PyTuple_SET_ITEM(keys.get(), i, Py_NewRef(st.message_keys[i].get()));
  PyTuple_SET_ITEM(keys.get(), kMessageCount, Py_NewRef(st.key_too_deep.get()));
  if (PyModule_AddObjectRef(module, "MESSAGE_KEYS", keys.get()) < 0) return false;
  return PyModule_AddFunctions(module, diagnostics_methods) == 0 && add_files_type(st, module);
}

PyMethodDef no_functions[] = {{nullptr, nullptr, 0, nullptr}};

}  // namespace

PyModuleDef module_def = module_definition<State>("tarn._check", no_functions);

State* state_of_module(PyObject* module) {
  State* st = ModuleState<State>::of(module);
  if (!st || !st->lexer) {
    PyErr_SetString(PyExc_RuntimeError, "tarn._check has been torn down");
    return nullptr;
  }
  return st;
}

int State::traverse(visitproc visit, void* arg) {
  Py_VISIT(i18n.get());
  Py_VISIT(lexer_module.get());
  Py_VISIT(parser_module.get());
  Py_VISIT(reinterpret_cast<PyObject*>(files_type));
  return 0;
}

void State::clear() {
  i18n = {};
  lexer = nullptr;
  lexer_module = {};
  parser_module = {};
  Py_CLEAR(files_type);
}

}  // namespace tarn::py::check

PyMODINIT_FUNC PyInit__check() {
  return tarn::py::init_module(tarn::py::check::module_def, tarn::py::check::fill_module);
}
