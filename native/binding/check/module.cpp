// Initialisation of tarn._check: the services it calls (tarn.i18n, the
// lexer's language cache) and the parser module, whose import registers the
// message catalogue the diagnostics are translated from.
#include <new>

#include "core/parse/parser.h"
#include "module_parts.h"

namespace tarn::py::check {
namespace {

State** state_cell(PyObject* module) { return static_cast<State**>(PyModule_GetState(module)); }

int check_traverse(PyObject* module, visitproc visit, void* arg) {
  State** cell = state_cell(module);
  return cell && *cell ? (*cell)->traverse(visit, arg) : 0;
}

int check_clear(PyObject* module) {
  State** cell = state_cell(module);
  if (cell && *cell) (*cell)->clear();
  return 0;
}

void check_free(void* module) {
  State** cell = state_cell(static_cast<PyObject*>(module));
  if (cell && *cell) {
    (*cell)->clear();
    delete *cell;
    *cell = nullptr;
  }
}

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
  if (PyModule_AddObjectRef(module, "i18n", st.i18n.get()) < 0) return false;
  return PyModule_AddFunctions(module, diagnostics_methods) == 0;
}

PyMethodDef no_functions[] = {{nullptr, nullptr, 0, nullptr}};

}  // namespace

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "tarn._check", nullptr, sizeof(State*), no_functions, nullptr,
    check_traverse,        check_clear,   check_free,
};

State* state_of_module(PyObject* module) {
  State** cell = state_cell(module);
  State* st = cell ? *cell : nullptr;
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
  return 0;
}

void State::clear() {
  i18n = {};
  lexer = nullptr;
  lexer_module = {};
  parser_module = {};
}

}  // namespace tarn::py::check

PyMODINIT_FUNC PyInit__check() {
  using namespace tarn::py::check;
  using tarn::py::Ref;
  // Later initialisation calls get the module made by the first.
  if (PyObject* existing = PyState_FindModule(&module_def)) return Py_NewRef(existing);
  Ref module = Ref::steal(PyModule_Create(&module_def));
  if (!module) return nullptr;
  auto* st = new (std::nothrow) State;
  if (!st) return PyErr_NoMemory();
  *static_cast<State**>(PyModule_GetState(module.get())) = st;
  if (!fill_module(module.get(), *st)) return nullptr;
  return module.release();
}
