// What every extension module of the package does the same way: its state is
// a heap object (so it may hold C++ members) behind a pointer in the module's
// storage, the cyclic GC reaches it through the State's traverse and clear,
// and initialisation runs once per interpreter, leaving nothing behind when
// it fails.
#pragma once
#include <new>

#include "ref.h"

namespace tarn::py {

// State must be default-constructible and have `int traverse(visitproc, void*)`
// and `void clear()`; its destructor runs when the module is freed.
template <class State>
struct ModuleState {
  static State* of(PyObject* module) {
    auto** cell = static_cast<State**>(PyModule_GetState(module));
    return cell ? *cell : nullptr;
  }
  static int traverse(PyObject* module, visitproc visit, void* arg) {
    State* st = of(module);
    return st ? st->traverse(visit, arg) : 0;
  }
  static int clear(PyObject* module) {
    if (State* st = of(module)) st->clear();
    return 0;
  }
  static void free(void* module) {
    auto** cell = static_cast<State**>(PyModule_GetState(static_cast<PyObject*>(module)));
    if (!cell || !*cell) return;
    (*cell)->clear();
    delete *cell;
    *cell = nullptr;
  }
};

template <class State>
constexpr PyModuleDef module_definition(const char* name, PyMethodDef* functions) {
  return {PyModuleDef_HEAD_INIT,        name, nullptr, sizeof(State*), functions, nullptr,
          ModuleState<State>::traverse, ModuleState<State>::clear, ModuleState<State>::free};
}

// The body of PyInit_<name>. The module is in sys.modules while `fill` runs
// (modules it imports may import it back); if `fill` fails, it is taken out
// again so the next import starts afresh.
template <class State>
PyObject* init_module(PyModuleDef& def, bool (*fill)(PyObject* module, State& st)) {
  // Later initialisation calls get the module made by the first.
  if (PyObject* existing = PyState_FindModule(&def)) return Py_NewRef(existing);
  Ref module = Ref::steal(PyModule_Create(&def));
  if (!module) return nullptr;
  auto* st = new (std::nothrow) State;
  if (!st) return PyErr_NoMemory();
  *static_cast<State**>(PyModule_GetState(module.get())) = st;
  PyObject* modules = PyImport_GetModuleDict();
  if (PyDict_SetItemString(modules, def.m_name, module.get()) < 0) return nullptr;
  if (fill(module.get(), *st)) return module.release();
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (PyDict_GetItemString(modules, def.m_name) == module.get() && PyDict_DelItemString(modules, def.m_name) < 0)
    PyErr_Clear();
  PyErr_Restore(type, value, traceback);
  return nullptr;
}

}  // namespace tarn::py
